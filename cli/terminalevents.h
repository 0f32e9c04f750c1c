#pragma once

#include "phoneevents.h"
#include "phonepath.h"
#include "phoneresult.h"

#include <QString>
#include <QStringList>

#include <optional>

class PhoneResult;
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
    // Whether the run reads every copy again (--verify): the note on a noisy line says so.
    void setVerifying(bool verifying) { m_verifying = verifying; }

    void connectStep(ConnectStep step) override;
    void modelReported(const QString &model) override;
    void speedChanged(int baud) override;
    void speedNotConfirmed(int baud) override;
    void waitingForLeaver(const QString &device) override;
    void bytesTransferred(PhoneOperation operation, qint64 done, qint64 total) override;
    bool confirmLargeUpload() override;
    // Once a run.
    void lineNoiseSeen() override;

private:
    void progressLine(const QString &text);

    bool m_showProgress;
    ProgressMeter &m_meter;
    Answer m_sizeAnswer = Answer::Ask;
    bool m_questionsAllowed = true;
    QString m_subject;
    bool m_verifying = false;
    bool m_noiseNoted = false;
};

// Why an operation failed, for a line "cannot ...: <reason>": refused is what the phone's
// refusal of the operation itself means; folder the folder of the name an old file
// was set aside under.
QString resultReason(const PhoneResult &result, const QString &refused, const PhonePath &folder = {});
// Asks a yes/no question on the terminal; false unless the user answers yes.
bool askOnTerminal(const QString &question);
// text for one terminal line: a tab, line feed or carriage return as \t, \n, \r, any
// other control character as \xHH, as ls shows names.
QString terminalText(const QString &text);
// Writes one line to standard error, prefixed with the program's name; control
// characters escaped (terminalText).
void printError(const QString &text);
