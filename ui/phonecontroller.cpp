#include "phonecontroller.h"

#include "checksum.h"
#include "form2.h"
#include "frmbrow.h"
#include "frmdrag.h"
#include "frmmkdir.h"
#include "frmoptions.h"
#include "localfiletexts.h"
#include "localnames.h"
#include "mainwindowcontrols.h"
#include "messagebox.h"
#include "refusaltexts.h"
#include "storedsettings.h"
#include "twips.h"
#include "windowevents.h"

#include <QCursor>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>

namespace {

// Marks a phone exchange as running for its lifetime.
class Exchange
{
public:
    explicit Exchange(bool &busy) : m_busy(busy), m_before(busy) { m_busy = true; }
    ~Exchange() { m_busy = m_before; }
    Exchange(const Exchange &) = delete;
    Exchange &operator=(const Exchange &) = delete;

private:
    bool &m_busy;
    bool m_before;
};

} // namespace

PhoneController::PhoneController(std::unique_ptr<Checksum> crc, QWidget &window, MainWindowControls &controls,
                                 WindowEvents &events)
    : m_crc(std::move(crc))
    , m_window(window)
    , m_controls(controls)
    , m_events(events)
    , m_session(*m_crc, events, events, events)
{}

PhoneController::~PhoneController()
{
    closeOtherWindows();
}

void PhoneController::startUp()
{
    m_session.setPortNumber(StoredSettings::portNumberFrom(StoredSettings::comport()));
    m_session.setRts(StoredSettings::rtsFrom(StoredSettings::rts()));
    // A byte trace for reporting a problem with a real phone; the window has no place for it.
    const QString trace = qEnvironmentVariable("TARVEL_TRACE");
    QString traceError;
    if (!trace.isEmpty() && !m_session.traceTo(trace, &traceError))
        qWarning("tarvel: cannot write the trace %s: %s", qPrintable(trace), qPrintable(traceError));
    for (QPushButton *button : {m_controls.Command6, m_controls.Command7, m_controls.Command8, m_controls.Command3})
        button->setEnabled(false);
    m_controls.FileList->addRow(QString::fromLatin1(MainWindowControls::MobileRowText), int(EntryKind::Mobile),
                                QByteArray(MainWindowControls::MobileRowText));
    DragOutActive = true;
    TransferList.clear();
}

PhoneController::NameShape PhoneController::nameShape(const QString &text) const
{
    if (SkipFolderCheck)
        return NameShape::File;
    if (text.size() > 4)
        return text.at(text.size() - 4) == u'.' ? NameShape::File : NameShape::NoDot;
    return text.size() == 4 && text.at(0) == u'.' ? NameShape::FourWithDot : NameShape::Short;
}

std::optional<PhoneCommands::Entry> PhoneController::selectedEntry() const
{
    const int row = m_controls.FileList->selectedRow();
    if (row < 0)
        return std::nullopt;
    return Entry{m_controls.FileList->rowText(row), m_controls.FileList->rowNameBytes(row)};
}

std::optional<PhoneCommands::Entry> PhoneController::commandEntry() const
{
    if (m_busy)
        return std::nullopt;
    return selectedEntry();
}

bool PhoneController::listHasEntry(const QString &text) const
{
    for (int row = 0; row < m_controls.FileList->rowCount(); ++row) {
        if (m_controls.FileList->rowText(row) == text)
            return true;
    }
    return false;
}

void PhoneController::chooseForTransfer(const QString &text)
{
    TransferList = {text};
}

void PhoneController::warn(const QString &text)
{
    MessageBoxes::show(&m_window, QMessageBox::Warning, QString(), text);
}

void PhoneController::runExchange(const std::function<void()> &exchange)
{
    const Exchange running(m_busy);
    exchange();
}

void PhoneController::Command1_Click()
{
    if (m_busy)
        return;
    const Exchange running(m_busy);
    const PhoneResult result = m_session.connect([this](const FolderListing &listing) { showListing(listing); });
    if (linkKept(result) && result.ok())
        connected();
}

void PhoneController::connected()
{
    for (QPushButton *button :
         {m_controls.Command6, m_controls.Command7, m_controls.Command8, m_controls.Command9, m_controls.Command3})
        button->setEnabled(true);
    DragOutActive = false;
    m_controls.FileList->setAcceptFileDrops(true);
}

