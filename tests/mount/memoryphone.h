#pragma once

// A phone for the mount's tests: the flash held in memory and shared by every
// connection, with the faults that real phones and cables show.

#include "phonestore.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <map>
#include <memory>

struct MemoryNode
{
    bool folder = true;
    QByteArray content;
    QDateTime modified; // invalid: the listing gives no date
    std::map<QString, MemoryNode> children;
};

// Read from "lose-read=PATH@BYTES;lose-write=PATH@BYTES;refuse-connects=N".
struct MemoryFaults
{
    QString loseReading; // the first download of this file stops after readingBytes, with the link
    qint64 readingBytes = 0;
    QString loseWriting; // the first upload of this file leaves writingBytes on the phone, and the link goes
    qint64 writingBytes = 0;
    int refusedConnections = 0; // connections that fail after the link was lost

    static MemoryFaults parse(const QString &text);
};

class MemoryPhone
{
public:
    static constexpr qint64 PartSize = 500;
    static constexpr qint64 MaxFileSize = 4 * 1024 * 1024;

    MemoryPhone(quint64 total, MemoryFaults faults, QString logPath);

    // Takes a PC folder as the flash; a file dated 1970-01-01 00:00:00 UTC stands for
    // a listing row without a date.
    bool load(const QString &folder);
    bool dump(const QString &folder) const;

    StoreResult<std::unique_ptr<PhoneStore>> connect();

private:
    friend class MemoryStore;

    MemoryNode *find(const PhonePath &path);
    quint64 used(const MemoryNode &node) const;
    // One line per operation the phone sees, for the tests to count.
    void note(const QString &line) const;

    MemoryNode root;
    quint64 total;
    MemoryFaults faults;
    QString logPath;
    bool linkWasLost = false;
};
