#pragma once

#include "testchecksum.h"
#include "testprocess.h"

#include <sumlet/sumlet.h>

#include <QByteArray>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

inline quint16 referenceCrc(const QByteArray &data)
{
    return ReferenceChecksum().CrcCalc(data);
}

inline QString builtLibrary()
{
    return tarvelBinary(QStringLiteral("libsumlet.so"));
}

// Points the per-user configuration (and so the component registry) at a fresh
// folder, or the one given, for the duration of one test function.
class PrivateConfig
{
public:
    explicit PrivateConfig(const QString &configHome = {}) : previous(qgetenv("XDG_CONFIG_HOME"))
    {
        qputenv("XDG_CONFIG_HOME", (configHome.isEmpty() ? dir.path() : configHome).toLocal8Bit());
    }
    ~PrivateConfig() { qputenv("XDG_CONFIG_HOME", previous); }

    QString registryFile() const { return dir.path() + QStringLiteral("/tarvel/components.ini"); }
    QString path() const { return dir.path(); }

private:
    QTemporaryDir dir;
    QByteArray previous;
};
