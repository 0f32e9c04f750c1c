#include "messagebox.h"

namespace {
MessageBoxes::Responder &responder()
{
    static MessageBoxes::Responder installed;
    return installed;
}
} // namespace

void MessageBoxes::setResponder(Responder newResponder)
{
    responder() = std::move(newResponder);
}

void MessageBoxes::show(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text)
{
    run(parent, Request{icon, title.isEmpty() ? QString::fromLatin1(ProgramTitle) : title, text, false});
}

bool MessageBoxes::askYesNo(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text)
{
    return run(parent, Request{icon, title.isEmpty() ? QString::fromLatin1(ProgramTitle) : title, text, true});
}

bool MessageBoxes::run(QWidget *parent, const Request &request)
{
    if (responder())
        return responder()(request);
    // A hidden or disabled parent would hide or lock the box itself.
    if (parent && (!parent->isVisible() || !parent->isEnabled()))
        parent = nullptr;
    QMessageBox box(request.icon, request.title, request.text,
                    request.yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, parent);
    if (request.yesNo)
        box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == (request.yesNo ? QMessageBox::Yes : QMessageBox::Ok);
}
