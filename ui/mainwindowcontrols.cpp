#include "mainwindowcontrols.h"

#include "twips.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeView>

MainWindowControls::MainWindowControls(QWidget *window)
    : ImageList1(32, Pictures::entryKindPaths()), ImageList2(16, Pictures::entryKindPaths())
{
    window->setObjectName(QStringLiteral("Form1"));
    window->setWindowTitle(QStringLiteral("Tarvel"));
    window->setWindowIcon(Pictures::programIcon());

    const Twips twips(window);
    window->setFixedSize(twips.size(10605, 7785));

    Capt = placedControl<QLabel>(window, "Capt", twips.rect(0, 70, 10575, 255));
    QFont captFont(QStringLiteral("MS Sans Serif"));
    captFont.setStyleHint(QFont::SansSerif);
    captFont.setBold(true);
    Capt->setFont(captFont);
    Capt->setAutoFillBackground(true);
    QPalette captColours = Capt->palette();
    captColours.setColor(QPalette::Window, QColor(0x00, 0x00, 0x80));
    captColours.setColor(QPalette::WindowText, Qt::white);
    Capt->setPalette(captColours);

    FileList =
        placedControl<PhoneFileList>(window, "FileList", twips.rect(0, 360, 10575, 6825), ImageList1, ImageList2);
    QTreeView *report = FileList->reportView();
    report->setColumnWidth(PhoneFileList::NameColumn, twips.x(5400));
    report->setColumnWidth(PhoneFileList::SizeColumn, twips.x(1800));
    report->setColumnWidth(PhoneFileList::DateColumn, twips.x(1500));

    Label3 = placedControl<QLabel>(window, "Label3", twips.rect(120, 7245, 1935, 255), tr("Всего памяти:"));
    Label4 = placedControl<QLabel>(window, "Label4", twips.rect(120, 7515, 1935, 255), tr("Из них свободно:"));
    fitMemoryLabels();

    struct ButtonSpec
    {
        QPushButton **button;
        const char *name;
        int left;
        const char *tooltip;
        Pictures::Button picture;
    };
    const ButtonSpec buttons[] = {
        {&Command11, "Command11", 2160, QT_TRANSLATE_NOOP("MainWindowControls", "О программе"),
         Pictures::Button::About},
        {&Command10, "Command10", 3360, QT_TRANSLATE_NOOP("MainWindowControls", "Настройки"),
         Pictures::Button::Options},
        {&Command6, "Command6", 4560, QT_TRANSLATE_NOOP("MainWindowControls", "Копировать"), Pictures::Button::Copy},
        {&Command3, "Command3", 5760, QT_TRANSLATE_NOOP("MainWindowControls", "Переместить"), Pictures::Button::Move},
        {&Command8, "Command8", 6960, QT_TRANSLATE_NOOP("MainWindowControls", "Новая папка"),
         Pictures::Button::NewFolder},
        {&Command7, "Command7", 8160, QT_TRANSLATE_NOOP("MainWindowControls", "Удалить"), Pictures::Button::Delete},
        {&Command9, "Command9", 9360, QT_TRANSLATE_NOOP("MainWindowControls", "Выход"), Pictures::Button::Exit},
    };
    for (const ButtonSpec &spec : buttons) {
        auto *button = placedControl<QPushButton>(window, spec.name, twips.rect(spec.left, 7320, 1215, 375));
        button->setToolTip(tr(spec.tooltip));
        button->setIcon(Pictures::button(spec.picture));
        const int iconSide = qMin(button->height() - 6, 24);
        button->setIconSize(QSize(iconSide, iconSide));
        button->setAutoDefault(false);
        *spec.button = button;
    }

    Command1 = namedControl<QPushButton>(window, "Command1", linkStateCaption(LinkState::Enable));
    Command1->hide();
    Label1 = namedControl<QLabel>(window, "Label1");
    Label1->hide();
    Label5 = namedControl<QLabel>(window, "Label5");
    Label5->hide();
    Text2 = namedControl<QPlainTextEdit>(window, "Text2");
    Text2->setReadOnly(true);
    Text2->hide();

    PopUp = namedControl<QMenu>(window, "PopUp");
    const auto addItem = [this](const char *name, const QString &text) {
        QAction *item = PopUp->addAction(text);
        item->setObjectName(QString::fromLatin1(name));
        return item;
    };
    Cop = addItem("Cop", tr("Копировать"));
    Mo = addItem("Mo", tr("Переместить"));
    Ne = addItem("Ne", tr("Новая папка"));
    De = addItem("De", tr("Удалить"));
}

QString MainWindowControls::linkStateCaption(LinkState state)
{
    return state == LinkState::Enable ? QStringLiteral("enable") : QStringLiteral("Disable");
}

void MainWindowControls::fitMemoryLabels()
{
    QFont font = Label3->font();
    font.setPointSizeF(8);
    const auto tooWide = [&font](const QLabel *label) {
        return QFontMetrics(font).horizontalAdvance(label->text()) > label->width();
    };
    while (font.pointSizeF() > 5 && (tooWide(Label3) || tooWide(Label4)))
        font.setPointSizeF(font.pointSizeF() - 0.5);
    Label3->setFont(font);
    Label4->setFont(font);
}
