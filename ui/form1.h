#pragma once

#include "form2.h"
#include "frmbrow.h"
#include "frmdrag.h"
#include "frmoptions.h"
#include "frmprogress.h"
#include "handshake.h"
#include "phonefilelist.h"
#include "phonefiles.h"
#include "phonelink.h"
#include "phoneui.h"
#include "pictures.h"

#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <memory>
#include <optional>

class Checksum;
class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;

// The main window. It owns everything the phone operations work through: the
// checksum component `Crc`, the phone link (port `Comm1`, its timers and
// `BfbSequence`), the phone's files (`PathStack`) and the list `FileList`; and it is
// the PhoneUi of the link and OBEX layers.
class Form1
    : public QWidget
    , public PhoneUi
{
    Q_OBJECT

public:
    static constexpr char MobileRowText[] = "Mobile...";

    // Start-up happens here: stored port and RTS applied, the "Mobile..." row shown.
    explicit Form1(std::unique_ptr<Checksum> crc, QWidget *parent = nullptr);
    ~Form1() override;

    PhoneLink &link() { return m_link; }
    PhoneFiles &files() { return m_files; }
    frmProgress *progressWindow() const { return m_progress; }
    frmOptions *optionsWindow() const { return m_options; }
    Form2 *aboutWindow() const { return m_about; }
    // True while a phone exchange runs; commands that would start another are ignored.
    bool busy() const { return m_busy; }

    // The folder test: a name counts as a file only when it is longer than 4
    // characters and a "." stands fourth from its end.
    static bool looksLikeFile(const QString &text);

    // Marks a phone exchange as running for its lifetime (see busy()).
    class Exchange
    {
    public:
        explicit Exchange(Form1 &form) : m_form(form) { m_form.m_busy = true; }
        ~Exchange() { m_form.m_busy = false; }
        Exchange(const Exchange &) = delete;
        Exchange &operator=(const Exchange &) = delete;

    private:
        Form1 &m_form;
    };

    // The folder that holds the working files "temp.tmp" and "TempDir": the program's
    // folder when it can be written, else the per-user data folder. Tests and
    // packagers may name another one.
    QString workingDirectory() const;
    void setWorkingDirectory(const QString &directory);
    // Where drag-outs land: "TempDir" in the working folder.
    QString dragOutDirectory() const;

    frmBrow *pcBrowser() const { return m_brow; }
    frmDrag *copyWindow() const { return m_drag; }

    // Controls.
    QLabel *Capt;
    PhoneFileList *FileList;
    QLabel *Label3;
    QLabel *Label4;
    QPushButton *Command11;
    QPushButton *Command10;
    QPushButton *Command6;
    QPushButton *Command3;
    QPushButton *Command8;
    QPushButton *Command7;
    QPushButton *Command9;
    QPushButton *Command1; // hidden: its caption is the link state
    QLabel *Label1; // hidden: bytes waiting at the port
    QLabel *Label5; // hidden: sequence indicator
    QPlainTextEdit *Text2; // hidden: raw text of the last listing
    QMenu *PopUp;
    QAction *Cop;
    QAction *Mo;
    QAction *Ne;
    QAction *De;
    ImageList ImageList1; // 32 x 32, by EntryKind
    ImageList ImageList2; // 16 x 16, by EntryKind

    // State shared with the dialogs.
    bool SkipFolderCheck = false;
    QStringList TransferList;
    bool DragOutActive = true;
    bool ListLeftButtonDown = false;

    // The commands, as the buttons, the menu and the list run them.
    void Command1_Click(); // connect, or close the link
    void openSelectedRow(); // double-click on FileList
    void copyCommand(); // Command6, Cop
    void moveCommand(); // Command3, Mo
    void newFolderCommand(); // Command8, Ne
    void deleteCommand(); // Command7, De
    void optionsCommand(); // Command10
    void aboutCommand(); // Command11
    void exitCommand(); // Command9
    void showPopUp(const QPoint &globalPos);

    // Lists the phone's current folder into FileList, Text2 and the path line.
    void RefreshListing();
    // Creates a folder in the current phone folder and lists it again (new-folder
    // dialog). False when the name was refused before anything was sent.
    bool makeFolder(const QString &name);
    void ClearTransferList() { TransferList.clear(); }
    // GetFile, and the message failureText (parented to messageParent) when the phone
    // does not deliver the file.
    std::optional<QByteArray> fetchFile(const QByteArray &name, QWidget *messageParent, const QString &failureText);

    // Drag and drop with the desktop.
    void listMouseMove(Qt::MouseButtons buttons, const QPoint &posInList);
    void filesDropped(const QStringList &paths);

    // PhoneUi
    void progressLoad() override;
    void progressShow() override;
    bool progressIsOpen() const override;
    void progressSetMaximum(int maximum) override;
    void progressSetValue(int value) override;
    int progressValue() const override;
    void progressAddRow(const QString &text, int icon) override;
    void progressRepaint() override;
    void progressShowCloseButton() override;
    void progressFocus() override;
    void progressClose() override;
    void setMainWindowEnabled(bool enabled) override;
    void setMainWindowVisible(bool visible) override;
    void setWaitingBytesText(const QString &text) override;
    void setSequenceText(const QString &text) override;
    void setTotalMemoryText(const QString &text) override;
    void setFreeMemoryText(const QString &text) override;
    void connectionEstablished() override;
    void showMessage(Icon icon, const QString &title, const QString &text) override;
    bool askYesNo(Icon icon, const QString &title, const QString &text) override;
    [[noreturn]] void endProgram(int exitStatus) override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void createControls();
    void startUp();
    void connectProcedure();
    void showListing(const FolderListing &listing);
    // The selected row's text, or nothing when no row is selected.
    bool selectedText(QString *text, QByteArray *nameBytes = nullptr) const;
    void closeOtherWindows();
    void discardProgress();
    void renameAttempted();
    void openPcBrowser(bool moving);
    // Step 5 onwards of a drag-out: the selected file into TempDir, then the copy window.
    void dragOut(const QString &text, const QByteArray &name);
    void closeTransferWindow(QWidget *window);

    std::unique_ptr<Checksum> m_crc;
    PhoneLink m_link;
    PhoneConnector m_connector;
    PhoneFiles m_files;
    QPointer<frmProgress> m_progress;
    QPointer<frmOptions> m_options;
    QPointer<Form2> m_about;
    QPointer<QWidget> m_mkDir;
    QPointer<frmBrow> m_brow;
    QPointer<frmDrag> m_drag;
    QString m_workingDirectory;
    bool m_busy = false;
};
