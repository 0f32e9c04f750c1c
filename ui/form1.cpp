#include "form1.h"

#include "checksum.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QPushButton>

#include <cstdio>
#include <cstdlib>

Form1::Form1(std::unique_ptr<Checksum> crc, QWidget *parent)
    : QWidget(parent)
    , m_controls(this)
    , m_events(*this, m_controls, [this](int status) { endProgram(status); })
    , m_commands(std::move(crc), *this, m_controls, m_events)
{
    connectControls();
    m_commands.startUp();
}

Form1::~Form1()
{
    m_commands.closeOtherWindows();
}

void Form1::connectControls()
{
    PhoneController *commands = &m_commands;
    const MainWindowControls &c = m_controls;
    connect(c.Command11, &QPushButton::clicked, this, [commands] { commands->aboutCommand(); });
    connect(c.Command10, &QPushButton::clicked, this, [commands] { commands->optionsCommand(); });
    connect(c.Command6, &QPushButton::clicked, this, [commands] { commands->copyCommand(); });
    connect(c.Command3, &QPushButton::clicked, this, [commands] { commands->moveCommand(); });
    connect(c.Command8, &QPushButton::clicked, this, [commands] { commands->newFolderCommand(); });
    connect(c.Command7, &QPushButton::clicked, this, [commands] { commands->deleteCommand(); });
    connect(c.Command9, &QPushButton::clicked, this, &QWidget::close);
    connect(c.Command1, &QPushButton::clicked, this, [commands] { commands->Command1_Click(); });
    // Each menu entry runs exactly the handler of its button. Queued, so that a
    // command's own message boxes and exchanges never run inside the menu's loop.
    connect(
        c.Cop, &QAction::triggered, this, [commands] { commands->copyCommand(); }, Qt::QueuedConnection);
    connect(
        c.Mo, &QAction::triggered, this, [commands] { commands->moveCommand(); }, Qt::QueuedConnection);
    connect(
        c.Ne, &QAction::triggered, this, [commands] { commands->newFolderCommand(); }, Qt::QueuedConnection);
    connect(
        c.De, &QAction::triggered, this, [commands] { commands->deleteCommand(); }, Qt::QueuedConnection);

    connect(c.FileList, &PhoneFileList::rowDoubleClicked, this, [commands] { commands->openSelectedRow(); });
    connect(c.FileList, &PhoneFileList::rightButtonReleased, this,
            [commands](const QPoint &globalPos) { commands->showPopUp(globalPos); });
    connect(c.FileList, &PhoneFileList::leftButtonPressed, this, [commands] { commands->setListLeftButtonDown(true); });
    connect(c.FileList, &PhoneFileList::leftButtonReleased, this,
            [commands] { commands->setListLeftButtonDown(false); });
    connect(
        c.FileList, &PhoneFileList::renameAttempted, this, [commands] { commands->renameAttempted(); },
        Qt::QueuedConnection);
    connect(c.FileList, &PhoneFileList::mouseMoved, this,
            [commands](Qt::MouseButtons buttons, const QPoint &pos) { commands->listMouseMove(buttons, pos); });
    // Queued: the desktop's drop finishes before the upload starts.
    connect(
        c.FileList, &PhoneFileList::filesDropped, this,
        [commands](const QStringList &paths) { commands->filesDropped(paths); }, Qt::QueuedConnection);
}

void Form1::closeEvent(QCloseEvent *event)
{
    m_commands.leavePhone();
    m_commands.closeOtherWindows();
    event->accept();
    // Closing in the middle of an exchange: nothing of it may run on a closed port.
    if (m_commands.busy())
        endProgram(0);
    QCoreApplication::quit();
}

void Form1::endProgram(int exitStatus)
{
    m_commands.leavePhone();
    m_commands.closeOtherWindows();
    hide();
    std::fflush(stdout);
    std::fflush(stderr);
    // The interrupted operation sits below this call on the stack: leave at once,
    // without unwinding into it.
    std::_Exit(exitStatus);
}
