#pragma once

#include "phoneevents.h"
#include "phoneresult.h"

#include <QString>
#include <QStringList>

#include <optional>

class ProgressMeter;

// The phone events on a terminal, in English: the connection steps on standard error
// and the transfers on the progress meter (both only when standard error is a
// terminal), notes on standard error, the size question on the terminal or answered
// in advance.
class TerminalEvents
    : public ConnectEvents
    , public TransferEvents
    , public UploadQuestion
{
public:
    enum class Answer {
        Ask,
        Yes,
    };

    TerminalEvents(bool showProgress, ProgressMeter &meter);

    void setAnswer(Answer answer) { m_sizeAnswer = answer; }
    // Whether the size question may be asked on the terminal (not while standard
    // input carries the commands).
    void setQuestionsAllowed(bool allowed) { m_questionsAllowed = allowed; }
    bool questionsAllowed() const { return m_questionsAllowed; }
    // What the size question is about (a PC path); empty for none.
    void setSubject(const QString &subject) { m_subject = subject; }

    void connectStep(ConnectStep step) override;
    void modelReported(const QString &model) override;
    void connectFailed(ConnectFailure failure, SerialPort::OpenError portError) override;
    void speedChanged(int baud) override;
    void speedNotConfirmed(int baud) override;
    void bytesTransferred(PhoneOperation operation, qint64 done, qint64 total) override;
    bool confirmLargeUpload() override;

private:
    void progressLine(const QString &text);

    bool m_showProgress;
    ProgressMeter &m_meter;
    Answer m_sizeAnswer = Answer::Ask;
    bool m_questionsAllowed = true;
    QString m_subject;
};

QString englishText(Refusal refusal);
// What a failed step of the connect procedure means, line by line.
QStringList connectFailureLines(ConnectFailure failure);
// What a fatal link error means for the user.
QString linkLossText(LinkLoss loss);
// Asks a yes/no question on the terminal; false unless the user answers yes.
bool askOnTerminal(const QString &question);
// text for one terminal line: a tab, line feed or carriage return as \t, \n, \r, any
// other control character as \xHH, as ls shows names.
QString terminalText(const QString &text);
// Writes one line to standard error, prefixed with the program's name; control
// characters escaped (terminalText).
void printError(const QString &text);
