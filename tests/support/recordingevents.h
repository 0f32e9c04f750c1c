#pragma once

// PhoneEvents that records every event in order, as short English lines, and
// answers the size question from a queue.

#include "phoneevents.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <optional>

inline QString eventName(LinkState state)
{
    return state == LinkState::Enable ? QStringLiteral("enable") : QStringLiteral("Disable");
}

inline QString eventName(ConnectStep step)
{
    switch (step) {
    case ConnectStep::Attempting:
        return QStringLiteral("attempting");
    case ConnectStep::PortOpened:
        return QStringLiteral("port opened");
    case ConnectStep::Waking:
        return QStringLiteral("waking");
    case ConnectStep::AskingModel:
        return QStringLiteral("asking model");
    case ConnectStep::SwitchingToBfb:
        return QStringLiteral("switching to BFB");
    case ConnectStep::SettingUpBfb:
        return QStringLiteral("setting up BFB");
    case ConnectStep::SwitchingToPlain:
        return QStringLiteral("switching to plain OBEX");
    case ConnectStep::OpeningObex:
        return QStringLiteral("opening OBEX");
    case ConnectStep::LinkUp:
        return QStringLiteral("link up");
    case ConnectStep::ListingRoot:
        return QStringLiteral("listing root");
    case ConnectStep::RootListed:
        return QStringLiteral("root listed");
    case ConnectStep::Established:
        return QStringLiteral("established");
    }
    return {};
}

inline QString eventName(ConnectFailure failure)
{
    switch (failure) {
    case ConnectFailure::PortUnavailable:
        return QStringLiteral("port");
    case ConnectFailure::At:
        return QStringLiteral("AT");
    case ConnectFailure::Model:
        return QStringLiteral("MODEL");
    case ConnectFailure::Bfb:
        return QStringLiteral("BFB");
    case ConnectFailure::Plain:
        return QStringLiteral("plain");
    case ConnectFailure::Rate:
        return QStringLiteral("rate");
    case ConnectFailure::InObexMode:
        return QStringLiteral("OBEX mode");
    }
    return {};
}

inline QString eventName(PhoneOperation operation)
{
    switch (operation) {
    case PhoneOperation::Listing:
        return QStringLiteral("listing");
    case PhoneOperation::Download:
        return QStringLiteral("download");
    case PhoneOperation::Upload:
        return QStringLiteral("upload");
    }
    return {};
}

inline QString eventName(LinkLoss loss)
{
    return loss == LinkLoss::Timeout ? QStringLiteral("timeout") : QStringLiteral("bad data");
}

class RecordingEvents : public PhoneEvents
{
public:
    QStringList log; // every event but the monitors' figures, in order
    QList<LinkLoss> losses;
    QList<LinkRepair> repairs; // kept out of the log: a clean line has none
    std::deque<bool> answers; // to the size question, "yes" when none is left
    int questions = 0;
    PortError portError = PortError::None;
    std::optional<quint32> total;
    std::optional<quint32> free;
    int sequence = -1;
    int waitingBytes = -1;
    int waitingBytesUpdates = 0;
    // Called at the end of every operation (a test changes the phone's files there).
    std::function<void(PhoneOperation)> finished;

    void linkStateChanged(LinkState state) override { log << QStringLiteral("state ") + eventName(state); }
    void connectStep(ConnectStep step) override { log << QStringLiteral("step ") + eventName(step); }
    void modelReported(const QString &model) override { log << QStringLiteral("model ") + model; }
    void connectFailed(ConnectFailure failure, PortError error) override
    {
        portError = error;
        log << QStringLiteral("failed ") + eventName(failure);
    }
    void speedChanged(int baud) override { log << QStringLiteral("speed %1").arg(baud); }
    void speedNotConfirmed(int baud) override { log << QStringLiteral("speed %1 not confirmed").arg(baud); }
    void operationStarted(PhoneOperation operation, qint64 sourceBytes) override
    {
        log << QStringLiteral("started %1 %2").arg(eventName(operation)).arg(sourceBytes);
    }
    void packetReceived(PhoneOperation operation, int number) override
    {
        log << QStringLiteral("received %1 %2").arg(eventName(operation)).arg(number);
    }
    void packetSent(PhoneOperation operation, int number) override
    {
        log << QStringLiteral("sent %1 %2").arg(eventName(operation)).arg(number);
    }
    void operationFinished(PhoneOperation operation, int packets) override
    {
        log << QStringLiteral("finished %1 %2").arg(eventName(operation)).arg(packets);
        if (finished)
            finished(operation);
    }
    void memoryReported(MemoryKind kind, quint32 bytes) override
    {
        (kind == MemoryKind::Total ? total : free) = bytes;
        log << QStringLiteral("memory %1 %2").arg(kind == MemoryKind::Total ? "total" : "free").arg(bytes);
    }
    void sequenceReported(int number) override { sequence = number; }
    void waitingBytesReported(int count) override
    {
        waitingBytes = count;
        ++waitingBytesUpdates;
    }
    bool confirmLargeUpload() override
    {
        ++questions;
        log << QStringLiteral("question");
        if (answers.empty())
            return true;
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void linkRepaired(LinkRepair repair) override { repairs << repair; }
    void linkLost(LinkLoss loss) override
    {
        losses << loss;
        log << QStringLiteral("lost ") + eventName(loss);
    }

    // The lines of the log that start with prefix.
    QStringList logged(const QString &prefix) const
    {
        QStringList lines;
        for (const QString &line : log) {
            if (line.startsWith(prefix))
                lines << line;
        }
        return lines;
    }
};
