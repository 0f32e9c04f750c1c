#pragma once

#include <sumlet/sumlet.h>

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <cstdint>
#include <functional>
#include <memory>

// Bit-by-bit CRC-16/X-25, independent of the component's table.
inline quint16 referenceCrc(const QByteArray &data)
{
    quint16 crc = 0xFFFF;
    for (char byte : data) {
        crc ^= static_cast<quint8>(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<quint16>((crc >> 1) ^ 0x8408) : static_cast<quint16>(crc >> 1);
    }
    return static_cast<quint16>(~crc);
}

inline QString binDir()
{
    return qEnvironmentVariable("TARVEL_BIN_DIR");
}

inline QString builtLibrary()
{
    return QDir(binDir()).filePath(QStringLiteral("libsumlet.so"));
}

// Points the per-user configuration (and so the component registry) at a
// fresh folder for the duration of one test function.
class PrivateConfig
{
public:
    PrivateConfig()
    {
        previous = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
    }
    explicit PrivateConfig(const QString &configHome)
    {
        previous = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", configHome.toLocal8Bit());
    }
    ~PrivateConfig() { qputenv("XDG_CONFIG_HOME", previous); }

    QString registryFile() const { return dir.path() + QStringLiteral("/tarvel/components.ini"); }
    QString path() const { return dir.path(); }

private:
    QTemporaryDir dir;
    QByteArray previous;
};

// Runs check on the modal dialog that the next call opens; check must close it.
inline void whenModalOpens(std::function<void(QWidget *)> check)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, check] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            poll->stop();
            poll->deleteLater();
            check(modal);
        }
    });
    poll->start(10);
}
