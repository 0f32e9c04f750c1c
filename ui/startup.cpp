#include "startup.h"

#include "checksum.h"
#include "messagebox.h"

#include <QCoreApplication>

std::unique_ptr<Form1> createMainWindow(const ChecksumFactory &createChecksum)
{
    QString error;
    std::unique_ptr<Checksum> crc = createChecksum(&error);
    if (!crc) {
        MessageBoxes::show(nullptr, QMessageBox::Critical, QString(),
                           QCoreApplication::translate("Startup",
                                                       "Не удалось загрузить компонент контрольных сумм sumlet, "
                                                       "без него связь с телефоном невозможна. Программа будет "
                                                       "закрыта.\n\n%1")
                               .arg(error));
        return nullptr;
    }
    return std::make_unique<Form1>(std::move(crc));
}
