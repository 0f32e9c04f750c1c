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

    Capt = new QLabel(window);
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

    FileList = new PhoneFileList(ImageList1, ImageList2, window);
    FileList->setObjectName(QStringLiteral("FileList"));
    placeTwips(FileList, twips, 0, 360, 10575, 6825);
    QTreeView *report = FileList->reportView();
    report->setColumnWidth(PhoneFileList::NameColumn, twips.x(5400));
    report->setColumnWidth(PhoneFileList::SizeColumn, twips.x(1800));
    report->setColumnWidth(PhoneFileList::DateColumn, twips.x(1500));

    Label3 = new QLabel(QStringLiteral("Всего памяти:"), window);
    Label3->setObjectName(QStringLiteral("Label3"));
    placeTwips(Label3, twips, 120, 7245, 1935, 255);
    Label4 = new QLabel(QStringLiteral("Из них свободно:"), window);
    Label4->setObjectName(QStringLiteral("Label4"));
    placeTwips(Label4, twips, 120, 7515, 1935, 255);
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
        {&Command11, "Command11", 2160, "О программе", Pictures::Button::About},
        {&Command10, "Command10", 3360, "Настройки", Pictures::Button::Options},
        {&Command6, "Command6", 4560, "Копировать", Pictures::Button::Copy},
        {&Command3, "Command3", 5760, "Переместить", Pictures::Button::Move},
        {&Command8, "Command8", 6960, "Новая папка", Pictures::Button::NewFolder},
        {&Command7, "Command7", 8160, "Удалить", Pictures::Button::Delete},
        {&Command9, "Command9", 9360, "Выход", Pictures::Button::Exit},
    };
    for (const ButtonSpec &spec : buttons) {
        auto *button = new QPushButton(window);
        button->setObjectName(QString::fromLatin1(spec.name));
        button->setToolTip(QString::fromUtf8(spec.tooltip));
        button->setIcon(Pictures::button(spec.picture));
        placeTwips(button, twips, spec.left, 7320, 1215, 375);
        const int iconSide = qMin(button->height() - 6, 24);
        button->setIconSize(QSize(iconSide, iconSide));
        button->setAutoDefault(false);
        *spec.button = button;
    }

    Command1 = new QPushButton(linkStateCaption(LinkState::Enable), window);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->hide();
    Label1 = new QLabel(window);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->hide();
    Label5 = new QLabel(window);
    Label5->setObjectName(QStringLiteral("Label5"));
    Label5->hide();
    Text2 = new QPlainTextEdit(window);
    Text2->setObjectName(QStringLiteral("Text2"));
    Text2->setReadOnly(true);
    Text2->hide();

    PopUp = new QMenu(window);
    PopUp->setObjectName(QStringLiteral("PopUp"));
    Cop = PopUp->addAction(QStringLiteral("Копировать"));
    Cop->setObjectName(QStringLiteral("Cop"));
    Mo = PopUp->addAction(QStringLiteral("Переместить"));
    Mo->setObjectName(QStringLiteral("Mo"));
    Ne = PopUp->addAction(QStringLiteral("Новая папка"));
    Ne->setObjectName(QStringLiteral("Ne"));
    De = PopUp->addAction(QStringLiteral("Удалить"));
    De->setObjectName(QStringLiteral("De"));
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
