#pragma once

#include <QString>

#include <functional>
#include <vector>

// Leaving the phone after the work is done, without keeping the user waiting: a child
// process that inherits the open port leaves the phone (DISCONNECT, the escape and its
// guard seconds, or AT^SBFB=0) and closes the port once the phone is back in AT mode,
// while the program itself ends at once. The child holds a mark for the port meanwhile:
// a lock on a file named after the device, which the system lifts when the last
// process holding it ends, killed or not. A new session that finds the port held and
// the mark taken waits for the leaver instead of calling the port in use.
namespace Leaver {

// The mark's file for the device at path: in $XDG_RUNTIME_DIR, else /tmp, named by the
// device's numbers, so that every name of one device gives the same file. Empty when
// path names no device.
QString markPath(const QString &devicePath);

// Takes the mark for the device open on portFd; the descriptor holding it, or -1 when it
// cannot be had (a later session then finds the port in use, as without a leaver).
int takeMark(int portFd);

// Runs leave in a child process that carries on after the program has ended: in its
// own session (a closed terminal sends it no hang-up), deaf to Ctrl-C and hang-ups, its
// standard streams on /dev/null (a pipe reading the program's output ends with the
// program), every descriptor but keep (and markFd) closed in it: a folder lock of the
// program's is not held on. markFd (closed here) stays held by the child until it ends,
// and its file holds the child's process number. False when no child could be made:
// leave has not run.
bool runInChild(int markFd, std::vector<int> keep, const std::function<void()> &leave);

enum class Wait {
    Free, // no leaver holds the mark (any more): the port may open now
    TooLong, // the leaver still held it at the cap
    Stopped, // stopRequested() said so
};
// Waits, asleep until the mark's file is closed by someone, for a leaver of the device
// at path to let its mark go, at most capMs; slow() is called once after slowMs.
Wait waitForRelease(const QString &devicePath, int capMs, int slowMs, const std::function<void()> &slow,
                    const std::function<bool()> &stopRequested);

} // namespace Leaver
