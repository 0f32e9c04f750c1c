#include "refusaltexts.h"

QString russianText(Refusal refusal)
{
    switch (refusal) {
    case Refusal::SourceMissing:
        return QStringLiteral("Не могу найти такого файла!!!");
    case Refusal::SourceUnreadable:
        return QStringLiteral("Не могу прочитать файл!!!");
    case Refusal::StagingUnwritable:
        return QStringLiteral("Не могу записать временный файл temp.tmp! Проверьте, есть ли место на диске.");
    case Refusal::StagingTooLarge:
        return QStringLiteral("Файл слишком большой! Телефон принимает файлы длиной меньше 16 МБ.");
    case Refusal::FolderNameTooLong:
        return QStringLiteral("Слишком длинное имя папки! Допустимо не более 122 символов.");
    case Refusal::FileNameTooLong:
        return QStringLiteral("Слишком длинное имя файла! Допустимо не более 123 символов.");
    case Refusal::UploadNameTooLong:
        return QStringLiteral("Слишком длинное имя файла! Допустимо не более 239 символов.");
    case Refusal::NameNotEncodable:
        return QStringLiteral("В имени есть символы, которые телефон не понимает! Переименуйте файл или папку.");
    case Refusal::UnsafeLocalName:
        return QStringLiteral("Такое имя файла нельзя использовать на компьютере!");
    }
    return {};
}
