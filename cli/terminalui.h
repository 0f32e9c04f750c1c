#pragma once

#include "phoneui.h"

#include <QString>
#include <QStringList>

// Thrown by TerminalUi::endProgram: a fatal link error unwinds to main, so that
// half-written downloads are discarded on the way.
struct LinkFailure
{
    int status;
};

// The phone operations' window on a terminal: progress lines on standard error
// (only when it is a terminal), messages in English on standard error, the size
// question on the terminal or answered in advance.
class TerminalUi : public PhoneUi
{
public:
    enum class Answer {
        Ask,
        Yes
    };

    explicit TerminalUi(bool showProgress);
    ~TerminalUi() override;

    void setAnswer(Answer answer) { sizeAnswer = answer; }
    // "Siemens " and the model characters, once the handshake has shown them.
    QString model() const { return modelRow; }
    // Rows the handshake added when it failed, in English.
    QStringList connectErrorLines() const { return errorLines; }
    bool portMessageShown() const { return portMessage; }

    void progressLoad() override {}
    void progressShow() override { progressOpen = true; }
    bool progressIsOpen() const override { return progressOpen; }
    void progressSetMaximum(int maximum) override { progressMaximum = maximum; }
    void progressSetValue(int value) override;
    int progressValue() const override { return progressValueNow; }
    void progressAddRow(const QString &text, int icon) override;
    void progressRepaint() override {}
    void progressShowCloseButton() override {}
    void progressFocus() override {}
    void progressClose() override;

    void setMainWindowEnabled(bool) override {}
    void setMainWindowVisible(bool) override {}
    void setWaitingBytesText(const QString &) override {}
    void setSequenceText(const QString &) override {}
    void setTotalMemoryText(const QString &) override {}
    void setFreeMemoryText(const QString &) override {}
    void connectionEstablished() override {}

    void showMessage(Icon icon, const QString &title, const QString &text) override;
    bool askYesNo(Icon icon, const QString &title, const QString &text) override;
    [[noreturn]] void endProgram(int exitStatus) override;

private:
    void endCountLine();

    bool showProgress;
    Answer sizeAnswer = Answer::Ask;
    bool progressOpen = false;
    int progressMaximum = 0;
    int progressValueNow = 0;
    bool countShown = false;
    QString modelRow;
    QStringList errorLines;
    bool portMessage = false;
};

// Asks a yes/no question on the terminal; false unless the user answers yes.
bool askOnTerminal(const QString &question);
// Writes one line to standard error, prefixed with the program's name.
void printError(const QString &text);
