#pragma once

#include "pcfolders.h"

#include <QDialog>
#include <QHash>

#include <functional>

class PhoneCommands;
class QComboBox;
class QPushButton;

// The PC browser dialog: the user picks a PC folder and the phone file selected in
// the main window is downloaded into it, copied or moved. The main window is hidden
// while the dialog is open and shown again when it closes, by any path.
class frmBrow : public QDialog
{
    Q_OBJECT

public:
    enum class Mode {
        Copy,
        Move
    };

    frmBrow(PhoneCommands &commands, Mode mode);

    Mode mode() const { return m_mode; }

    QComboBox *Drive1;
    FolderList *Dir1;
    QPushButton *Command1; // "Ok" of a copy
    QPushButton *Command3; // "Ok" of a move
    QPushButton *Command2; // "Отмена"

    // Drive1's entries (roots) in order.
    const QList<PcDrives::Drive> &drives() const { return m_drives; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void Drive1_Change(int index);
    void Command1_Click();
    void Command3_Click();
    // Downloads the selected phone file (its name in phoneName) into Dir1's folder;
    // true when the PC file is there whole. Says what went wrong otherwise.
    bool downloadToPc(bool moving, QByteArray *phoneName);
    // One exchange at a time: the dialog is locked while it runs and closes after it.
    void runTransfer(const std::function<void()> &transfer);
    void say(const QString &text);

    PhoneCommands &m_commands;
    Mode m_mode;
    QList<PcDrives::Drive> m_drives;
    QHash<QString, QString> m_driveFolders; // each drive's last folder
    bool m_transferring = false;
};
