#include "memoryphone.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

StoreError refused(const QString &why)
{
    return StoreError{StoreFailure::Refused, why};
}

StoreError lost()
{
    return StoreError{StoreFailure::LinkLost, QStringLiteral("the phone stopped answering")};
}

QDateTime now()
{
    return QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch());
}

bool loadFolder(const QString &folder, MemoryNode &node)
{
    for (const QFileInfo &info : QDir(folder).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
        MemoryNode &child = node.children[info.fileName()];
        const qint64 seconds = info.lastModified().toSecsSinceEpoch();
        child.modified = seconds == 0 ? QDateTime() : QDateTime::fromSecsSinceEpoch(seconds);
        child.folder = info.isDir();
        if (child.folder) {
            if (!loadFolder(info.filePath(), child))
                return false;
        } else {
            QFile file(info.filePath());
            if (!file.open(QIODevice::ReadOnly))
                return false;
            child.content = file.readAll();
        }
    }
    return true;
}

bool dumpFolder(const QString &folder, const MemoryNode &node)
{
    if (!QDir().mkpath(folder))
        return false;
    for (const auto &[name, child] : node.children) {
        const QString path = folder + u'/' + name;
        if (child.folder) {
            if (!dumpFolder(path, child))
                return false;
        } else {
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly) || file.write(child.content) != child.content.size())
                return false;
        }
    }
    return true;
}

} // namespace

MemoryFaults MemoryFaults::parse(const QString &text)
{
    MemoryFaults faults;
    for (const QString &item : text.split(u';', Qt::SkipEmptyParts)) {
        const QString key = item.section(u'=', 0, 0);
        const QString value = item.section(u'=', 1);
        if (key == u"lose-read") {
            faults.loseReading = value.section(u'@', 0, 0);
            faults.readingBytes = value.section(u'@', 1).toLongLong();
        } else if (key == u"lose-write") {
            faults.loseWriting = value.section(u'@', 0, 0);
            faults.writingBytes = value.section(u'@', 1).toLongLong();
        } else if (key == u"refuse-connects") {
            faults.refusedConnections = value.toInt();
        }
    }
    return faults;
}

// One connection; after it has lost the link it answers nothing more.
class MemoryStore : public PhoneStore
{
public:
    explicit MemoryStore(MemoryPhone &memoryPhone) : phone(memoryPhone) {}

    bool canName(const QString &name) const override
    {
        if (name.isEmpty() || name.size() > 42)
            return false;
        return std::all_of(name.begin(), name.end(), [](QChar c) {
            return (c.unicode() <= 0xFF || (c.unicode() >= 0x400 && c.unicode() <= 0x4FF)) && c != u'/' && c != u'\\';
        });
    }

    // The in-memory move takes paths of any length.
    bool canMove(const PhonePath &, const PhonePath &) const override { return true; }

    qint64 maxFileSize() const override { return MemoryPhone::MaxFileSize; }

    StoreResult<QList<PhoneEntry>> list(const PhonePath &folder) override
    {
        phone.note(QStringLiteral("list ") + folder.join(u'/'));
        if (gone)
            return lost();
        const MemoryNode *node = phone.find(folder);
        if (!node || !node->folder)
            return refused(QStringLiteral("no such folder"));
        QList<PhoneEntry> entries;
        for (const auto &[name, child] : node->children) {
            entries.append(PhoneEntry{name, child.folder, child.folder ? 0 : child.content.size(),
                                      child.modified.isValid() ? std::optional(child.modified) : std::nullopt});
        }
        return entries;
    }

    StoreResult<> read(const PhonePath &file, const PartReceiver &receive) override
    {
        phone.note(QStringLiteral("read ") + file.join(u'/'));
        if (gone)
            return lost();
        const MemoryNode *node = phone.find(file);
        if (!node || node->folder)
            return refused(QStringLiteral("no such file"));
        const QByteArray content = node->content;
        const bool failing = file.join(u'/') == phone.faults.loseReading;
        for (qint64 at = 0; at < content.size(); at += MemoryPhone::PartSize) {
            if (failing && at >= phone.faults.readingBytes)
                return loseLink(phone.faults.loseReading);
            receive(content.mid(at, MemoryPhone::PartSize));
        }
        return {};
    }

