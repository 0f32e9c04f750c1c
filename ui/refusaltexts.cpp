#include "refusaltexts.h"

#include <QCoreApplication>

QString refusalText(Refusal refusal)
{
    switch (refusal) {
    case Refusal::SourceMissing:
        return QCoreApplication::translate("Refusal", "Не могу найти такого файла!!!");
    case Refusal::SourceUnreadable:
        return QCoreApplication::translate("Refusal", "Не могу прочитать файл!!!");
    case Refusal::SourceChanged:
        return QCoreApplication::translate("Refusal", "Файл изменился во время копирования! Скопируйте его ещё раз.");
    case Refusal::StagingUnwritable:
        return QCoreApplication::translate(
            "Refusal", "Не могу записать временный файл temp.tmp! Проверьте, есть ли место на диске.");
    case Refusal::CopyUnwritable:
        return QCoreApplication::translate(
            "Refusal", "Не могу записать временный файл для копии! Проверьте, есть ли место на диске.");
    case Refusal::StagingTooLarge:
        return QCoreApplication::translate("Refusal",
                                           "Файл слишком большой! Телефон принимает файлы длиной меньше 16 МБ.");
    case Refusal::FolderNameTooLong:
        return QCoreApplication::translate("Refusal", "Слишком длинное имя папки! Допустимо не более 122 символов.");
    case Refusal::FileNameTooLong:
        return QCoreApplication::translate("Refusal", "Слишком длинное имя файла! Допустимо не более 123 символов.");
    case Refusal::UploadNameTooLong:
        return QCoreApplication::translate("Refusal", "Слишком длинное имя файла! Допустимо не более 239 символов.");
    case Refusal::NameNotEncodable:
        return QCoreApplication::translate(
            "Refusal", "В имени есть символы, которые телефон не понимает! Переименуйте файл или папку.");
    case Refusal::UnsafeLocalName:
        return QCoreApplication::translate("Refusal", "Такое имя файла нельзя использовать на компьютере!");
    }
    return {};
}

QString replaceLostText()
{
    return QCoreApplication::translate("Refusal", "Старый файл удалён, а новый не записан! Скопируйте файл ещё раз.");
}
