#pragma once

// PhoneEvents that records every event in order, as short English lines, and
// answers the size question from a queue.

#include "phoneevents.h"
#include "testprocess.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <deque>
#include <functional>

// The enums count from zero in the order of these names.
template<typename Enum, std::size_t N>
QString nameIn(Enum value, const char *const (&names)[N])
{
    return QString::fromLatin1(names[static_cast<std::size_t>(value)]);
}

inline QString eventName(LinkState state)
{
    return nameIn(state, {"enable", "Disable"});
}

inline QString eventName(ConnectStep step)
{
    return nameIn(step,
                  {"attempting", "port opened", "waking", "asking model", "switching to BFB", "setting up BFB",
                   "switching to plain OBEX", "opening OBEX", "link up", "listing root", "root listed", "established"});
}

inline QString eventName(ConnectFailure failure)
{
    return nameIn(failure, {"port", "AT", "MODEL", "BFB", "plain", "rate", "OBEX mode"});
}

inline QString eventName(PhoneOperation operation)
{
    return nameIn(operation, {"listing", "download", "upload"});
}

inline QString eventName(LinkLoss loss)
{
    return nameIn(loss, {"timeout", "bad data"});
}

class RecordingEvents : public PhoneEvents
{
public:
    QStringList log; // every event but the monitors' figures, in order
    QList<LinkLoss> losses;
    QList<LinkRepair> repairs; // kept out of the log: a clean line has none
    std::deque<bool> answers; // to the size question, "yes" when none is left
    int questions = 0;
    int sequence = -1;
    int waitingBytesUpdates = 0;
    // Called at the end of every operation (a test changes the phone's files there).
    std::function<void(PhoneOperation)> finished;

    void linkStateChanged(LinkState state) override { log << QStringLiteral("state ") + eventName(state); }
    void connectStep(ConnectStep step) override { log << QStringLiteral("step ") + eventName(step); }
    void modelReported(const QString &model) override { log << QStringLiteral("model ") + model; }
    void connectFailed(ConnectFailure failure, PortError) override
    {
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
        log << QStringLiteral("memory %1 %2").arg(kind == MemoryKind::Total ? "total" : "free").arg(bytes);
    }
    void sequenceReported(int number) override { sequence = number; }
    void waitingBytesReported(int) override { ++waitingBytesUpdates; }
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
    QStringList logged(const QString &prefix) const { return startingWith(log, prefix); }
};
