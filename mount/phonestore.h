#pragma once

// What the mounted file system needs from the phone: one connection, used by one
// thread, one operation at a time. Every call blocks until the phone has answered.

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <variant>

// A place in the mounted tree: the folder names from the root folder down, then the
// entry's own name; the root folder itself is the empty list. Names are Unicode, as
// the file system gives them; the store converts them to the phone's own.
using StorePath = QStringList;

struct PhoneEntry
{
    QString name;
    bool isFolder = false;
    qint64 size = 0; // bytes; 0 for folders
    std::optional<QDateTime> modified; // when the listing gives it
};

struct MemoryFigures
{
    quint64 total = 0; // bytes
    quint64 free = 0;
};

enum class StoreFailure {
    Refused, // the phone answered no (not found, not empty, full, ...); the link is fine
    NameNotSendable, // a name the phone cannot take; found before anything was sent
    LinkLost, // time-out, broken reply or closed port; this connection is finished
    MovesRefused, // the phone refused its move command; nothing was changed (copy and delete instead)
    Full, // the phone has no room for the file; the link is fine
    Damaged, // --verify: the copy did not read back the same; nothing wrong stays under its name
};

struct StoreError
{
    StoreFailure failure = StoreFailure::Refused;
    QString message; // one English line for the user, without a program prefix
};

// A value or the reason there is none.
template<typename T = void>
class [[nodiscard]] StoreResult
{
public:
    StoreResult(T value) : state(std::in_place_index<0>, std::move(value)) {}
    StoreResult(StoreError error) : state(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state.index() == 0; }
    T &value() { return std::get<0>(state); }
    const T &value() const { return std::get<0>(state); }
    const StoreError &error() const { return std::get<1>(state); }

private:
    std::variant<T, StoreError> state;
};

template<>
class [[nodiscard]] StoreResult<void>
{
public:
    StoreResult() = default;
    StoreResult(StoreError error) : problem(std::move(error)) {}

    bool ok() const { return !problem; }
    const StoreError &error() const { return *problem; }

private:
    std::optional<StoreError> problem;
};

// One connection to the phone. Failures come back as StoreError, never as
// exceptions. After LinkLost the mount drops the object (closing the port) and
// asks the factory for a new connection before the next operation.
class PhoneStore
{
public:
    // Receives the file's bytes in order, part by part as they arrive; false when it
    // cannot keep them, which stops the download.
    using PartReceiver = std::function<bool(QByteArrayView part)>;

    // What a name is given to: its limits.
    enum class NameFor {
        File, // read, written, removed
        Folder, // entered, made, removed
    };
    // How far a download has come.
    enum class ReadState {
        More, // readMore takes it on
        Whole,
        Stopped, // ended early: the parts received are the file's start
    };

    virtual ~PhoneStore() = default;

    // The mount is over: the last copies and the leaving of the phone follow, and a new
    // session on the port waits for them.
    virtual void leavingStarts() {}

    // Whether a file or folder of this name can be made, listed, read, moved and
    // removed (every character has a code on the phone, the length fits every
    // request). Answered on the PC, without a word to the phone.
    virtual bool canName(const QString &name, NameFor use) const = 0;
    // Whether the phone takes two names for one: it compares them without regard to
    // case, Cyrillic letters included.
    virtual bool sameName(const QString &a, const QString &b) const = 0;
    // Whether the move command can carry both paths (each name passing canName).
    virtual bool canMove(const StorePath &from, const StorePath &to) const = 0;
    // The largest file the phone can take in one upload, in bytes.
    virtual qint64 maxFileSize() const = 0;
    // What tells this phone from others for what the mount keeps of it (its model).
    virtual QString identity() const = 0;

    // The folders and files of a folder (no parent entry).
    virtual StoreResult<QList<PhoneEntry>> list(const StorePath &folder) = 0;
    // Starts downloading a file: its parts reach receive as they arrive, the first ones
    // before this returns. While it answers More, the download stays open: readMore
    // takes it on and stopRead ends it early, and no other call may come. On a failure
    // the download is over and the parts received are not the file.
    virtual StoreResult<ReadState> startRead(const StorePath &file, const PartReceiver &receive) = 0;
    virtual StoreResult<ReadState> readMore() = 0;
    // Ends the open download before its end: Stopped, or Whole when the phone sent the
    // rest all the same.
    virtual StoreResult<ReadState> stopRead() = 0;
    // Uploads the PC file at localPath as file, into an existing folder, replacing a
    // file of that name (in any letter case) so that only the new bytes stand under it.
    // The PC file is read piece by piece. A replace may go through hidden names beside
    // the file: the upload under the first of ".~new~NAME", ".~new2~NAME", ... the folder
    // does not hold, and the old file set aside as ".~old~NAME" while the new one takes
    // the name; a lost link may leave them.
    virtual StoreResult<> write(const StorePath &file, const QString &localPath) = 0;
    // Makes a folder inside an existing folder.
    virtual StoreResult<> makeFolder(const StorePath &folder) = 0;
    // Removes a file or an empty folder.
    virtual StoreResult<> remove(const StorePath &path) = 0;
    // Moves or renames a file or folder. What stands at the destination (a file, or an
    // empty folder) is replaced and never lost: moved aside first, deleted last.
    virtual StoreResult<> move(const StorePath &from, const StorePath &to) = 0;
    virtual StoreResult<MemoryFigures> memory() = 0;
};

// Opens a new connection (the whole connect procedure); a failure is LinkLost
// with the reason.
using PhoneStoreFactory = std::function<StoreResult<std::unique_ptr<PhoneStore>>()>;
