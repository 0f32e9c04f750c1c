#pragma once

#include "phonecommands.h"
#include "phonesession.h"

#include <QCoreApplication>
#include <QPointer>
#include <QStringList>

#include <memory>

class Checksum;
class Form2;
class QPoint;
class QWidget;
class WindowEvents;
class frmBrow;
class frmDrag;
class frmOptions;
struct MainWindowControls;

// The commands of the main window, as its buttons, its menu, its list and its
// dialogs run them. It owns the phone (the checksum component `Crc`, the session
// with its link and files) and the state the commands share, and opens and tracks
// the secondary windows.
class PhoneController : public PhoneCommands
{
    Q_DECLARE_TR_FUNCTIONS(PhoneController)

public:
    // The folder test: how a name looks decides whether it counts as a file.
    enum class NameShape {
        File, // longer than 4 characters, a "." fourth from the end
        FourWithDot, // exactly 4 characters, the first a ".": only a drag-out takes it
        Short, // 4 characters or fewer otherwise
        NoDot, // longer, no "." fourth from the end
    };

    PhoneController(std::unique_ptr<Checksum> crc, QWidget &window, MainWindowControls &controls, WindowEvents &events);
    ~PhoneController() override;

    // The one way to the phone (tests set its line up through it).
    PhoneSession &session() { return m_session; }
    // The program ends: the phone is left as it was found and the port closed.
    void leavePhone() { m_session.close(); }

    // Start-up: stored port and RTS applied, the "Mobile..." row shown.
    void startUp();

    void Command1_Click(); // connect, or close the link
    void openSelectedRow(); // double-click on FileList
    void copyCommand(); // Command6, Cop
    void moveCommand(); // Command3, Mo
    void newFolderCommand(); // Command8, Ne
    void deleteCommand(); // Command7, De
    void optionsCommand(); // Command10
    void aboutCommand(); // Command11
    void showPopUp(const QPoint &globalPos);
    void renameAttempted();
    // Lists the phone's current folder into FileList, Text2 and the path line.
    void RefreshListing();
    // What the window shows of an outcome: the message of a lost link (which ends the
    // program), or of a refusal found on the PC. False when the link is lost.
    bool linkKept(const PhoneResult &result);

    // Drag and drop with the desktop.
    void listMouseMove(Qt::MouseButtons buttons, const QPoint &posInList);
    void filesDropped(const QStringList &paths);
    void setListLeftButtonDown(bool down) { ListLeftButtonDown = down; }
    bool listLeftButtonDown() const { return ListLeftButtonDown; }
    bool dragOutActive() const { return DragOutActive; }
    const QStringList &transferList() const { return TransferList; }

    // The folder test of the copy, move, delete and drag-out commands; every name
    // is a file while SkipFolderCheck is set.
    NameShape nameShape(const QString &text) const;

    // The folder that holds the working files "temp.tmp" and "TempDir": the program's
    // folder when it can be written, else the per-user data folder. Tests and
    // packagers may name another one.
    QString workingDirectory() const;
    void setWorkingDirectory(const QString &directory);
    // Where drag-outs land: "TempDir" in the working folder.
    QString dragOutDirectory() const;

    frmOptions *optionsWindow() const;
    Form2 *aboutWindow() const;
    frmBrow *pcBrowser() const;
    frmDrag *copyWindow() const;
    // Closes every window the commands opened (the main window is closing).
    void closeOtherWindows();

    // PhoneCommands
    bool busy() const override { return m_busy; }
    void runExchange(const std::function<void()> &exchange) override;
    void setMainWindowEnabled(bool enabled) override;
    std::optional<Entry> selectedEntry() const override;
    bool listHasEntry(const QString &text) const override;
    void chooseForTransfer(const QString &text) override;
    bool fetchFile(const QByteArray &name, LocalFileWriter *writer, QWidget *messageParent,
                   const QString &failureText) override;
    void deleteMovedFile(const QByteArray &name) override;
    bool makeFolder(const QString &name) override;
    bool skipFolderCheck() const override { return SkipFolderCheck; }
    void setSkipFolderCheck(bool skip) override { SkipFolderCheck = skip; }
    PhoneFileList::View listView() const override;
    void setListView(PhoneFileList::View view) override;
    bool rts() const override;
    void setRts(bool raised) override;

private:
    void connected();
    void showListing(const FolderListing &listing);
    // The entry a command acts on: the selected one, none while an exchange runs.
    std::optional<Entry> commandEntry() const;
    // Deletes name in the current folder, waits and lists the folder again.
    void deleteAndRefresh(const QByteArray &name);
    void warn(const QString &text);
    void openPcBrowser(bool moving);
    // Step 5 onwards of a drag-out: the selected file into TempDir, then the copy window.
    void dragOut(const Entry &entry);
    // The copy window for a file in TempDir, centred on the pointer; the main window hides.
    void showCopyWindow(const QString &path);
    void closeTransferWindow(QWidget *transferWindow);

    std::unique_ptr<Checksum> m_crc;
    QWidget &m_window;
    MainWindowControls &m_controls;
    WindowEvents &m_events;
    PhoneSession m_session;
    bool SkipFolderCheck = false;
    QStringList TransferList; // the one phone file chosen for a transfer
    bool DragOutActive = true; // no drag-out starts while set
    bool ListLeftButtonDown = false;
    bool m_busy = false;
    QPointer<frmOptions> m_options;
    QPointer<Form2> m_about;
    QPointer<QWidget> m_mkDir;
    QPointer<frmBrow> m_brow;
    QPointer<frmDrag> m_drag;
};
