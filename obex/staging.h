#pragma once

#include <QtGlobal>

class QIODevice;

// An upload first rewrites the PC file into records that fit one packet each:
// pieces of 497 source bytes, each followed by three zero bytes, and one last
// record with the rest (possibly no bytes) and its three zero bytes.
namespace Staging {

constexpr int PieceSize = 497;
constexpr int RecordSize = PieceSize + 3;
// Above this staging length the user is asked before the upload (150 kB).
constexpr qint64 QuestionLength = 150 * 1024;
// The Length header announces the staging length in 24 bits.
constexpr qint64 LengthLimit = 1 << 24;

constexpr qint64 stagedLength(qint64 sourceLength)
{
    return sourceLength + 3 * (sourceLength / PieceSize + 1);
}

// The longest source whose staging length stays below LengthLimit: from a length
// that surely fits (N * 500 / 497 + 3 < LengthLimit) upwards.
constexpr qint64 LargestSource = [] {
    qint64 length = (LengthLimit - 4) * PieceSize / RecordSize;
    while (stagedLength(length + 1) < LengthLimit)
        ++length;
    return length;
}();
static_assert(LargestSource == 16676550);

// Writes the records of the whole source; false on a read or write error.
bool write(QIODevice &source, QIODevice &staging);

} // namespace Staging
