#include "trees.h"

#include "backuprecord.h"
#include "linktexts.h"
#include "localfilewriter.h"
#include "localnames.h"
#include "pcfiletexts.h"
#include "progress.h"
#include "terminalevents.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QTextStream>

namespace {

void fail(ProgressMeter &meter, TreeSummary &summary, const QString &problem)
{
    meter.clear();
    printError(problem);
    ++summary.failures;
}

// A lost link ends the copy: true then, with the summary saying so.
bool linkLost(const PhoneResult &result, TreeSummary &summary)
{
    if (result == PhoneResult::Code::LinkLost)
        summary.linkLost = result.loss();
    return summary.linkLost.has_value();
}

struct PhoneFile
{
    PhonePath folder;
    QByteArray name;
    QString relative; // below the tree's PC folder, "/" between names
    QString localFolder;
    QString local;
    qint64 size; // -1: unknown
    QDateTime modified;
};

struct LocalFolder
{
    QString path;
    QDateTime modified; // the phone folder's
};

QString joined(const QString &relative, const QString &name)
{
    return relative.isEmpty() ? name : relative + u'/' + name;
}

// The plan of a download: every folder and file below one phone folder.
class DownloadPlan
{
public:
    DownloadPlan(PhoneSession &phone, ProgressMeter &meter, TreeSummary &summary, bool backup)
        : m_phone(phone), m_meter(meter), m_summary(summary), m_backup(backup)
    {}

    void walk(const PhonePath &folder, const QString &local, const QString &relative, const QDateTime &modified)
    {
        folders.append(LocalFolder{local, modified});
        FolderListing listing;
        if (const PhoneResult listed = m_phone.list(folder, &listing); !listed.ok()) {
            if (!linkLost(listed, m_summary))
                fail(m_meter, m_summary,
                     QStringLiteral("cannot list %1: %2")
                         .arg(displayPath(folder), resultReason(listed, QStringLiteral("the phone refused it"))));
            return;
        }
        const QList<ListingRow> &rows = listing.rows;
        phoneNames.insert(relative, {});
        for (const ListingRow &row : rows) {
            if (row.kind == EntryKind::Parent)
                continue;
            const PhonePath path = folder + PhonePath{row.name};
            const std::optional<QString> localName = safeLocalName(PhoneSession::text(row.name));
            if (!localName) {
                fail(m_meter, m_summary,
                     QStringLiteral("cannot get %1: %2").arg(displayPath(path), refusalText(Refusal::UnsafeLocalName)));
                continue;
            }
            phoneNames[relative].insert(*localName); // no reference kept: walk() grows the hash
            const QString localPath = localFilePath(local, *localName);
            const QString entryRelative = joined(relative, *localName);
            if (!fetchable(row, path, entryRelative))
                continue;
            if (QFileInfo(localPath).isSymLink()) {
                fail(m_meter, m_summary,
                     QStringLiteral("%1 is a symbolic link: not followed, written through or deleted; %2 is skipped")
                         .arg(localPath, displayPath(path)));
                continue;
            }
            if (isFolderKind(row.kind)) {
                walk(path, localPath, entryRelative, row.modified);
                if (m_summary.linkLost)
                    return;
            } else {
                files.append(PhoneFile{folder, row.name, entryRelative, local, localPath,
                                       row.byteCount ? qint64(*row.byteCount) : -1, row.modified});
                bytes += std::max<qint64>(files.last().size, 0);
            }
        }
    }

    // Whether the phone has the file or folder at relative: nothing when a folder on
    // the way was not listed (refused, or skipped as a link).
    std::optional<bool> phoneHas(const QString &relative) const
    {
        QString folder;
        for (const QString &name : relative.split(u'/')) {
            const auto listed = phoneNames.constFind(folder);
            if (listed == phoneNames.constEnd())
                return std::nullopt;
            if (!listed->contains(name))
                return false;
            folder = joined(folder, name);
        }
        return true;
    }

    QList<LocalFolder> folders; // parents before their children
    QHash<QString, QSet<QString>> phoneNames; // of every folder listed: what it holds, as PC names
    QList<PhoneFile> files;
    qint64 bytes = 0;

private:
    // A name the tool could not ask for is reported here, not blamed on the phone.
    bool fetchable(const ListingRow &row, const PhonePath &path, const QString &relative)
    {
        const PhoneResult fits = m_phone.checkName(
            row.name, isFolderKind(row.kind) ? PhoneSession::NameUse::Folder : PhoneSession::NameUse::File);
        if (!fits.ok()) {
            fail(m_meter, m_summary, QStringLiteral("%1: %2").arg(displayPath(path), resultReason(fits, {})));
            return false;
        }
        if (m_backup && relative == QLatin1StringView(BackupRecord::FileName)) {
            fail(
                m_meter, m_summary,
                QStringLiteral("%1 is not copied: the backup keeps its record under that name").arg(displayPath(path)));
            return false;
        }
        return true;
    }

