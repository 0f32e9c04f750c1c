#include "messages.h"

#include <array>

namespace {

struct NoticeTexts
{
    ObexNotice notice;
    const char *russian;
    const char *english;
};

constexpr std::array Texts = {
    NoticeTexts{ObexNotice::SourceMissing, "Не могу найти такого файла!!!", "Cannot find that file."},
    NoticeTexts{ObexNotice::SourceUnreadable, "Не могу прочитать файл!!!", "Cannot read the file."},
    NoticeTexts{ObexNotice::StagingUnwritable,
                "Не могу записать временный файл temp.tmp! Проверьте, есть ли место на диске.",
                "Cannot write the staging file temp.tmp; check the free disk space."},
    NoticeTexts{ObexNotice::StagingTooLarge, "Файл слишком большой! Телефон принимает файлы длиной меньше 16 МБ.",
                "The file is too large: the phone takes files below 16 MiB."},
    NoticeTexts{ObexNotice::FolderNameTooLong, "Слишком длинное имя папки! Допустимо не более 122 символов.",
                "The folder name is too long: at most 122 characters."},
    NoticeTexts{ObexNotice::FileNameTooLong, "Слишком длинное имя файла! Допустимо не более 123 символов.",
                "The file name is too long: at most 123 characters."},
    NoticeTexts{ObexNotice::UploadNameTooLong, "Слишком длинное имя файла! Допустимо не более 239 символов.",
                "The file name is too long for the phone: at most 239 characters."},
    NoticeTexts{ObexNotice::NameNotEncodable,
                "В имени есть символы, которые телефон не понимает! Переименуйте файл или папку.",
                "The name holds characters the phone cannot store (no Windows-1251 code)."},
    NoticeTexts{ObexNotice::UnsafeLocalName, "Такое имя файла нельзя использовать на компьютере!",
                "The phone file's name cannot be used as a PC file name."},
    NoticeTexts{ObexNotice::DownloadFailed, "Телефон не отдал файл! Файл не скопирован.",
                "The phone did not deliver the file; nothing was written."},
};

const NoticeTexts &textsOf(ObexNotice notice)
{
    for (const auto &texts : Texts) {
        if (texts.notice == notice)
            return texts;
    }
    Q_UNREACHABLE();
}

} // namespace

QString russianText(ObexNotice notice)
{
    return QString::fromUtf8(textsOf(notice).russian);
}

QString englishText(ObexNotice notice)
{
    return QString::fromUtf8(textsOf(notice).english);
}

std::optional<QString> englishForRussian(const QString &russian)
{
    for (const auto &texts : Texts) {
        if (russian == QString::fromUtf8(texts.russian))
            return QString::fromUtf8(texts.english);
    }
    return std::nullopt;
}
