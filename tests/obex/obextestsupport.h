#pragma once

// Shared pieces of the file-exchange tests: a phone on a pseudo-terminal that
// speaks BFB and answers every data block with the next prepared OBEX response,
// and a session with the emulated phone.

#include "bfbbytes.h"
#include "linkaccess.h"
#include "phonefiles.h"
#include "phonelink.h"
#include "phonesession.h"
#include "pty.h"
#include "recordingevents.h"
#include "testchecksum.h"
#include "testprocess.h"

#include <QByteArray>
#include <QDir>
#include <QList>
#include <QTemporaryDir>

#include <atomic>
#include <deque>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>

// The phone end of a pseudo-terminal, on its own thread. Every complete data block
// from the program is recorded and answered with the link acknowledgement and the
// next prepared response (success when none is left; a null one: none).
class BfbPhone
{
public:
    BfbPhone() : thread([this] { serve(); }) {}
    ~BfbPhone()
    {
        stop = true;
        thread.join();
    }
    BfbPhone(const BfbPhone &) = delete;
    BfbPhone &operator=(const BfbPhone &) = delete;

    QString devicePath() const { return pty.slavePath(); }

    void respond(const QByteArray &response)
    {
        std::lock_guard lock(mutex);
        steps.push_back(response);
    }
    void respond(const char *hexResponse) { respond(hex(hexResponse)); }

    // Everything the program wrote, in order.
    QByteArray received() const
    {
        std::lock_guard lock(mutex);
        return raw;
    }
    // Complete data blocks (header, packet, CRC), reassembled from the frames.
    QList<QByteArray> blocks() const
    {
        std::lock_guard lock(mutex);
        return dataBlocks;
    }
    int acknowledgements() const
    {
        std::lock_guard lock(mutex);
        return acks;
    }
    // Waits until the program's writes have arrived (they are asynchronous).
    void settle(int quietMs = 100) const
    {
        QByteArray last = received();
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(quietMs));
            const QByteArray now = received();
            if (now == last)
                return;
            last = now;
        }
    }

private:
    void answer(const QByteArray &block)
    {
        QByteArray response = hex("A0 00 03");
        {
            std::lock_guard lock(mutex);
            dataBlocks.append(block);
            if (!steps.empty()) {
                response = steps.front();
                steps.pop_front();
            }
        }
        pty.send(hex("16 02 14 01 FE"));
        if (!response.isNull())
            pty.send(bfbFrames(bfbBlock(sequence++ & 0xFF, response)));
    }

    void serve()
    {
        QByteArray pending;
        QByteArray block;
        while (!stop) {
            pollfd p{pty.master(), POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::read(pty.master(), buffer, sizeof buffer);
            if (n <= 0)
                continue;
            {
                std::lock_guard lock(mutex);
                raw.append(buffer, n);
            }
            pending.append(buffer, n);
            while (pending.size() >= 3 && pending.size() >= 3 + quint8(pending.at(1))) {
                const int length = quint8(pending.at(1));
                const QByteArray payload = pending.mid(3, length);
                pending.remove(0, 3 + length);
                if (block.isEmpty() && payload == QByteArray("\x01\xFE", 2)) {
                    std::lock_guard lock(mutex);
                    ++acks;
                    continue;
                }
                block.append(payload);
                if (block.size() >= 5) {
                    const int packetLength = quint8(block.at(3)) << 8 | quint8(block.at(4));
                    if (block.size() >= packetLength + 7) {
                        answer(block);
                        block.clear();
                    }
                }
            }
        }
    }

    Pty pty;
    std::atomic<bool> stop{false};
    mutable std::mutex mutex;
    std::deque<QByteArray> steps;
    QByteArray raw;
    QList<QByteArray> dataBlocks;
    int acks = 0;
    int sequence = 0;
    std::thread thread; // last: starts once everything it uses exists
};

// PhoneFiles over a link on a fresh BfbPhone, in single-byte mode as after the handshake.
struct FilesOnPhone
{
    BfbPhone phone;
    RecordingEvents events;
    ReferenceChecksum crc;
    PhoneLink link{crc, events};
    PhoneFiles files{link};

    FilesOnPhone()
    {
        QString reason;
        if (!PhoneLinkTestAccess::openAsConnected(link, phone.devicePath(), &reason))
            throw std::runtime_error(reason.toStdString());
        link.setTimeoutInterval(2000);
    }

    void setSequence(int sequence) { PhoneLinkTestAccess::setSequence(link, sequence); }
};

// A phone serving a fresh folder, connected with the connect procedure.
class PhonesimSession
{
public:
    // The link's wait for an acknowledgement and for a quiet line; a phone told
    // --resend-after ResendMs sends its blocks again as quickly.
    static constexpr int ResendMs = 500;
    static constexpr int QuietMs = 20;

    QTemporaryDir dir;
    PhoneSim sim;
    std::unique_ptr<Checksum> crc;
    RecordingEvents events;
    std::unique_ptr<PhoneSession> session;
    PhoneLink *link = nullptr;
    PhoneFiles *files = nullptr;
    FolderListing rootListing;

    QString flash() const { return dir.filePath(QStringLiteral("flash")); }
    QString local(const QString &name) const { return dir.filePath(QStringLiteral("pc/") + name); }

    // Prepares the flash folder (root folders Bitmap and Ringing tone).
    PhonesimSession()
    {
        QDir(dir.path()).mkpath(QStringLiteral("flash/Bitmap"));
        QDir(dir.path()).mkpath(QStringLiteral("flash/Ringing tone"));
    }

    bool connect(const QStringList &simOptions = {})
    {
        crc = makeChecksum();
        if (!sim.start(flash(), simOptions))
            return false;
        session = std::make_unique<PhoneSession>(*crc, events);
        link = &session->link();
        files = &session->files();
        files->setWorkingDirectory(dir.path());
        link->setDevicePath(sim.device);
        link->setPauseScale(0.1);
        link->setTimeoutInterval(5000);
        // Line faults are mended at test speed.
        link->setResendInterval(ResendMs);
        link->setQuietInterval(QuietMs);
        return session->connect([this](const FolderListing &listing) { rootListing = listing; });
    }
};
