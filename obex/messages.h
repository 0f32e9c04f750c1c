#pragma once

#include <QString>

#include <optional>

// Refusals of the file operations, in the program's Russian for the windows and
// in English for the command-line tool.
enum class ObexNotice {
    SourceMissing,
    SourceUnreadable,
    StagingUnwritable,
    StagingTooLarge,
    FolderNameTooLong, // enter or make folder: 122 characters
    FileNameTooLong, // get or delete: 123 characters
    UploadNameTooLong, // upload: 239 characters
    NameNotEncodable,
    UnsafeLocalName,
    DownloadFailed,
};

QString russianText(ObexNotice notice);
QString englishText(ObexNotice notice);

// The English text for a Russian one shown by the file operations, if it is one of theirs.
std::optional<QString> englishForRussian(const QString &russian);
