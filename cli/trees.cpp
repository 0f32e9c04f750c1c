#include "trees.h"

#include "cp1251.h"
#include "localfiles.h"
#include "phonefolders.h"
#include "progress.h"
#include "terminalevents.h"
#include "workingfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSet>
#include <QTextStream>

namespace {

void fail(ProgressMeter &meter, TreeSummary &summary, const QString &problem)
{
    meter.clear();
    printError(problem);
    ++summary.failures;
}

QString folderRefusal(PhoneFolders &phone)
{
    return QStringLiteral("the phone refused to open the folder \"%1\"").arg(Cp1251::decode(phone.refusedFolder()));
}

struct PhoneFile
{
    PhonePath folder;
    QByteArray name;
    QString local;
    qint64 size; // -1: unknown
    QDateTime modified;
};

struct LocalFolder
{
    QString path;
    QDateTime modified; // the phone folder's
    bool listed = false;
    QSet<QString> phoneNames; // what the phone folder holds, as PC names
};

// The plan of a download: every folder and file below one phone folder.
class DownloadPlan
{
public:
    DownloadPlan(PhoneFolders &phone, ProgressMeter &meter, TreeSummary &summary)
        : m_phone(phone), m_meter(meter), m_summary(summary)
    {}

    void walk(const PhonePath &folder, const QString &local, const QDateTime &modified)
    {
        const qsizetype index = folders.size();
        folders.append(LocalFolder{local, modified, false, {}});
        const FolderListing *listing = m_phone.listing(folder, true);
        if (!listing) {
            fail(m_meter, m_summary, folderRefusal(m_phone));
            return;
        }
        // Copied: further listings may move the stored ones.
        const QList<ListingRow> rows = listing->rows;
        folders[index].listed = true;
        for (const ListingRow &row : rows) {
            if (row.kind == EntryKind::Parent)
                continue;
            const PhonePath path = folder + PhonePath{row.name};
            const std::optional<QString> localName = safeLocalName(row.name);
            if (!localName) {
                fail(m_meter, m_summary,
                     QStringLiteral("%1: %2").arg(displayPath(path), englishText(Refusal::UnsafeLocalName)));
                continue;
            }
            folders[index].phoneNames.insert(*localName);
            const QString localPath = localFilePath(local, *localName);
            if (isFolderKind(row.kind)) {
                walk(path, localPath, row.modified);
            } else {
                files.append(
                    PhoneFile{folder, row.name, localPath, row.byteCount ? qint64(*row.byteCount) : -1, row.modified});
                bytes += std::max<qint64>(files.last().size, 0);
            }
        }
    }

    QList<LocalFolder> folders; // parents before their children
    QList<PhoneFile> files;
    qint64 bytes = 0;

private:
    PhoneFolders &m_phone;
    ProgressMeter &m_meter;
    TreeSummary &m_summary;
};

bool unchangedOnPc(const PhoneFile &file)
{
    const QFileInfo local(file.local);
    return file.size >= 0 && file.modified.isValid() && local.isFile() && local.size() == file.size
        && local.lastModified().toSecsSinceEpoch() == file.modified.toSecsSinceEpoch();
}

void removeExtra(const LocalFolder &folder, ProgressMeter &meter, TreeSummary &summary)
{
    const QFileInfoList entries =
        QDir(folder.path).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (folder.phoneNames.contains(entry.fileName()))
            continue;
        // A link goes as a link; what it points to stays.
        const bool removed = entry.isDir() && !entry.isSymLink() ? QDir(entry.filePath()).removeRecursively()
                                                                 : QFile::remove(entry.filePath());
        if (removed)
            ++summary.deleted;
        else
            fail(meter, summary, QStringLiteral("cannot delete %1").arg(entry.filePath()));
    }
}

} // namespace

