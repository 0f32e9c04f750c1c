#pragma once

#include <sumlet/sumlet.h>

#include <QList>
#include <QString>

#include <functional>

namespace sumlet {

// The per-user component registry: an INI file standing in for the system-wide
// class registry that Linux lacks. Sections mirror registry keys
// ("CLSID\{...}", "ProgID\...", "TypeLib\{...}\1.0", "Interface\{...}"), each
// holding plain key=value lines. Sections and lines written by anyone else are
// kept as they are when the file is rewritten.
class ComponentRegistry
{
public:
    // $XDG_CONFIG_HOME/tarvel/components.ini (normally ~/.config/tarvel/components.ini).
    static QString defaultPath();

    static QString clsidSection(const GUID &clsid);
    static QString progIdSection(const QString &progId);
    static QString typeLibSection(const GUID &libid, int major, int minor);
    static QString interfaceSection(const GUID &iid);

    explicit ComponentRegistry(QString path = defaultPath());

    const QString &path() const { return filePath; }

    // A missing file reads as an empty registry.
    bool load(QString *error);
    bool save(QString *error) const;

    // Runs edit on the current contents and writes the result, holding a lock
    // file beside the registry so that concurrent registrations do not lose
    // each other's entries.
    bool update(const std::function<void(ComponentRegistry &)> &edit, QString *error);

    bool hasSection(const QString &section) const;
    QString value(const QString &section, const QString &key) const;
    QStringList sectionNames() const;
    void setValue(const QString &section, const QString &key, const QString &value);
    void removeSection(const QString &section);

    // The registered library file of a class, empty when the class is not registered.
    QString inprocServer(const GUID &clsid) const;

private:
    struct Line
    {
        QString key; // empty: a comment or a line kept verbatim in text
        QString text; // the value, or the verbatim line
    };
    struct Section
    {
        QString name;
        QList<Line> lines;
    };

    Section *find(const QString &section);
    const Section *find(const QString &section) const;
    QByteArray serialize() const;

    QString filePath;
    QList<Line> preamble;
    QList<Section> sections;
};

} // namespace sumlet