    PhoneSession &m_phone;
    ProgressMeter &m_meter;
    TreeSummary &m_summary;
    bool m_backup;
};

bool unchangedOnPc(const PhoneFile &file)
{
    const QFileInfo local(file.local);
    return file.size >= 0 && file.modified.isValid() && local.isFile() && local.size() == file.size
        && local.lastModified().toSecsSinceEpoch() == file.modified.toSecsSinceEpoch();
}

void printPlanned(const QString &what, const QString &path)
{
    QTextStream(stdout) << what << ' ' << terminalText(path) << '\n';
}

// Whether every folder of relative below root is a real folder (no link).
bool foldersAreReal(const QString &root, const QString &relative)
{
    QString folder = root;
    const QStringList names = relative.split(u'/');
    for (const QString &name : names.mid(0, names.size() - 1)) {
        folder = localFilePath(folder, name);
        const QFileInfo info(folder);
        if (!info.isDir() || info.isSymLink())
            return false;
    }
    return true;
}

// The files the record lists that the phone no longer has and that nobody changed
// since the backup wrote them; then their folders that became empty, when the phone
// no longer has them either.
void removeRecorded(const DownloadPlan &plan, const QString &root, BackupRecord &record, bool dryRun,
                    ProgressMeter &meter, TreeSummary &summary)
{
    const QMap<QString, BackupRecord::Entry> entries = record.entries();
    for (auto entry = entries.cbegin(); entry != entries.cend(); ++entry) {
        const QString &relative = entry.key();
        if (plan.phoneHas(relative).value_or(true))
            continue;
        const QString path = localFilePath(root, relative);
        if (!foldersAreReal(root, relative))
            continue;
        const std::optional<BackupRecord::Entry> now = BackupRecord::regularFile(path);
        if (!QFileInfo(path).isSymLink() && !QFileInfo::exists(path)) {
            if (!dryRun)
                record.remove(relative);
            continue;
        }
        if (now != *entry) {
            meter.clear();
            printError(QStringLiteral("note: %1 is kept: changed since the backup wrote it").arg(path));
            if (!dryRun)
                record.remove(relative);
            continue;
        }
        if (dryRun) {
            printPlanned(QStringLiteral("delete"), path);
            ++summary.deleted;
            continue;
        }
        if (!QFile::remove(path)) {
            fail(meter, summary, QStringLiteral("cannot delete %1").arg(path));
            continue;
        }
        ++summary.deleted;
        record.remove(relative);
        for (QString folder = relative.section(u'/', 0, -2); !folder.isEmpty(); folder = folder.section(u'/', 0, -2)) {
            if (plan.phoneHas(folder).value_or(true) || !QDir().rmdir(localFilePath(root, folder)))
                break;
        }
    }
}

} // namespace