TreeSummary downloadTree(PhoneFolders &phone, ProgressMeter &meter, const PhonePath &folder, const QString &localFolder,
                         DownloadOptions options)
{
    QElapsedTimer clock;
    clock.start();
    TreeSummary summary;
    QDateTime modified;
    if (!folder.isEmpty()) {
        if (const ListingRow *row = phone.row(folder.mid(0, folder.size() - 1), folder.last()))
            modified = row->modified;
    }
    DownloadPlan plan(phone, meter, summary);
    plan.walk(folder, localFolder, modified);

    for (const LocalFolder &local : std::as_const(plan.folders)) {
        if (!QDir().mkpath(local.path))
            fail(meter, summary, QStringLiteral("cannot make the folder %1").arg(local.path));
    }

    meter.beginTree(int(plan.files.size()), plan.bytes);
    for (const PhoneFile &file : std::as_const(plan.files)) {
        if (options.skipUnchanged && unchangedOnPc(file)) {
            ++summary.unchanged;
            continue;
        }
        const QString shown = displayPath(file.folder + PhonePath{file.name});
        meter.beginFile(shown, file.size);
        QByteArray content;
        const PhoneSession::Status status = phone.session().get(file.folder, file.name, &content);
        meter.endFile();
        QString error;
        if (status == PhoneSession::Status::FolderRefused)
            fail(meter, summary, folderRefusal(phone));
        else if (status != PhoneSession::Status::Done)
            fail(meter, summary, QStringLiteral("the phone did not deliver %1").arg(shown));
        else if (!writeLocalFile(file.local, content, file.modified, &error))
            fail(meter, summary, error);
        else {
            ++summary.files;
            summary.bytes += content.size();
        }
    }
    meter.endTree();

    if (options.deleteExtra) {
        for (const LocalFolder &local : std::as_const(plan.folders)) {
            if (local.listed)
                removeExtra(local, meter, summary);
        }
    }
    // Last, and children first: writing into a folder sets its time.
    for (auto local = plan.folders.crbegin(); local != plan.folders.crend(); ++local) {
        if (local->modified.isValid())
            setModificationTime(local->path, local->modified);
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

void walkLocal(const QString &local, const PhonePath &phone, UploadPlan &plan, ProgressMeter &meter,
               TreeSummary &summary)
{
    plan.folders.append({local, phone});
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
        const auto name = Cp1251::encode(entry.fileName());
        if (!name) {
            fail(meter, summary,
                 QStringLiteral("%1: %2").arg(entry.filePath(), englishText(Refusal::NameNotEncodable)));
            continue;
        }
        walkLocal(entry.filePath(), phone + PhonePath{*name}, plan, meter, summary);
    }
}

} // namespace

TreeSummary uploadTree(PhoneFolders &phone, ProgressMeter &meter, TerminalEvents &events, const QString &localFolder,
                       const PhonePath &phoneFolder)
{
    QElapsedTimer clock;
    clock.start();
    TreeSummary summary;
    UploadPlan plan;
    walkLocal(localFolder, phoneFolder, plan, meter, summary);

    // The first folder is where the copy goes; it exists already.
    QSet<PhonePath> missing;
    for (const UploadPlan::Folder &folder : std::as_const(plan.folders).mid(1)) {
        const PhonePath parent = folder.phone.mid(0, folder.phone.size() - 1);
        if (missing.contains(parent)) {
            missing.insert(folder.phone);
            continue;
        }
        const PhoneSession::Status status = phone.session().makeFolder(parent, folder.phone.last());
        if (status != PhoneSession::Status::Done) {
            missing.insert(folder.phone);
            fail(meter, summary,
                 status == PhoneSession::Status::FolderRefused
                     ? folderRefusal(phone)
                     : QStringLiteral("the phone refused to make the folder %1").arg(displayPath(folder.phone)));
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
        events.setSubject(file.local);
        meter.beginFile(file.local, file.size);
        const PhoneSession::Status status = phone.session().replace(file.local, file.phoneFolder);
        meter.endFile();
        events.setSubject({});
        switch (status) {
        case PhoneSession::Status::Done:
            ++summary.files;
            summary.bytes += file.size;
            break;
        case PhoneSession::Status::NotSent:
            ++summary.failures; // the refusal was printed
            break;
        case PhoneSession::Status::FolderRefused:
            fail(meter, summary, folderRefusal(phone));
            break;
        case PhoneSession::Status::OldFileLost:
            fail(meter, summary,
                 QStringLiteral("the old file is gone and the new one did not arrive (%1)").arg(file.local));
            break;
        case PhoneSession::Status::OldSetAside:
            fail(meter, summary,
                 QStringLiteral("%1 was not copied; the old file is kept as %2")
                     .arg(file.local, displayPath(file.phoneFolder + PhonePath{phone.session().setAsideName()})));
            break;
        default:
            fail(meter, summary, QStringLiteral("the phone refused %1").arg(file.local));
        }
    }
    meter.endTree();
    phone.forgetAll();
    summary.milliseconds = clock.elapsed();
    return summary;
}

void printSummary(const QString &command, const TreeSummary &summary, bool backup)
{
    QTextStream out(stdout);
    out << command << ": " << summary.files << (summary.files == 1 ? " file" : " files") << (backup ? " copied" : "")
        << ", " << summary.bytes << " bytes";
    if (backup)
        out << ", " << summary.unchanged << " unchanged, " << summary.deleted << " deleted";
    out << ", " << QString::number(double(summary.milliseconds) / 1000.0, 'f', 1) << " s, " << summary.failures
        << (summary.failures == 1 ? " failure" : " failures") << '\n';
}