void PhoneController::openSelectedRow()
{
    if (m_busy)
        return;
    const int row = m_controls.FileList->selectedRow();
    if (row < 0)
        return;
    const QString text = m_controls.FileList->rowText(row);
    const EntryKind kind = EntryKind(m_controls.FileList->rowKind(row));
    // A folder the phone refuses to enter or leave is not reported: the listing shows
    // where it stands.
    QList<QByteArray> folder = m_session.currentFolder();
    if (isFolderKind(kind)) {
        const Exchange running(m_busy);
        folder.append(m_controls.FileList->rowNameBytes(row));
        if (linkKept(m_session.enter(folder)))
            RefreshListing();
    } else if (text == QLatin1String(ParentRowText) && kind == EntryKind::Parent) {
        const Exchange running(m_busy);
        if (!folder.isEmpty())
            folder.removeLast();
        if (linkKept(m_session.enter(folder)))
            RefreshListing();
    } else if (text == QLatin1String(MainWindowControls::MobileRowText) && kind == EntryKind::Mobile) {
        Command1_Click();
    }
}

void PhoneController::RefreshListing()
{
    FolderListing listing;
    const PhoneResult result = m_session.list(m_session.currentFolder(), &listing, PhoneSession::Listing::FromPhone);
    if (linkKept(result) && result.ok())
        showListing(listing);
}

bool PhoneController::linkKept(const PhoneResult &result)
{
    if (result == PhoneResult::Code::LinkLost) {
        m_events.showLinkLost(result.loss());
        return false;
    }
    if (const std::optional<Refusal> refusal = result.refusal()) {
        const QMessageBox::Icon icon = *refusal == Refusal::SourceMissing ? QMessageBox::NoIcon : QMessageBox::Warning;
        MessageBoxes::show(&m_window, icon, QString(), refusalText(*refusal));
    }
    return true;
}

void PhoneController::showListing(const FolderListing &listing)
{
    m_controls.Text2->setPlainText(PhoneSession::text(listing.text));
    m_controls.FileList->clear();
    for (const ListingRow &row : listing.rows)
        m_controls.FileList->addRow(PhoneSession::text(row.name), int(row.kind), row.name, row.size, row.date,
                                    row.time);
    m_controls.Capt->setText(listing.pathLine);
}

void PhoneController::copyCommand()
{
    const std::optional<Entry> entry = commandEntry();
    if (!entry)
        return;
    if (nameShape(entry->text) != NameShape::File) {
        warn(tr("Каталоги пока не копируются, копируйте по файлам!!!"));
        return;
    }
    openPcBrowser(false);
}

void PhoneController::moveCommand()
{
    const std::optional<Entry> entry = commandEntry();
    if (!entry)
        return;
    switch (nameShape(entry->text)) {
    case NameShape::File:
        openPcBrowser(true);
        break;
    case NameShape::FourWithDot:
    case NameShape::Short:
        warn(tr("Каталоги пока не перемещаются, копируйте по файлам!!!"));
        break;
    case NameShape::NoDot:
        warn(tr("Каталоги пока не перемещаются, перемещайте по файлам!!!"));
        break;
    }
}

void PhoneController::openPcBrowser(bool moving)
{
    if (m_brow || m_drag)
        return;
    auto *dialog = new frmBrow(*this, moving ? frmBrow::Mode::Move : frmBrow::Mode::Copy);
    m_brow = dialog;
    // Closed by any path, the dialog is deleted, and the main window comes back.
    QObject::connect(dialog, &QObject::destroyed, &m_window, [this] { m_window.show(); });
    dialog->show();
    m_window.hide();
}

void PhoneController::deleteCommand()
{
    const std::optional<Entry> entry = commandEntry();
    if (!entry)
        return;
    if (nameShape(entry->text) != NameShape::File)
        MessageBoxes::show(&m_window, QMessageBox::Information, QString(),
                           tr("Каталоги с содержимым пока не удаляются,удалите сначала все файлы из каталога..."));
    if (!MessageBoxes::askYesNo(&m_window, QMessageBox::NoIcon, tr("Удаление файла"),
                                tr("Вы действительно хотите удалить файл(каталог) '%1'?").arg(entry->text)))
        return;
    const Exchange running(m_busy);
    deleteAndRefresh(entry->name);
}

void PhoneController::deleteMovedFile(const QByteArray &name)
{
    deleteAndRefresh(name);
}

void PhoneController::deleteAndRefresh(const QByteArray &name)
{
    // The phone's answer is not reported: the listing shows what became of the name.
    const PhoneResult result = m_session.remove(m_session.currentFolder(), name, PhoneSession::MissingCheck::None);
    if (!linkKept(result))
        return;
    m_session.pause(1500);
    RefreshListing();
}

void PhoneController::newFolderCommand()
{
    // A dialog closed a moment ago may still wait for its deletion.
    if (m_busy || (m_mkDir && m_mkDir->isVisible()))
        return;
    m_window.setEnabled(false);
    auto *dialog = new frmMkDir(*this);
    m_mkDir = dialog;
    dialog->show();
}

