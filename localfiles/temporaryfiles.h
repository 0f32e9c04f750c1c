#pragma once

#include <QByteArray>

// Temporary files that must not outlive the program: a signal that ends it removes
// them first. Registering and removing are cheap; the removal itself is
// async-signal-safe, so a program's own signal handler may call it.
namespace TemporaryFiles {

// At most this many at a time; further ones are written but not guarded.
constexpr int Capacity = 8;

// The slot that guards path, or -1 when none is free or the path is too long.
int guard(const QByteArray &path);
// The file is gone or has its final name: no longer removed.
void release(int slot);
// Unlinks every guarded file. Async-signal-safe.
void removeAllNow();
// For a program without a handler of its own: SIGINT, SIGTERM and SIGHUP remove the
// guarded files, then end the program as the signal would have. A signal the
// program ignores stays ignored.
void removeOnSignals();

} // namespace TemporaryFiles
