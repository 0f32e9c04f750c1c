#include "localfiletexts.h"

#include <QCoreApplication>

#include <cstring>

namespace LocalFiles {

QString reasonFor(const LocalFileError &error)
{
    using enum LocalFileError::Kind;
    switch (error.kind) {
    case NoSpace:
        return QCoreApplication::translate("LocalFiles", "на диске нет места");
    case QuotaExceeded:
        return QCoreApplication::translate("LocalFiles", "превышена дисковая квота");
    case NoPermission:
        return QCoreApplication::translate("LocalFiles", "нет прав на запись в эту папку");
    case ReadOnly:
        return QCoreApplication::translate("LocalFiles", "диск доступен только для чтения");
    case FolderMissing:
        return QCoreApplication::translate("LocalFiles", "папка не найдена");
    case FolderInTheWay:
        return QCoreApplication::translate("LocalFiles", "на этом месте уже есть папка с таким именем");
    case FileInTheWay:
        return QCoreApplication::translate("LocalFiles", "на этом месте уже есть файл с таким именем");
    case NameTooLong:
        return QCoreApplication::translate("LocalFiles", "слишком длинное имя");
    case TooLarge:
        return QCoreApplication::translate("LocalFiles", "файл слишком большой для этого диска");
    case InputOutput:
        return QCoreApplication::translate("LocalFiles", "ошибка ввода-вывода");
    case ReadBackDiffers:
        return QCoreApplication::translate("LocalFiles", "записанный файл не совпадает с полученным");
    case Other:
        break;
    }
    return QString::fromLocal8Bit(std::strerror(error.errorNumber));
}

} // namespace LocalFiles
