#include "componentregistry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QStandardPaths>

namespace sumlet {

namespace {

// Values are single lines: backslashes and line breaks are escaped.
QString escapeValue(const QString &value)
{
    QString escaped;
    escaped.reserve(value.size());
    for (QChar c : value) {
        if (c == u'\\')
            escaped += u"\\\\";
        else if (c == u'\n')
            escaped += u"\\n";
        else if (c == u'\r')
            escaped += u"\\r";
        else
            escaped += c;
    }
    return escaped;
}

QString unescapeValue(const QString &value)
{
    QString plain;
    plain.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        if (c != u'\\' || i + 1 == value.size()) {
            plain += c;
            continue;
        }
        const QChar next = value[++i];
        if (next == u'n')
            plain += u'\n';
        else if (next == u'r')
            plain += u'\r';
        else
            plain += next;
    }
    return plain;
}

QString guidText(const GUID &guid)
{
    return QString::fromStdString(formatGuid(guid));
}

const QString fileHeader =
    QStringLiteral("; Tarvel component registry of this user.\n"
                   "; Components record themselves here when they register (DllRegisterServer) and\n"
                   "; remove their entries when they unregister; programs look up a class identifier\n"
                   "; to find the library that implements it (CLSID\\{...} InprocServer32).\n");

} // namespace

QString ComponentRegistry::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/tarvel/components.ini");
}

QString ComponentRegistry::clsidSection(const GUID &clsid)
{
    return QStringLiteral("CLSID\\") + guidText(clsid);
}

QString ComponentRegistry::progIdSection(const QString &progId)
{
    return QStringLiteral("ProgID\\") + progId;
}

QString ComponentRegistry::typeLibSection(const GUID &libid, int major, int minor)
{
    return QStringLiteral("TypeLib\\%1\\%2.%3").arg(guidText(libid)).arg(major).arg(minor);
}

QString ComponentRegistry::interfaceSection(const GUID &iid)
{
    return QStringLiteral("Interface\\") + guidText(iid);
}

ComponentRegistry::ComponentRegistry(QString path) : filePath(std::move(path)) {}

bool ComponentRegistry::load(QString *error)
{
    preamble.clear();
    sections.clear();
    QFile file(filePath);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(filePath, file.errorString());
        return false;
    }
    const QString text = QString::fromUtf8(file.readAll());
    if (file.error() != QFileDevice::NoError) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(filePath, file.errorString());
        return false;
    }
    Section *current = nullptr;
    for (QString rawLine : text.split(u'\n')) {
        if (rawLine.endsWith(u'\r'))
            rawLine.chop(1);
        const QString line = rawLine.trimmed();
        QList<Line> &target = current ? current->lines : preamble;
        if (line.startsWith(u'[') && line.endsWith(u']')) {
            sections.append(Section{line.mid(1, line.size() - 2), {}});
            current = &sections.last();
        } else if (line.isEmpty()) {
            continue;
        } else if (line.startsWith(u';') || line.startsWith(u'#') || !line.contains(u'=')) {
            target.append(Line{QString(), rawLine});
        } else {
            const qsizetype equals = line.indexOf(u'=');
            const QString key = line.left(equals).trimmed();
            if (key.isEmpty())
                target.append(Line{QString(), rawLine});
            else
                target.append(Line{key, unescapeValue(line.mid(equals + 1).trimmed())});
        }
    }
    return true;
}

QByteArray ComponentRegistry::serialize() const
{
    QString text;
    if (preamble.isEmpty())
        text += fileHeader;
    for (const Line &line : preamble)
        text += (line.key.isEmpty() ? line.text : line.key + u'=' + escapeValue(line.text)) + u'\n';
    for (const Section &section : sections) {
        text += u'\n' + (u'[' + section.name + u']') + u'\n';
        for (const Line &line : section.lines) {
            if (line.key.isEmpty())
                text += line.text + u'\n';
            else
                text += line.key + u'=' + escapeValue(line.text) + u'\n';
        }
    }
    return text.toUtf8();
}

bool ComponentRegistry::save(QString *error) const
{
    const QFileInfo info(filePath);
    if (!QDir().mkpath(info.absolutePath())) {
        if (error)
            *error = QStringLiteral("cannot create the folder %1").arg(info.absolutePath());
        return false;
    }
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(filePath, file.errorString());
        return false;
    }
    file.write(serialize());
    if (!file.commit()) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(filePath, file.errorString());
        return false;
    }
    return true;
}

bool ComponentRegistry::update(const std::function<void(ComponentRegistry &)> &edit, QString *error)
{
    const QFileInfo info(filePath);
    if (!QDir().mkpath(info.absolutePath())) {
        if (error)
            *error = QStringLiteral("cannot create the folder %1").arg(info.absolutePath());
        return false;
    }
    QLockFile lock(filePath + QStringLiteral(".lock"));
    if (!lock.tryLock(10000)) {
        if (error)
            *error = QStringLiteral("cannot lock %1").arg(filePath);
        return false;
    }
    if (!load(error))
        return false;
    edit(*this);
    return save(error);
}

ComponentRegistry::Section *ComponentRegistry::find(const QString &section)
{
    for (Section &candidate : sections) {
        if (candidate.name.compare(section, Qt::CaseInsensitive) == 0)
            return &candidate;
    }
    return nullptr;
}

const ComponentRegistry::Section *ComponentRegistry::find(const QString &section) const
{
    return const_cast<ComponentRegistry *>(this)->find(section);
}

bool ComponentRegistry::hasSection(const QString &section) const
{
    return find(section) != nullptr;
}

QString ComponentRegistry::value(const QString &section, const QString &key) const
{
    if (const Section *found = find(section)) {
        for (const Line &line : found->lines) {
            if (!line.key.isEmpty() && line.key.compare(key, Qt::CaseInsensitive) == 0)
                return line.text;
        }
    }
    return QString();
}

QStringList ComponentRegistry::sectionNames() const
{
    QStringList names;
    for (const Section &section : sections)
        names.append(section.name);
    return names;
}

void ComponentRegistry::setValue(const QString &section, const QString &key, const QString &value)
{
    Section *target = find(section);
    if (!target) {
        sections.append(Section{section, {}});
        target = &sections.last();
    }
    for (Line &line : target->lines) {
        if (!line.key.isEmpty() && line.key.compare(key, Qt::CaseInsensitive) == 0) {
            line.text = value;
            return;
        }
    }
    target->lines.append(Line{key, value});
}

void ComponentRegistry::removeSection(const QString &section)
{
    sections.removeIf(
        [&](const Section &candidate) { return candidate.name.compare(section, Qt::CaseInsensitive) == 0; });
}

QString ComponentRegistry::inprocServer(const GUID &clsid) const
{
    return value(clsidSection(clsid), QStringLiteral("InprocServer32"));
}

} // namespace sumlet
