#include "staging.h"

#include <QByteArray>
#include <QIODevice>

namespace Staging {

qint64 stagedLength(qint64 sourceLength)
{
    return sourceLength + 3 * (sourceLength / PieceSize + 1);
}

bool write(QIODevice &source, QIODevice &staging)
{
    const QByteArray zeros(3, '\0');
    for (;;) {
        const QByteArray piece = source.read(PieceSize);
        if (piece.size() < PieceSize && !source.atEnd())
            return false;
        if (staging.write(piece) != piece.size() || staging.write(zeros) != zeros.size())
            return false;
        if (piece.size() < PieceSize)
            return true;
    }
}

} // namespace Staging
