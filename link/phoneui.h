#pragma once

#include <QString>

// What the phone operations need of the windows. The GUI implements it with the
// main window and its dialogs, the command-line tool with the terminal, and the
// tests with recorders, so that link/ and obex/ never touch a widget.
class PhoneUi
{
public:
    enum class Icon {
        None,
        Information,
        Warning,
        Critical,
        Question
    };

    virtual ~PhoneUi() = default;

    // The progress window (frmProgress). A window opened afresh starts with an
    // empty list, the bar at 1 and the close button hidden.
    virtual void progressLoad() = 0; // create without showing
    virtual void progressShow() = 0; // create if needed and show, not modal
    virtual bool progressIsOpen() const = 0;
    virtual void progressSetMaximum(int maximum) = 0;
    virtual void progressSetValue(int value) = 0;
    virtual int progressValue() const = 0;
    virtual void progressAddRow(const QString &text, int icon) = 0; // icon 0: none; selects the new row
    virtual void progressRepaint() = 0;
    virtual void progressShowCloseButton() = 0;
    virtual void progressFocus() = 0;
    virtual void progressClose() = 0;

    // The main window (Form1) and its labels.
    virtual void setMainWindowEnabled(bool enabled) = 0;
    virtual void setMainWindowVisible(bool visible) = 0;
    virtual void setWaitingBytesText(const QString &text) = 0; // Label1
    virtual void setSequenceText(const QString &text) = 0; // Label5
    virtual void setTotalMemoryText(const QString &text) = 0; // Label3
    virtual void setFreeMemoryText(const QString &text) = 0; // Label4
    // The link came up: copy, delete, new folder, exit and move become usable
    // and drag-out is allowed.
    virtual void connectionEstablished() = 0;

    // Message boxes; an empty title stands for the program's title.
    virtual void showMessage(Icon icon, const QString &title, const QString &text) = 0;
    virtual bool askYesNo(Icon icon, const QString &title, const QString &text) = 0;

    // Ends the program after a fatal link error (the message has been shown and
    // the port closed). Never returns: no code of the interrupted operation runs on.
    [[noreturn]] virtual void endProgram(int exitStatus) = 0;
};
