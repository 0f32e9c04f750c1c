#pragma once

// The emulated phone serving a fresh folder, and the program's own session (link,
// connect procedure, OBEX) connected to it with its waits scaled down.

#include "phonesession.h"
#include "recordingevents.h"
#include "sessionaccess.h"
#include "testprocess.h"

#include <QDir>
#include <QTemporaryDir>

#include <memory>

struct SimSession
{
    QTemporaryDir dir;
    PhoneSim sim;
    RecordingEvents events;
    std::unique_ptr<PhoneSession> session;

    // The phone's folder; its log goes beside it.
    QString flash(const QString &path = {}) const
    {
        return dir.filePath(path.isEmpty() ? QStringLiteral("flash") : QStringLiteral("flash/") + path);
    }

    bool connect(Checksum &crc, const QStringList &options = {}, int timeoutMs = 5000, int resendMs = 500)
    {
        QDir().mkpath(flash());
        // Pauses this short need a phone that answers at once.
        if (!sim.start(flash(), words("--at-latency 0 --obex-latency 0") + options))
            return false;
        session = std::make_unique<PhoneSession>(crc, events);
        session->setWorkingDirectory(dir.path());
        SerialLine &link = PhoneSessionTestAccess::link(*session);
        link.setDevicePath(sim.device);
        link.setTimeoutInterval(timeoutMs);
        PhoneSessionTestAccess::bfb(*session).setResendInterval(resendMs);
        link.setQuietInterval(20);
        return reconnect();
    }

    // The connect procedure has no resends and waits for each answer at most as long as
    // its caps scaled like the pauses: a busy machine or a noisy line can spoil an
    // attempt, so it tries again, slower.
    bool reconnect()
    {
        for (const double scale : {0.05, 0.2, 1.0}) {
            session->setPauseScale(scale);
            if (session->connect().ok())
                return true;
        }
        return false;
    }
};
