#include "form2.h"

#include "pictures.h"
#include "twips.h"

#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

Form2::Form2(QWidget *parent) : QDialog(parent)
{
    const Twips twips = setUpDialog(this, "Form2", tr("О программе..."), 6270, 3720);

    Image1 = placedControl<QLabel>(this, "Image1", QRect(twips.x(360), twips.y(360), 32, 32));
    Image1->setPixmap(Pictures::render(Pictures::programIconPath(), 32));

    Frame1 = placedControl<QGroupBox>(this, "Frame1", twips.rect(1680, 240, 3975, 735));

    Label2 = namedControl<QLabel>(Frame1, "Label2", QStringLiteral("Tarvel"));
    QFont nameFont = Label2->font();
    nameFont.setBold(true);
    nameFont.setPointSize(18);
    Label2->setFont(nameFont);
    Label2->setStyleSheet(QStringLiteral("color: #c00000;"));
    Label2->setAlignment(Qt::AlignCenter);
    Label2->setGeometry(Frame1->contentsRect());

    Line1 = placedControl<QFrame>(this, "Line1", twips.rect(1680, 1080, 3975, 30));
    Line1->setFrameShape(QFrame::HLine);
    Line1->setFrameShadow(QFrame::Sunken);

    Label4 = placedControl<QLabel>(this, "Label4", twips.rect(3720, 1200, 1935, 495), tr("Версия: 1.00"));
    Label4->setStyleSheet(QStringLiteral("color: #000080;"));

    Label3 = placedControl<QLabel>(this, "Label3", twips.rect(120, 2160, 5775, 495),
                                   tr("Работа с файловой памятью телефонов Siemens поколения M50/M55."));
    Label3->setWordWrap(true);

    Label1 = placedControl<QLabel>(this, "Label1", twips.rect(120, 2640, 5775, 1335), QString());
    Label1->setWordWrap(true);

    Command1 = placedControl<QPushButton>(this, "Command1", twips.rect(5040, 3240, 1095, 375), tr("Закрыть"));
    connect(Command1, &QPushButton::clicked, this, &QDialog::close);

    Command1->raise();
    centreOnScreen(this);
}
