#include "form2.h"

#include "pictures.h"
#include "twips.h"

#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

Form2::Form2(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(tr("О программе..."));
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);

    const Twips twips(this);
    setFixedSize(twips.size(6270, 3720));

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(Pictures::render(Pictures::programIconPath(), 32));
    Image1->setGeometry(twips.x(360), twips.y(360), 32, 32);

    Frame1 = new QGroupBox(this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    placeTwips(Frame1, twips, 1680, 240, 3975, 735);

    Label2 = new QLabel(QStringLiteral("Tarvel"), Frame1);
    Label2->setObjectName(QStringLiteral("Label2"));
    QFont nameFont = Label2->font();
    nameFont.setBold(true);
    nameFont.setPointSize(18);
    Label2->setFont(nameFont);
    Label2->setStyleSheet(QStringLiteral("color: #c00000;"));
    Label2->setAlignment(Qt::AlignCenter);
    Label2->setGeometry(Frame1->contentsRect());

    Line1 = new QFrame(this);
    Line1->setObjectName(QStringLiteral("Line1"));
    Line1->setFrameShape(QFrame::HLine);
    Line1->setFrameShadow(QFrame::Sunken);
    placeTwips(Line1, twips, 1680, 1080, 3975, 30);

    Label4 = new QLabel(tr("Версия: 1.00"), this);
    Label4->setObjectName(QStringLiteral("Label4"));
    Label4->setStyleSheet(QStringLiteral("color: #000080;"));
    placeTwips(Label4, twips, 3720, 1200, 1935, 495);

    Label3 = new QLabel(tr("Работа с файловой памятью телефонов Siemens поколения M50/M55."), this);
    Label3->setObjectName(QStringLiteral("Label3"));
    Label3->setWordWrap(true);
    placeTwips(Label3, twips, 120, 2160, 5775, 495);

    Label1 = new QLabel(QString(), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setWordWrap(true);
    placeTwips(Label1, twips, 120, 2640, 5775, 1335);

    Command1 = new QPushButton(tr("Закрыть"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    placeTwips(Command1, twips, 5040, 3240, 1095, 375);
    connect(Command1, &QPushButton::clicked, this, &QDialog::close);

    Command1->raise();
    centreOnScreen(this);
}
