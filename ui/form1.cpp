#include "form1.h"

#include "checksum.h"
#include "cp1251.h"
#include "form2.h"
#include "frmbrow.h"
#include "frmdrag.h"
#include "frmmkdir.h"
#include "frmoptions.h"
#include "frmprogress.h"
#include "localfiles.h"
#include "messagebox.h"
#include "obexrequests.h"
#include "storedsettings.h"
#include "twips.h"
#include "workingfiles.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTreeView>

#include <cstdio>
#include <cstdlib>

namespace {

QMessageBox::Icon boxIcon(PhoneUi::Icon icon)
{
    switch (icon) {
    case PhoneUi::Icon::None:
        return QMessageBox::NoIcon;
    case PhoneUi::Icon::Information:
        return QMessageBox::Information;
    case PhoneUi::Icon::Warning:
        return QMessageBox::Warning;
    case PhoneUi::Icon::Critical:
        return QMessageBox::Critical;
    case PhoneUi::Icon::Question:
        return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

// The memory labels are narrow: long figures are drawn in smaller type, the
// same for both labels, rather than cut off.
void fitTogether(QLabel *first, QLabel *second)
{
    QFont font = first->font();
    font.setPointSizeF(8);
    const auto tooWide = [&font](const QLabel *label) {
        return QFontMetrics(font).horizontalAdvance(label->text()) > label->width();
    };
    while (font.pointSizeF() > 5 && (tooWide(first) || tooWide(second)))
        font.setPointSizeF(font.pointSizeF() - 0.5);
    first->setFont(font);
    second->setFont(font);
}

} // namespace

Form1::Form1(std::unique_ptr<Checksum> crc, QWidget *parent)
    : QWidget(parent)
    , ImageList1(32, Pictures::entryKindPaths())
    , ImageList2(16, Pictures::entryKindPaths())
    , m_crc(std::move(crc))
    , m_link(*m_crc, *this)
    , m_connector(m_link)
    , m_files(m_link)
{
    createControls();
    startUp();
}

Form1::~Form1()
{
    closeOtherWindows();
}

void Form1::createControls()
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Tarvel"));
    setWindowIcon(Pictures::programIcon());

    const Twips twips(this);
    setFixedSize(twips.size(10605, 7785));

    Capt = new QLabel(this);
    Capt->setObjectName(QStringLiteral("Capt"));
    QFont captFont(QStringLiteral("MS Sans Serif"));
    captFont.setStyleHint(QFont::SansSerif);
    captFont.setBold(true);
    Capt->setFont(captFont);
    Capt->setAutoFillBackground(true);
    QPalette captColours = Capt->palette();
    captColours.setColor(QPalette::Window, QColor(0x00, 0x00, 0x80));
    captColours.setColor(QPalette::WindowText, Qt::white);
    Capt->setPalette(captColours);
    placeTwips(Capt, twips, 0, 70, 10575, 255);

    FileList = new PhoneFileList(ImageList1, ImageList2, this);
    FileList->setObjectName(QStringLiteral("FileList"));
    placeTwips(FileList, twips, 0, 360, 10575, 6825);
    QTreeView *report = FileList->reportView();
    report->setColumnWidth(PhoneFileList::NameColumn, twips.x(5400));
    report->setColumnWidth(PhoneFileList::SizeColumn, twips.x(1800));
    report->setColumnWidth(PhoneFileList::DateColumn, twips.x(1500));

    Label3 = new QLabel(QStringLiteral("Всего памяти:"), this);
    Label3->setObjectName(QStringLiteral("Label3"));
    placeTwips(Label3, twips, 120, 7245, 1935, 255);
    Label4 = new QLabel(QStringLiteral("Из них свободно:"), this);
    Label4->setObjectName(QStringLiteral("Label4"));
    placeTwips(Label4, twips, 120, 7515, 1935, 255);
    fitTogether(Label3, Label4);

    struct ButtonSpec
    {
        QPushButton **button;
        const char *name;
        int left;
        const char *tooltip;
        Pictures::Button picture;
    };
    const ButtonSpec buttons[] = {
        {&Command11, "Command11", 2160, "О программе", Pictures::Button::About},
        {&Command10, "Command10", 3360, "Настройки", Pictures::Button::Options},
        {&Command6, "Command6", 4560, "Копировать", Pictures::Button::Copy},
        {&Command3, "Command3", 5760, "Переместить", Pictures::Button::Move},
        {&Command8, "Command8", 6960, "Новая папка", Pictures::Button::NewFolder},
        {&Command7, "Command7", 8160, "Удалить", Pictures::Button::Delete},
        {&Command9, "Command9", 9360, "Выход", Pictures::Button::Exit},
    };
    for (const ButtonSpec &spec : buttons) {
        auto *button = new QPushButton(this);
        button->setObjectName(QString::fromLatin1(spec.name));
        button->setToolTip(QString::fromUtf8(spec.tooltip));
        button->setIcon(Pictures::button(spec.picture));
        placeTwips(button, twips, spec.left, 7320, 1215, 375);
        const int iconSide = qMin(button->height() - 6, 24);
        button->setIconSize(QSize(iconSide, iconSide));
        button->setAutoDefault(false);
        *spec.button = button;
    }

    Command1 = new QPushButton(QString::fromLatin1(PhoneLink::LinkEnable), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->hide();
    Label1 = new QLabel(this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->hide();
    Label5 = new QLabel(this);
    Label5->setObjectName(QStringLiteral("Label5"));
    Label5->hide();
    Text2 = new QPlainTextEdit(this);
    Text2->setObjectName(QStringLiteral("Text2"));
    Text2->setReadOnly(true);
    Text2->hide();

    PopUp = new QMenu(this);
    PopUp->setObjectName(QStringLiteral("PopUp"));
    Cop = PopUp->addAction(QStringLiteral("Копировать"));
    Cop->setObjectName(QStringLiteral("Cop"));
    Mo = PopUp->addAction(QStringLiteral("Переместить"));
    Mo->setObjectName(QStringLiteral("Mo"));
    Ne = PopUp->addAction(QStringLiteral("Новая папка"));
    Ne->setObjectName(QStringLiteral("Ne"));
    De = PopUp->addAction(QStringLiteral("Удалить"));
    De->setObjectName(QStringLiteral("De"));

    // Each menu entry runs exactly the handler of its button. Queued, so that a
    // command's own message boxes and exchanges never run inside the menu's loop.
    connect(Command11, &QPushButton::clicked, this, &Form1::aboutCommand);
    connect(Command10, &QPushButton::clicked, this, &Form1::optionsCommand);
    connect(Command6, &QPushButton::clicked, this, &Form1::copyCommand);
    connect(Command3, &QPushButton::clicked, this, &Form1::moveCommand);
    connect(Command8, &QPushButton::clicked, this, &Form1::newFolderCommand);
    connect(Command7, &QPushButton::clicked, this, &Form1::deleteCommand);
    connect(Command9, &QPushButton::clicked, this, &Form1::exitCommand);
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(Cop, &QAction::triggered, this, &Form1::copyCommand, Qt::QueuedConnection);
    connect(Mo, &QAction::triggered, this, &Form1::moveCommand, Qt::QueuedConnection);
    connect(Ne, &QAction::triggered, this, &Form1::newFolderCommand, Qt::QueuedConnection);
    connect(De, &QAction::triggered, this, &Form1::deleteCommand, Qt::QueuedConnection);

    connect(FileList, &PhoneFileList::rowDoubleClicked, this, &Form1::openSelectedRow);
    connect(FileList, &PhoneFileList::rightButtonReleased, this, &Form1::showPopUp);
    connect(FileList, &PhoneFileList::leftButtonPressed, this, [this] { ListLeftButtonDown = true; });
    connect(FileList, &PhoneFileList::leftButtonReleased, this, [this] { ListLeftButtonDown = false; });
    connect(FileList, &PhoneFileList::renameAttempted, this, &Form1::renameAttempted, Qt::QueuedConnection);
    connect(FileList, &PhoneFileList::mouseMoved, this, &Form1::listMouseMove);
    // Queued: the desktop's drop finishes before the upload starts.
    connect(FileList, &PhoneFileList::filesDropped, this, &Form1::filesDropped, Qt::QueuedConnection);

    connect(&m_link, &PhoneLink::linkStateChanged, Command1, &QPushButton::setText);
    connect(&m_link, &PhoneLink::linkStateChanged, this, [this](const QString &state) {
        if (state == QLatin1String(PhoneLink::LinkEnable))
            FileList->setAcceptFileDrops(false);
    });
}

void Form1::startUp()
{
    m_link.Comm1.setPortNumber(StoredSettings::portNumberFrom(StoredSettings::comport()));
    m_link.Comm1.setRts(StoredSettings::rtsFrom(StoredSettings::rts()));
    for (QPushButton *button : {Command6, Command7, Command8, Command3})
        button->setEnabled(false);
    FileList->addRow(QString::fromLatin1(MobileRowText), int(EntryKind::Mobile), QByteArray(MobileRowText));
    m_link.BfbSequence = 1;
    DragOutActive = true;
    TransferList.clear();
}

bool Form1::looksLikeFile(const QString &text)
{
    return text.size() > 4 && text.at(text.size() - 4) == QLatin1Char('.');
}

bool Form1::selectedText(QString *text, QByteArray *nameBytes) const
{
    const int row = FileList->selectedRow();
    if (row < 0)
        return false;
    *text = FileList->rowText(row);
    if (nameBytes)
        *nameBytes = FileList->rowNameBytes(row);
    return true;
}

void Form1::Command1_Click()
{
    if (m_busy)
        return;
    connectProcedure();
}

void Form1::connectProcedure()
{
    Exchange exchange(*this);
    m_connector.run([this] { showListing(m_files.enterRootAndRefresh()); });
}

void Form1::openSelectedRow()
{
    if (m_busy)
        return;
    const int row = FileList->selectedRow();
    if (row < 0)
        return;
    const QString text = FileList->rowText(row);
    const EntryKind kind = EntryKind(FileList->rowKind(row));
    if (isFolderKind(kind)) {
        Exchange exchange(*this);
        m_files.ObexSetPath(FileList->rowNameBytes(row));
        RefreshListing();
    } else if (text == QLatin1String(ParentRowText) && kind == EntryKind::Parent) {
        Exchange exchange(*this);
        m_files.ObexSetPathUp();
        RefreshListing();
    } else if (text == QLatin1String(MobileRowText) && kind == EntryKind::Mobile) {
        connectProcedure();
    }
}

void Form1::RefreshListing()
{
    showListing(m_files.RefreshListing());
}

void Form1::showListing(const FolderListing &listing)
{
    Text2->setPlainText(Cp1251::decode(listing.text));
    FileList->clear();
    for (const ListingRow &row : listing.rows)
        FileList->addRow(Cp1251::decode(row.name), int(row.kind), row.name, row.size, row.date, row.time);
    Capt->setText(listing.pathLine);
}

void Form1::copyCommand()
{
    if (m_busy)
        return;
    QString text;
    if (!selectedText(&text))
        return;
    if (!SkipFolderCheck && !looksLikeFile(text)) {
        showMessage(Icon::Warning, QString(), QStringLiteral("Каталоги пока не копируются, копируйте по файлам!!!"));
        return;
    }
    openPcBrowser(false);
}

void Form1::moveCommand()
{
    if (m_busy)
        return;
    QString text;
    if (!selectedText(&text))
        return;
    if (!SkipFolderCheck) {
        if (text.size() <= 4) {
            showMessage(Icon::Warning, QString(),
                        QStringLiteral("Каталоги пока не перемещаются, копируйте по файлам!!!"));
            return;
        }
        if (text.at(text.size() - 4) != QLatin1Char('.')) {
            showMessage(Icon::Warning, QString(),
                        QStringLiteral("Каталоги пока не перемещаются, перемещайте по файлам!!!"));
            return;
        }
    }
    openPcBrowser(true);
}

void Form1::openPcBrowser(bool moving)
{
    if (m_brow || m_drag)
        return;
    auto *dialog = new frmBrow(*this, moving ? frmBrow::Mode::Move : frmBrow::Mode::Copy);
    m_brow = dialog;
    // Closed by any path, the dialog is deleted, and the main window comes back.
    connect(dialog, &QObject::destroyed, this, [this] { show(); });
    dialog->show();
    hide();
}

void Form1::deleteCommand()
{
    if (m_busy)
        return;
    QString text;
    QByteArray name;
    if (!selectedText(&text, &name))
        return;
    if (!SkipFolderCheck && !looksLikeFile(text))
        showMessage(Icon::Information, QString(),
                    QStringLiteral("Каталоги с содержимым пока не удаляются,удалите сначала все файлы из каталога..."));
    if (!askYesNo(Icon::None, QStringLiteral("Удаление файла"),
                  QStringLiteral("Вы действительно хотите удалить файл(каталог) '") + text + QStringLiteral("'?")))
        return;
    Exchange exchange(*this);
    m_files.DeleteObject(name);
    m_link.pause(1500);
    RefreshListing();
}

void Form1::newFolderCommand()
{
    // A dialog closed a moment ago may still wait for its deletion.
    if (m_busy || (m_mkDir && m_mkDir->isVisible()))
        return;
    setEnabled(false);
    auto *dialog = new frmMkDir(*this);
    m_mkDir = dialog;
    dialog->show();
}

bool Form1::makeFolder(const QString &name)
{
    if (m_busy)
        return false;
    const std::optional<QByteArray> bytes = m_files.phoneName(name);
    if (!bytes)
        return false;
    // Too long for the request: refused with a message, nothing sent.
    if (bytes->size() > ObexRequest::MaxSetPathName) {
        m_files.MakeFolder(*bytes);
        return false;
    }
    Exchange exchange(*this);
    // A folder the phone refuses was not entered: no step up then, so that
    // PathStack keeps naming the phone's current folder.
    m_files.makeFolderAndReturn(*bytes);
    RefreshListing();
    return true;
}

std::optional<QByteArray> Form1::fetchFile(const QByteArray &name, QWidget *messageParent, const QString &failureText)
{
    // GetFile refuses a name too long for its request itself, with a message.
    const bool sent = name.size() <= ObexRequest::MaxGetName;
    std::optional<QByteArray> content = m_files.GetFile(name);
    if (!content && sent)
        MessageBoxes::show(messageParent && messageParent->isVisible() ? messageParent : nullptr, QMessageBox::Warning,
                           QString(), failureText);
    return content;
}

QString Form1::workingDirectory() const
{
    return m_workingDirectory.isEmpty() ? WorkingFiles::directory() : m_workingDirectory;
}

void Form1::setWorkingDirectory(const QString &directory)
{
    m_workingDirectory = directory;
    m_files.setWorkingDirectory(directory);
}

QString Form1::dragOutDirectory() const
{
    return workingDirectory() + u'/' + QLatin1String(WorkingFiles::DragOutDirectoryName);
}

void Form1::listMouseMove(Qt::MouseButtons buttons, const QPoint &posInList)
{
    if (!(buttons & Qt::LeftButton) || !ListLeftButtonDown || DragOutActive || m_busy || m_drag || m_brow)
        return;
    // Idle while the pointer stays in the middle of the list.
    const Twips twips(this);
    const int x = twips.toTwipsX(posInList.x());
    const int y = twips.toTwipsY(posInList.y());
    const int width = twips.toTwipsX(frameGeometry().width());
    const int height = twips.toTwipsY(frameGeometry().height());
    if (x > 200 && x < width - 625 && y > 500 && y < height - 1765)
        return;

    QString text;
    QByteArray name;
    if (!selectedText(&text, &name))
        return;
    // One drag-out per press of the button, whatever becomes of it.
    ListLeftButtonDown = false;
    if (!SkipFolderCheck && (text.size() < 4 || text.at(text.size() - 4) != QLatin1Char('.'))) {
        showMessage(Icon::Warning, QString(),
                    QStringLiteral("Каталоги пока не перемещаются, перемещайте по файлам!!!"));
        DragOutActive = false;
        return;
    }
    DragOutActive = true;
    dragOut(text, name);
    DragOutActive = false;
}

void Form1::dragOut(const QString &text, const QByteArray &name)
{
    ClearTransferList();
    TransferList.append(text);
    const std::optional<QString> localName = safeLocalName(name);
    if (!localName) {
        showMessage(Icon::Warning, QString(),
                    russianText(ObexNotice::UnsafeLocalName) + QStringLiteral("\n'") + text + u'\'');
        return;
    }
    std::optional<QByteArray> content;
    {
        Exchange exchange(*this);
        content = fetchFile(name, this, QStringLiteral("Телефон не отдал файл '%1'! Файл не скопирован.").arg(text));
    }
    if (!content)
        return;

    const QString folder = dragOutDirectory();
    if (const std::optional<QString> reason = LocalFiles::makeFolder(folder)) {
        showMessage(
            Icon::Warning, QString(),
            QStringLiteral("Не удалось создать папку '%1': %2.").arg(QDir::toNativeSeparators(folder), *reason));
        return;
    }
    const QString path = localFilePath(folder, *localName);
    if (const std::optional<QString> reason = LocalFiles::writeWhole(path, *content)) {
        showMessage(Icon::Warning, QString(),
                    QStringLiteral("Не удалось записать файл '%1': %2.").arg(QDir::toNativeSeparators(path), *reason));
        return;
    }

    auto *window = new frmDrag(path);
    m_drag = window;
    connect(window, &QObject::destroyed, this, [this] { show(); });
    // Centred on the pointer, but whole on the screen.
    QRect frame = window->frameGeometry();
    frame.moveCenter(QCursor::pos());
    if (const QScreen *screen = QGuiApplication::screenAt(QCursor::pos())) {
        const QRect available = screen->availableGeometry();
        frame.moveLeft(
            qBound(available.left(), frame.left(), qMax(available.left(), available.right() - frame.width())));
        frame.moveTop(qBound(available.top(), frame.top(), qMax(available.top(), available.bottom() - frame.height())));
    }
    window->move(frame.topLeft());
    hide();
    window->show();
}

void Form1::filesDropped(const QStringList &paths)
{
    if (m_busy || !m_link.Comm1.isOpen() || m_brow || m_drag)
        return;
    if (paths.size() >= 2) {
        showMessage(Icon::Warning, QStringLiteral("Внимание!!!"),
                    QStringLiteral("Сейчас можно копировать только 1 файл за одну операцию!!!"));
        return;
    }
    const QString path = paths.first();
    if (!QFileInfo(path).isFile()) {
        showMessage(Icon::None, QString(), QStringLiteral("Нет такого файла!!!"));
        return;
    }
    activateWindow();
    setFocus();
    Exchange exchange(*this);
    m_files.PutFile(path);
    m_link.pause(1000);
    RefreshListing();
}

void Form1::optionsCommand()
{
    if (m_options)
        return;
    auto *dialog = new frmOptions(*this);
    m_options = dialog;
    dialog->show();
}

void Form1::aboutCommand()
{
    if (!m_about || !m_about->isVisible())
        m_about = new Form2;
    m_about->show();
    m_about->raise();
    m_about->activateWindow();
}

void Form1::exitCommand()
{
    close();
}

void Form1::closeEvent(QCloseEvent *event)
{
    m_link.Comm1.close();
    closeOtherWindows();
    event->accept();
    // Closing in the middle of an exchange: nothing of it may run on a closed port.
    if (m_busy)
        endProgram(0);
    QCoreApplication::quit();
}

void Form1::showPopUp(const QPoint &globalPos)
{
    QString text;
    if (!selectedText(&text) || text == QLatin1String(MobileRowText))
        return;
    PopUp->popup(globalPos);
}

void Form1::renameAttempted()
{
    showMessage(Icon::Information, QString(),
                QStringLiteral("Переименовывать файлы пока нельзя, воспользуйтесь телефоном..."));
}

void Form1::closeTransferWindow(QWidget *window)
{
    if (!window)
        return;
    // Gone with the main window: nothing to show again.
    disconnect(window, &QObject::destroyed, this, nullptr);
    delete window;
}

void Form1::closeOtherWindows()
{
    discardProgress();
    closeTransferWindow(m_brow);
    closeTransferWindow(m_drag);
    for (QWidget *window :
         {static_cast<QWidget *>(m_options.data()), static_cast<QWidget *>(m_about.data()), m_mkDir.data()}) {
        if (window)
            window->close();
    }
}

// PhoneUi

void Form1::progressLoad()
{
    if (m_progress)
        return;
    m_progress = new frmProgress(this);
    connect(m_progress, &QDialog::finished, this, &Form1::discardProgress);
}

void Form1::progressShow()
{
    progressLoad();
    m_progress->show();
    m_progress->raise();
}

bool Form1::progressIsOpen() const
{
    return m_progress;
}

void Form1::progressSetMaximum(int maximum)
{
    progressLoad();
    m_progress->setMaximum(maximum);
}

void Form1::progressSetValue(int value)
{
    progressLoad();
    m_progress->setValue(value);
}

int Form1::progressValue() const
{
    return m_progress ? m_progress->value() : 0;
}

void Form1::progressAddRow(const QString &text, int icon)
{
    progressLoad();
    m_progress->addRow(text, icon);
}

void Form1::progressRepaint()
{
    if (m_progress)
        m_progress->repaintNow();
}

void Form1::progressShowCloseButton()
{
    progressLoad();
    m_progress->showCloseButton();
}

void Form1::progressFocus()
{
    if (!m_progress)
        return;
    m_progress->raise();
    m_progress->activateWindow();
}

void Form1::progressClose()
{
    discardProgress();
}

void Form1::discardProgress()
{
    if (!m_progress)
        return;
    frmProgress *window = m_progress;
    m_progress = nullptr;
    window->hide();
    window->deleteLater();
}

void Form1::setMainWindowEnabled(bool enabled)
{
    setEnabled(enabled);
}

void Form1::setMainWindowVisible(bool visible)
{
    setVisible(visible);
}

void Form1::setWaitingBytesText(const QString &text)
{
    Label1->setText(text);
}

void Form1::setSequenceText(const QString &text)
{
    Label5->setText(text);
}

void Form1::setTotalMemoryText(const QString &text)
{
    Label3->setText(text);
    fitTogether(Label3, Label4);
}

void Form1::setFreeMemoryText(const QString &text)
{
    Label4->setText(text);
    fitTogether(Label3, Label4);
}

void Form1::connectionEstablished()
{
    for (QPushButton *button : {Command6, Command7, Command8, Command9, Command3})
        button->setEnabled(true);
    DragOutActive = false;
    FileList->setAcceptFileDrops(true);
}

void Form1::showMessage(Icon icon, const QString &title, const QString &text)
{
    MessageBoxes::show(this, boxIcon(icon), title, text);
}

bool Form1::askYesNo(Icon icon, const QString &title, const QString &text)
{
    return MessageBoxes::askYesNo(this, boxIcon(icon), title, text);
}

void Form1::endProgram(int exitStatus)
{
    m_link.Comm1.close();
    closeOtherWindows();
    hide();
    std::fflush(stdout);
    std::fflush(stderr);
    // The interrupted operation sits below this call on the stack: leave at once,
    // without unwinding into it.
    std::_Exit(exitStatus);
}