TreeSummary downloadTree(PhoneSession &phone, ProgressMeter &meter, const PhonePath &folder, const QString &localFolder,
                         DownloadOptions options)
{
    QElapsedTimer clock;
    clock.start();
    TreeSummary summary;
    summary.dryRun = options.dryRun;
    QDateTime modified;
    if (!folder.isEmpty()) {
        if (const std::optional<ListingRow> row = phone.row(folder.mid(0, folder.size() - 1), folder.last()))
            modified = row->modified;
    }
    DownloadPlan plan(phone, meter, summary, options.backup);
    plan.walk(folder, localFolder, {}, modified);
    if (summary.linkLost)
        return summary;
    std::optional<BackupRecord> record;
    if (options.backup)
        record.emplace(localFolder);
    // As found: a record this run starts does not judge files from before it.
    const auto recordFound = record ? record->state() : BackupRecord::State::Missing;
    QString error;
    const auto saveRecord = [&] {
        if (record && !options.dryRun && !record->save(&error)) {
            fail(meter, summary, error);
            record.reset(); // said once
        }
    };

    // The PC folders that could not be made, and so hold nothing of the phone's.
    QSet<QString> unmade;
    if (!options.dryRun) {
        const auto belowUnmade = [&unmade](const QString &path) {
            return std::any_of(unmade.cbegin(), unmade.cend(), [&path](const QString &above) {
                return path.size() > above.size() && path.startsWith(above)
                    && (above.endsWith(u'/') || path.at(above.size()) == u'/');
            });
        };
        for (const LocalFolder &local : std::as_const(plan.folders)) {
            if (belowUnmade(local.path)) {
                unmade.insert(local.path);
            } else if (const std::optional<LocalFileError> problem = makeLocalFolder(local.path)) {
                fail(meter, summary,
                     QStringLiteral("cannot make the folder %1: %2").arg(local.path, writeReason(*problem)));
                unmade.insert(local.path);
            }
        }
    }

    meter.beginTree(int(plan.files.size()), plan.bytes);
    for (const PhoneFile &file : std::as_const(plan.files)) {
        if (options.backup && unchangedOnPc(file)) {
            ++summary.unchanged;
            // What an earlier backup wrote stays listed, as it is now.
            if (record && record->lists(file.relative)) {
                if (const auto now = BackupRecord::regularFile(file.local); now && !options.dryRun)
                    record->set(file.relative, *now);
            }
            continue;
        }
        if (unmade.contains(file.localFolder)) {
            ++summary.failures; // said for its folder
            continue;
        }
        const QString shown = displayPath(file.folder + PhonePath{file.name});
        if (options.dryRun) {
            printPlanned(QStringLiteral("copy"), shown);
            ++summary.files;
            summary.bytes += std::max<qint64>(file.size, 0);
            continue;
        }
        LocalFileError openError;
        const std::unique_ptr<LocalFileWriter> writer = LocalFileWriter::open(file.local, &openError);
        if (!writer) {
            fail(meter, summary, writeProblem(file.local, openError));
            continue;
        }
        meter.beginFile(shown, file.size);
        const PhoneResult result =
            phone.get(file.folder, file.name, [&writer](QByteArrayView piece) { return writer->write(piece); });
        meter.endFile();
        if (linkLost(result, summary))
            break;
        if (const std::optional<LocalFileError> writeError = writer->error())
            fail(meter, summary, writeProblem(file.local, *writeError));
        else if (result == PhoneResult::Code::VerifyFailed)
            fail(meter, summary, unverifiedDownload(shown));
        else if (!result.ok())
            fail(meter, summary,
                 QStringLiteral("cannot get %1: %2")
                     .arg(shown, resultReason(result, QStringLiteral("the phone did not deliver it"))));
        else if (!writer->commit(file.modified))
            fail(meter, summary, writeProblem(file.local, *writer->error()));
        else {
            ++summary.files;
            summary.bytes += writer->written();
            if (record) {
                if (const auto written = BackupRecord::regularFile(file.local))
                    record->set(file.relative, *written);
                saveRecord();
            }
        }
    }
    meter.endTree();

    if (record && options.deleteExtra) {
        if (recordFound == BackupRecord::State::Kept) {
            removeRecorded(plan, localFolder, *record, options.dryRun, meter, summary);
        } else {
            meter.clear();
            printError(QStringLiteral("note: --delete deletes nothing: %1 %2")
                           .arg(record->path(),
                                recordFound == BackupRecord::State::Missing
                                    ? QStringLiteral("is missing (no backup has recorded files here yet)")
                                    : QStringLiteral("is not a backup record; it is left as it is")));
        }
    }
    saveRecord();
    // Last, and children first: writing into a folder sets its time.
    if (!options.dryRun) {
        for (auto local = plan.folders.crbegin(); local != plan.folders.crend(); ++local) {
            if (local->modified.isValid())
                setModificationTime(local->path, local->modified);
        }
    }
    summary.milliseconds = clock.elapsed();
    return summary;
}

namespace {

// The plan of an upload: every folder (parents first) and file below one PC folder.
struct UploadPlan
{
    struct Folder
    {
        QString local;
        PhonePath phone;
    };
    struct File
    {
        QString local;
        PhonePath phoneFolder;
        qint64 size;
    };
    QList<Folder> folders;
    QList<File> files;
    qint64 bytes = 0;
};

void walkLocal(const PhoneSession &session, const QString &local, const PhonePath &phone, UploadPlan &plan,
               ProgressMeter &meter, TreeSummary &summary)
{
    plan.folders.append({local, phone});
    for (const QByteArray &name : namesNotUtf8(local))
        fail(meter, summary, notUtf8Problem(QFile::encodeName(local) + '/' + name) + QStringLiteral("; not copied"));
    const QFileInfoList entries = QDir(local).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name | QDir::DirsFirst);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir() && entry.isSymLink()) {
            meter.clear();
            printError(QStringLiteral("note: %1 is a link to a folder; not followed").arg(entry.filePath()));
            continue;
        }
        if (!entry.isDir()) {
            plan.files.append({entry.filePath(), phone, entry.size()});
            plan.bytes += entry.size();
            continue;
        }
        QByteArray name;
        if (const PhoneResult fits = session.checkName(entry.fileName(), PhoneSession::NameUse::Folder, &name);
            !fits.ok()) {
            fail(meter, summary, QStringLiteral("%1: %2").arg(entry.filePath(), resultReason(fits, {})));
            continue;
        }
        walkLocal(session, entry.filePath(), phone + PhonePath{name}, plan, meter, summary);
    }
}

} // namespace