    StoreResult<> write(const PhonePath &file, const QByteArray &content) override
    {
        phone.note(QStringLiteral("write %1 %2").arg(file.join(u'/')).arg(content.size()));
        if (gone)
            return lost();
        MemoryNode *folder = phone.find(file.mid(0, file.size() - 1));
        if (!folder || !folder->folder)
            return refused(QStringLiteral("no such folder"));
        const auto existing = folder->children.find(file.last());
        if (existing != folder->children.end() && existing->second.folder)
            return refused(QStringLiteral("a folder of that name"));
        const quint64 replaced = existing == folder->children.end() ? 0 : quint64(existing->second.content.size());
        if (phone.used(phone.root) - replaced + quint64(content.size()) > phone.total)
            return refused(QStringLiteral("memory full"));
        MemoryNode &node = folder->children[file.last()];
        node.folder = false;
        node.modified = now();
        if (file.join(u'/') == phone.faults.loseWriting) {
            node.content = content.left(phone.faults.writingBytes);
            return loseLink(phone.faults.loseWriting);
        }
        node.content = content;
        return {};
    }

    StoreResult<> makeFolder(const PhonePath &folder) override
    {
        phone.note(QStringLiteral("mkdir ") + folder.join(u'/'));
        if (gone)
            return lost();
        MemoryNode *parent = phone.find(folder.mid(0, folder.size() - 1));
        if (!parent || !parent->folder || parent->children.count(folder.last()))
            return refused(QStringLiteral("cannot make that folder"));
        MemoryNode &node = parent->children[folder.last()];
        node.modified = now();
        return {};
    }

    StoreResult<> remove(const PhonePath &path) override
    {
        phone.note(QStringLiteral("remove ") + path.join(u'/'));
        if (gone)
            return lost();
        MemoryNode *parent = phone.find(path.mid(0, path.size() - 1));
        if (!parent)
            return refused(QStringLiteral("not found"));
        const auto found = parent->children.find(path.last());
        if (found == parent->children.end())
            return refused(QStringLiteral("not found"));
        if (found->second.folder && !found->second.children.empty())
            return refused(QStringLiteral("folder not empty"));
        parent->children.erase(found);
        return {};
    }

    StoreResult<> move(const PhonePath &from, const PhonePath &to) override
    {
        phone.note(QStringLiteral("move %1 %2").arg(from.join(u'/'), to.join(u'/')));
        if (gone)
            return lost();
        MemoryNode *source = phone.find(from.mid(0, from.size() - 1));
        MemoryNode *target = phone.find(to.mid(0, to.size() - 1));
        if (!source || !target || !target->folder || !source->children.count(from.last())
            || target->children.count(to.last()))
            return refused(QStringLiteral("cannot move"));
        MemoryNode moving = std::move(source->children[from.last()]);
        source->children.erase(from.last());
        target->children[to.last()] = std::move(moving);
        return {};
    }

    StoreResult<MemoryFigures> memory() override
    {
        phone.note(QStringLiteral("memory"));
        if (gone)
            return lost();
        return MemoryFigures{phone.total, phone.total - phone.used(phone.root)};
    }

private:
    StoreError loseLink(QString &fault)
    {
        fault.clear();
        gone = true;
        phone.linkWasLost = true;
        return lost();
    }

    MemoryPhone &phone;
    bool gone = false;
};

MemoryPhone::MemoryPhone(quint64 totalBytes, MemoryFaults memoryFaults, QString log)
    : total(totalBytes), faults(std::move(memoryFaults)), logPath(std::move(log))
{}

bool MemoryPhone::load(const QString &folder)
{
    return loadFolder(folder, root);
}

bool MemoryPhone::dump(const QString &folder) const
{
    return dumpFolder(folder, root);
}

StoreResult<std::unique_ptr<PhoneStore>> MemoryPhone::connect()
{
    if (linkWasLost && faults.refusedConnections > 0) {
        --faults.refusedConnections;
        note(QStringLiteral("connect refused"));
        return StoreError{StoreFailure::LinkLost, QStringLiteral("no answer from the phone")};
    }
    note(QStringLiteral("connect"));
    return std::unique_ptr<PhoneStore>(std::make_unique<MemoryStore>(*this));
}

MemoryNode *MemoryPhone::find(const PhonePath &path)
{
    MemoryNode *node = &root;
    for (const QString &name : path) {
        const auto child = node->children.find(name);
        if (!node->folder || child == node->children.end())
            return nullptr;
        node = &child->second;
    }
    return node;
}

quint64 MemoryPhone::used(const MemoryNode &node) const
{
    quint64 bytes = quint64(node.content.size());
    for (const auto &[name, child] : node.children)
        bytes += used(child);
    return bytes;
}

void MemoryPhone::note(const QString &line) const
{
    if (logPath.isEmpty())
        return;
    QFile log(logPath);
    if (log.open(QIODevice::Append))
        log.write(line.toUtf8() + '\n');
}