bool PhoneController::makeFolder(const QString &name)
{
    if (m_busy)
        return false;
    QByteArray bytes;
    // Refused with a message before anything is sent: no code for a character, too long.
    if (const PhoneResult checked = m_session.checkName(name, PhoneSession::NameUse::Folder, &bytes); !checked.ok()) {
        linkKept(checked);
        return false;
    }
    const Exchange running(m_busy);
    // A folder the phone refuses is not reported: the listing shows it missing.
    const PhoneResult result = m_session.makeFolder(m_session.currentFolder(), bytes);
    if (linkKept(result))
        RefreshListing();
    return true;
}

bool PhoneController::fetchFile(const QByteArray &name, LocalFileWriter *writer, QWidget *messageParent,
                                const QString &failureText)
{
    const PhoneResult result = m_session.get(
        m_session.currentFolder(), name, [writer](QByteArrayView piece) { return !writer || writer->write(piece); });
    if (!linkKept(result))
        return false;
    if (result.ok())
        return true;
    if ((result == PhoneResult::Code::Refused || result == PhoneResult::Code::NotFound) && !(writer && writer->error()))
        MessageBoxes::show(messageParent && messageParent->isVisible() ? messageParent : nullptr, QMessageBox::Warning,
                           QString(), failureText);
    return false;
}

QString PhoneController::workingDirectory() const
{
    return m_session.workingDirectory();
}

void PhoneController::setWorkingDirectory(const QString &directory)
{
    m_session.setWorkingDirectory(directory);
}

QString PhoneController::dragOutDirectory() const
{
    return workingDirectory() + QStringLiteral("/TempDir");
}

void PhoneController::listMouseMove(Qt::MouseButtons buttons, const QPoint &posInList)
{
    if (!(buttons & Qt::LeftButton) || !ListLeftButtonDown || DragOutActive || m_busy || m_drag || m_brow)
        return;
    // Idle while the pointer stays in the middle of the list.
    const Twips twips(&m_window);
    const int x = twips.toTwipsX(posInList.x());
    const int y = twips.toTwipsY(posInList.y());
    const int width = twips.toTwipsX(m_window.frameGeometry().width());
    const int height = twips.toTwipsY(m_window.frameGeometry().height());
    if (x > 200 && x < width - 625 && y > 500 && y < height - 1765)
        return;

    const std::optional<Entry> entry = selectedEntry();
    if (!entry)
        return;
    // One drag-out per press of the button, whatever becomes of it.
    ListLeftButtonDown = false;
    const NameShape shape = nameShape(entry->text);
    if (shape != NameShape::File && shape != NameShape::FourWithDot) {
        warn(tr("Каталоги пока не перемещаются, перемещайте по файлам!!!"));
        DragOutActive = false;
        return;
    }
    DragOutActive = true;
    dragOut(*entry);
    DragOutActive = false;
}

void PhoneController::dragOut(const Entry &entry)
{
    chooseForTransfer(entry.text);
    const std::optional<QString> localName = safeLocalName(PhoneSession::text(entry.name));
    if (!localName) {
        warn(refusalText(Refusal::UnsafeLocalName) + QStringLiteral("\n'") + entry.text + u'\'');
        return;
    }
    // The download comes first; TempDir and the file are made where it can go.
    const QString folder = dragOutDirectory();
    const QString path = localFilePath(folder, *localName);
    const std::optional<LocalFileError> folderError = makeLocalFolder(folder);
    LocalFileError writeError;
    const std::unique_ptr<LocalFileWriter> writer = folderError ? nullptr : LocalFileWriter::open(path, &writeError);
    bool delivered = false;
    {
        const Exchange running(m_busy);
        delivered = fetchFile(entry.name, writer.get(), &m_window,
                              tr("Телефон не отдал файл '%1'! Файл не скопирован.").arg(entry.text));
    }
    // The phone's failure was said already.
    if (!delivered && !(writer && writer->error()))
        return;
    if (folderError) {
        warn(tr("Не удалось создать папку '%1': %2.")
                 .arg(QDir::toNativeSeparators(folder), LocalFiles::reasonFor(*folderError)));
        return;
    }
    if (writer && !writer->error() && writer->commit()) {
        showCopyWindow(path);
        return;
    }
    warn(tr("Не удалось записать файл '%1': %2.")
             .arg(QDir::toNativeSeparators(path), LocalFiles::reasonFor(writer ? *writer->error() : writeError)));
}