TreeSummary uploadTree(PhoneSession &phone, ProgressMeter &meter, TerminalEvents &events, const QString &localFolder,
                       const PhonePath &phoneFolder)
{
    QElapsedTimer clock;
    clock.start();
    TreeSummary summary;
    UploadPlan plan;
    walkLocal(phone, localFolder, phoneFolder, plan, meter, summary);

    // The first folder is where the copy goes; it exists already.
    QSet<PhonePath> missing;
    for (const UploadPlan::Folder &folder : std::as_const(plan.folders).mid(1)) {
        const PhonePath parent = folder.phone.mid(0, folder.phone.size() - 1);
        if (missing.contains(parent)) {
            missing.insert(folder.phone);
            continue;
        }
        const PhoneResult result = phone.makeFolder(parent, folder.phone.last());
        if (linkLost(result, summary))
            return summary;
        if (!result.ok()) {
            missing.insert(folder.phone);
            fail(meter, summary,
                 QStringLiteral("cannot make the folder %1: %2")
                     .arg(displayPath(folder.phone), resultReason(result, QStringLiteral("the phone refused it"))));
        }
    }

    meter.beginTree(int(plan.files.size()), plan.bytes);
    for (const UploadPlan::File &file : std::as_const(plan.files)) {
        if (missing.contains(file.phoneFolder)) {
            ++summary.failures;
            continue;
        }
        if (const std::optional<QString> problem = uploadSourceProblem(file.local)) {
            fail(meter, summary, *problem);
            continue;
        }
        bool large = false;
        if (const PhoneResult checked = phone.checkUpload(file.local, &large); !checked.ok()) {
            fail(meter, summary, QStringLiteral("cannot put %1: %2").arg(file.local, resultReason(checked, {})));
            continue;
        }
        events.setSubject(file.local);
        meter.beginFile(file.local, file.size);
        const PhoneResult result = phone.replace(file.local, file.phoneFolder);
        meter.endFile();
        events.setSubject({});
        if (linkLost(result, summary))
            break;
        if (result == PhoneResult::Code::OldNotDeleted) {
            fail(meter, summary, oldFileLeft(result, file.local, file.phoneFolder));
            continue;
        }
        if (result.ok()) {
            ++summary.files;
            summary.bytes += file.size;
        } else if (result == PhoneResult::Code::Declined) {
            ++summary.failures; // the question said why
        } else {
            fail(meter, summary,
                 QStringLiteral("cannot put %1 into %2: %3")
                     .arg(file.local, displayPath(file.phoneFolder),
                          resultReason(result, QStringLiteral("the phone refused it"), file.phoneFolder)));
        }
    }
    meter.endTree();
    summary.milliseconds = clock.elapsed();
    return summary;
}

QString oldFileLeft(const PhoneResult &result, const QString &what, const PhonePath &folder)
{
    return QStringLiteral("%1 is copied, but the phone refused to delete the old file: it is left as %2")
        .arg(what, displayPath(folder + PhonePath{result.name()}));
}

QString unverifiedDownload(const QString &shown)
{
    return QStringLiteral("cannot get %1: it did not read the same twice from the phone (a noisy line?); nothing is "
                          "written")
        .arg(shown);
}

void printSummary(const QString &command, const TreeSummary &summary, bool backup)
{
    QTextStream out(stdout);
    out << command << ": " << summary.files << (summary.files == 1 ? " file" : " files")
        << (!backup              ? ""
                : summary.dryRun ? " to copy"
                                 : " copied")
        << ", " << summary.bytes << " bytes";
    if (backup)
        out << ", " << summary.unchanged << " unchanged, " << summary.deleted
            << (summary.dryRun ? " to delete" : " deleted");
    out << ", " << QString::number(double(summary.milliseconds) / 1000.0, 'f', 1) << " s, " << summary.failures
        << (summary.failures == 1 ? " failure" : " failures") << '\n';
}
