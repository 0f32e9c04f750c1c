#pragma once

#include "phonepath.h"
#include "phoneresult.h"

#include <QString>

#include <optional>

class ProgressMeter;
class TerminalEvents;

// What a tree copy did. A file that fails is reported when it fails and counted;
// the copy goes on with the next, unless the link was lost.
struct TreeSummary
{
    int files = 0; // copied (a dry run: to copy)
    qint64 bytes = 0;
    int unchanged = 0; // left as they were (backup)
    int deleted = 0; // removed from the PC (backup --delete; a dry run: to delete)
    int failures = 0;
    qint64 milliseconds = 0;
    bool dryRun = false;
    std::optional<LinkLoss> linkLost; // the copy stopped there; nothing was printed of it
};

struct DownloadOptions
{
    // A PC file as large as the phone's and with its modification time is kept, and
    // the folder's BackupRecord lists what was written.
    bool backup = false;
    // Files the record lists, unchanged on the PC, go when the phone no longer has them.
    bool deleteExtra = false;
    // Lists what would be copied and deleted on standard output; changes nothing.
    bool dryRun = false;
};

// The phone folder and everything in it into localFolder, which is made when missing.
// Every file and folder gets the phone's modification time. A link on the PC where a
// phone file or folder goes is neither followed nor written through: reported and
// skipped. Failures: what was listed is copied; a folder the phone would not list
// deletes nothing.
TreeSummary downloadTree(PhoneSession &phone, ProgressMeter &meter, const PhonePath &folder, const QString &localFolder,
                         DownloadOptions options);

// The PC folder and everything in it into phoneFolder, under the folder's own name;
// the phone folders are made as needed.
TreeSummary uploadTree(PhoneSession &phone, ProgressMeter &meter, TerminalEvents &events, const QString &localFolder,
                       const PhonePath &phoneFolder);

// A replacing upload of what (a PC path) into folder that is done, but the phone kept the
// old file under a hidden name (OldNotDeleted).
QString oldFileLeft(const PhoneResult &result, const QString &what, const PhonePath &folder);
// A download of shown that did not read the same twice (--verify).
QString unverifiedDownload(const QString &shown);

// One line on standard output: "get -r: 12 files, 61440 bytes, 9.3 s, 0 failures".
void printSummary(const QString &command, const TreeSummary &summary, bool backup);
