#pragma once

#include "mainwindowcontrols.h"
#include "phonecontroller.h"
#include "windowevents.h"

#include <QWidget>

#include <memory>

class Checksum;

// The main window: its controls (built by MainWindowControls), the phone events as
// the window shows them (WindowEvents) and the commands that its buttons, menu,
// list and dialogs run (PhoneController), wired together.
class Form1 : public QWidget
{
    Q_OBJECT

public:
    // Start-up happens here: stored port and RTS applied, the "Mobile..." row shown.
    explicit Form1(std::unique_ptr<Checksum> crc, QWidget *parent = nullptr);
    ~Form1() override;

    MainWindowControls &controls() { return m_controls; }
    WindowEvents &events() { return m_events; }
    const WindowEvents &events() const { return m_events; }
    PhoneController &commands() { return m_commands; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void connectControls();
    // Ends the program at once: the interrupted operation sits below on the stack.
    [[noreturn]] void endProgram(int exitStatus);

    MainWindowControls m_controls;
    WindowEvents m_events;
    PhoneController m_commands;
};
