#include "aboutdialog.h"

#include "dialogunits.h"
#include "module.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

namespace sumlet {

AboutDialog::AboutDialog(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("IDD_ABOUTBOX_SUMLET"));
    setWindowTitle(QStringLiteral("About Sumlet Control"));
    setModal(true);
    setFont(dialogFont());
    const DialogUnits units(font());
    setFixedSize(units.size(260, 78));

    QIcon icon;
    icon.addFile(iconResource(32));
    icon.addFile(iconResource(16));
    setWindowIcon(icon);

    auto *picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("IDI_ABOUTDLL"));
    picture->setPixmap(QPixmap(iconResource(32)));
    picture->setGeometry(QRect(units.rect(10, 10, 21, 20).topLeft(), QSize(32, 32)));

    auto *title = new QLabel(QStringLiteral("Sumlet Control, Version 1.0"), this);
    title->setObjectName(QStringLiteral("IDC_TITLE"));
    title->setGeometry(units.rect(40, 10, 170, 8));

    auto *line = new QLabel(QStringLiteral("CRC-16/X-25 checksums and 16-bit XOR, NOT, AND"), this);
    line->setObjectName(QStringLiteral("IDC_DESCRIPTION"));
    line->setGeometry(units.rect(40, 25, 170, 8));

    auto *ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("IDOK"));
    ok->setGeometry(units.rect(221, 7, 32, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto *note =
        new QLabel(QStringLiteral("Считает CRC для Siemens Mobile. Содержит функции вычисления XOR, AND..."), this);
    note->setObjectName(QStringLiteral("IDC_NOTE"));
    note->setWordWrap(true);
    note->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    note->setGeometry(units.rect(22, 44, 218, 25));

    ok->setFocus();
}

} // namespace sumlet