void PhoneController::showCopyWindow(const QString &path)
{
    auto *copyWindow = new frmDrag(path);
    m_drag = copyWindow;
    QObject::connect(copyWindow, &QObject::destroyed, &m_window, [this] { m_window.show(); });
    // Centred on the pointer, but whole on the screen.
    QRect frame = copyWindow->frameGeometry();
    frame.moveCenter(QCursor::pos());
    if (const QScreen *screen = QGuiApplication::screenAt(QCursor::pos())) {
        const QRect available = screen->availableGeometry();
        frame.moveLeft(
            qBound(available.left(), frame.left(), qMax(available.left(), available.right() - frame.width())));
        frame.moveTop(qBound(available.top(), frame.top(), qMax(available.top(), available.bottom() - frame.height())));
    }
    copyWindow->move(frame.topLeft());
    m_window.hide();
    copyWindow->show();
}

void PhoneController::filesDropped(const QStringList &paths)
{
    if (m_busy || !m_session.isPortOpen() || m_brow || m_drag)
        return;
    if (paths.size() >= 2) {
        MessageBoxes::show(&m_window, QMessageBox::Warning, tr("Внимание!!!"),
                           tr("Сейчас можно копировать только 1 файл за одну операцию!!!"));
        return;
    }
    const QString path = paths.first();
    if (!QFileInfo(path).isFile()) {
        MessageBoxes::show(&m_window, QMessageBox::NoIcon, QString(), tr("Нет такого файла!!!"));
        return;
    }
    m_window.activateWindow();
    m_window.setFocus();
    // The list tells which names the folder holds already.
    QList<QByteArray> names;
    for (int row = 0; row < m_controls.FileList->rowCount(); ++row) {
        const auto kind = EntryKind(m_controls.FileList->rowKind(row));
        if (kind != EntryKind::Parent && kind != EntryKind::Mobile)
            names.append(m_controls.FileList->rowNameBytes(row));
    }
    const Exchange running(m_busy);
    // The main window stays disabled for the whole upload.
    m_window.setEnabled(false);
    const PhoneResult result = m_session.replace(path, m_session.currentFolder(), &names);
    m_window.setEnabled(true);
    // Other failures of the phone are not reported: the listing shows them.
    if (result == PhoneResult::Code::OldFileLost)
        warn(replaceLostText());
    if (!linkKept(result))
        return;
    m_session.pause(1000);
    RefreshListing();
}

void PhoneController::optionsCommand()
{
    if (m_options)
        return;
    auto *dialog = new frmOptions(*this);
    m_options = dialog;
    dialog->show();
}

void PhoneController::aboutCommand()
{
    if (!m_about || !m_about->isVisible())
        m_about = new Form2;
    m_about->show();
    m_about->raise();
    m_about->activateWindow();
}

void PhoneController::showPopUp(const QPoint &globalPos)
{
    const std::optional<Entry> entry = selectedEntry();
    if (!entry || entry->text == QLatin1String(MainWindowControls::MobileRowText))
        return;
    m_controls.PopUp->popup(globalPos);
}

void PhoneController::renameAttempted()
{
    MessageBoxes::show(&m_window, QMessageBox::Information, QString(),
                       tr("Переименовывать файлы пока нельзя, воспользуйтесь телефоном..."));
}

void PhoneController::setMainWindowEnabled(bool enabled)
{
    m_window.setEnabled(enabled);
}

PhoneFileList::View PhoneController::listView() const
{
    return m_controls.FileList->view();
}

void PhoneController::setListView(PhoneFileList::View view)
{
    m_controls.FileList->setView(view);
}

bool PhoneController::rts() const
{
    return m_session.rts();
}

void PhoneController::setRts(bool raised)
{
    m_session.setRts(raised);
}

frmOptions *PhoneController::optionsWindow() const
{
    return m_options;
}

Form2 *PhoneController::aboutWindow() const
{
    return m_about;
}

frmBrow *PhoneController::pcBrowser() const
{
    return m_brow;
}

frmDrag *PhoneController::copyWindow() const
{
    return m_drag;
}

void PhoneController::closeTransferWindow(QWidget *transferWindow)
{
    if (!transferWindow)
        return;
    // Gone with the main window: nothing to show again.
    QObject::disconnect(transferWindow, &QObject::destroyed, &m_window, nullptr);
    delete transferWindow;
}

void PhoneController::closeOtherWindows()
{
    m_events.closeProgress();
    closeTransferWindow(m_brow);
    closeTransferWindow(m_drag);
    for (QWidget *other :
         {static_cast<QWidget *>(m_options.data()), static_cast<QWidget *>(m_about.data()), m_mkDir.data()}) {
        if (!other)
            continue;
        other->close();
        // Now, not later: their handlers call back into the commands.
        delete other;
    }
}
