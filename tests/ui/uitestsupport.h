#pragma once

// Shared pieces of the window tests: a responder that answers message boxes
// instead of a person, the busy guard, screenshots and views of the windows' rows.

#include "form1.h"
#include "frmprogress.h"
#include "messagebox.h"
#include "pty.h"
#include "sessionaccess.h"
#include "testchecksum.h"
#include "testprocess.h"
#include "windowlanguage.h"

#include <QDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <deque>
#include <functional>

namespace uitest {

// Records every message box and answers it: Yes/OK unless an answer was queued.
class MessageRecorder
{
public:
    MessageRecorder()
    {
        MessageBoxes::setResponder([this](const MessageBoxes::Request &request) {
            requests.push_back(request);
            if (answers.empty())
                return true;
            const bool answer = answers.front();
            answers.pop_front();
            return answer;
        });
    }
    ~MessageRecorder() { MessageBoxes::setResponder({}); }
    MessageRecorder(const MessageRecorder &) = delete;
    MessageRecorder &operator=(const MessageRecorder &) = delete;

    void clear() { requests.clear(); }

    QList<MessageBoxes::Request> requests;
    std::deque<bool> answers;
};

// Runs during(); the first time the window is busy with the phone, commands() runs too.
inline bool whileBusy(Form1 &form, const std::function<void()> &commands, const std::function<void()> &during)
{
    bool sawBusy = false;
    QTimer intruder; // fires at each pass of the event loop
    QObject::connect(&intruder, &QTimer::timeout, [&] {
        if (!form.commands().busy())
            return;
        intruder.stop();
        sawBusy = true;
        commands();
    });
    intruder.start();
    during();
    intruder.stop();
    return sawBusy;
}

// The window's serial line.
inline SerialLine &lineOf(Form1 &form)
{
    return PhoneSessionTestAccess::link(form.commands().session());
}

// Aims the window at the phone on device with its pauses shortened; a double-click on
// "Mobile..." connects.
inline void aimAt(Form1 &form, const QString &device)
{
    lineOf(form).setPauseScale(0.3);
    lineOf(form).setDevicePath(device);
}
inline void doubleClickMobile(Form1 &form)
{
    form.controls().FileList->selectRow(0);
    form.commands().openSelectedRow();
}

// Screenshots land in the test's build folder for review; they are not compared.
inline void saveScreenshot(QWidget *widget, const QString &name)
{
    QDir().mkpath(QStringLiteral(TARVEL_UI_SCREENSHOTS));
    widget->grab().save(QStringLiteral(TARVEL_UI_SCREENSHOTS "/") + name + QStringLiteral(".png"));
}

// The progress window's rows as "icon:text".
inline QStringList progressRows(const Form1 &form)
{
    QStringList rows;
    if (frmProgress *progress = form.events().progressWindow()) {
        for (int i = 0; i < progress->List->topLevelItemCount(); ++i)
            rows << progress->List->topLevelItem(i)->data(0, Qt::UserRole).toString() + QLatin1Char(':')
                    + progress->List->topLevelItem(i)->text(0);
    }
    return rows;
}

inline QStringList rowTexts(const PhoneFileList *list)
{
    QStringList texts;
    for (int row = 0; row < list->rowCount(); ++row)
        texts << list->rowText(row);
    return texts;
}

// Replaces the window's rows with rows, each with the icon of kind.
inline void setRows(Form1 &form, const QStringList &rows, int kind = 11)
{
    form.controls().FileList->clear();
    for (const QString &row : rows)
        form.controls().FileList->addRow(row, kind, row.toLatin1());
}

inline int findRow(const PhoneFileList *list, const QString &text)
{
    return int(rowTexts(list).indexOf(text));
}

} // namespace uitest
