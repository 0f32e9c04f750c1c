#pragma once

#include "phoneevents.h"

#include <QString>
#include <QStringList>

#include <optional>

// The phone events on a terminal, in English: progress lines on standard error
// (only when it is a terminal), refusals and fatal link errors on standard error,
// the size question on the terminal or answered in advance.
class TerminalEvents : public PhoneEvents
{
public:
    enum class Answer {
        Ask,
        Yes,
    };

    explicit TerminalEvents(bool showProgress);
    ~TerminalEvents() override;

    void setAnswer(Answer answer) { m_sizeAnswer = answer; }
    // Why the port did not open, when that ended the connection attempt.
    std::optional<SerialPort::OpenError> portFailure() const { return m_portFailure; }
    // What a failed connection attempt said, line by line.
    QStringList connectErrorLines() const { return m_errorLines; }

    void connectStep(ConnectStep step) override;
    void modelReported(const QString &model) override;
    void connectFailed(ConnectFailure failure, SerialPort::OpenError portError) override;
    void operationStarted(PhoneOperation operation, qint64 sourceBytes) override;
    void packetReceived(PhoneOperation operation, int number) override;
    void packetSent(PhoneOperation operation, int number) override;
    void operationFinished(PhoneOperation operation, int packets) override;
    void refused(Refusal refusal) override;
    bool confirmLargeUpload() override;
    void linkLost(LinkLoss loss) override;

private:
    void progressLine(const QString &text);
    void endCountLine();

    bool m_showProgress;
    Answer m_sizeAnswer = Answer::Ask;
    bool m_countShown = false;
    std::optional<SerialPort::OpenError> m_portFailure;
    QStringList m_errorLines;
};

QString englishText(Refusal refusal);
// Asks a yes/no question on the terminal; false unless the user answers yes.
bool askOnTerminal(const QString &question);
// Writes one line to standard error, prefixed with the program's name.
void printError(const QString &text);
