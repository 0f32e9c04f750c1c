#pragma once

#include <QtGlobal>

class QIODevice;

// An upload first rewrites the PC file into records that fit one packet each:
// pieces of 497 source bytes, each followed by three zero bytes, and one last
// record with the rest (possibly no bytes) and its three zero bytes. A phone that
// takes smaller packets gets smaller pieces, and the first one (which travels
// with the name) may be smaller still.
namespace Staging {

constexpr int PieceSize = 497;
constexpr int RecordSize = PieceSize + 3;

struct Layout
{
    int firstPiece = PieceSize;
    int piece = PieceSize;

    constexpr int firstRecord() const { return firstPiece + 3; }
    constexpr int record() const { return piece + 3; }
};

constexpr qint64 stagedLength(qint64 sourceLength, Layout layout)
{
    const qint64 fullRecords =
        sourceLength < layout.firstPiece ? 0 : 1 + (sourceLength - layout.firstPiece) / layout.piece;
    return sourceLength + 3 * (fullRecords + 1);
}
// Above this staging length the user is asked before the upload (150 kB).
constexpr qint64 QuestionLength = 150 * 1024;
// The Length header announces the staging length in 24 bits.
constexpr qint64 LengthLimit = 1 << 24;

constexpr qint64 stagedLength(qint64 sourceLength)
{
    return sourceLength + 3 * (sourceLength / PieceSize + 1);
}

// The source length of a staging length: every record carries three zero bytes after
// its piece, and every record after the first but the last is full.
constexpr qint64 sourceLength(qint64 stagedLength, Layout layout)
{
    const qint64 records =
        stagedLength < layout.firstRecord() ? 1 : 2 + (stagedLength - layout.firstRecord()) / layout.record();
    return stagedLength - 3 * records;
}
static_assert(sourceLength(stagedLength(152677, {}), {}) == 152677);
static_assert(sourceLength(stagedLength(994, {441, 465}), {441, 465}) == 994);

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
bool write(QIODevice &source, QIODevice &staging, Layout layout = {});

} // namespace Staging
