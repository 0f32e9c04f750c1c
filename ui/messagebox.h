#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

class QWidget;

// Every message box of the program goes through here. Untitled boxes carry the
// program's title. Tests install a responder that answers instead of a person, so
// that no test ever blocks on a modal box.
class MessageBoxes
{
public:
    static constexpr char ProgramTitle[] = "Tarvel";

    struct Request
    {
        QMessageBox::Icon icon;
        QString title; // as shown (the program's title for untitled boxes)
        QString text;
        bool yesNo; // Yes and No buttons, else OK alone
    };
    // Returns the answer: true for Yes (or OK).
    using Responder = std::function<bool(const Request &)>;

    static void setResponder(Responder responder);

    static void show(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text);
    // True when the user answered Yes.
    static bool askYesNo(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text);

private:
    static bool run(QWidget *parent, const Request &request);
};
