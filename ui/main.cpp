#include "form1.h"
#include "messagebox.h"
#include "pictures.h"
#include "sumletcontrol.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarvel"));
    QApplication::setOrganizationName(QStringLiteral("Tarvel"));
    QApplication::setApplicationDisplayName(QStringLiteral("Tarvel"));
    QApplication::setDesktopFileName(QStringLiteral("tarvel"));
    QApplication::setWindowIcon(Pictures::programIcon());

    // The checksum component closes every BFB block: without it there is no link.
    QString error;
    std::unique_ptr<SumletControl> crc = SumletControl::create(&error);
    if (!crc) {
        MessageBoxes::show(nullptr, QMessageBox::Critical, QString(),
                           QStringLiteral("Не удалось загрузить компонент контрольных сумм sumlet:\n%1")
                               .arg(error));
        return 1;
    }

    Form1 form(std::move(crc));
    form.show();
    return app.exec();
}
