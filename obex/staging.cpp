#include "staging.h"

#include <QByteArray>
#include <QIODevice>

namespace Staging {

bool write(QIODevice &source, QIODevice &staging, Layout layout)
{
    const QByteArray zeros(3, '\0');
    for (int size = layout.firstPiece;; size = layout.piece) {
        QByteArray piece(size, Qt::Uninitialized);
        // A read error is no end of file: a file that fails to read (EIO, a file of
        // /proc) must not go to the phone empty or cut short.
        const qint64 got = source.read(piece.data(), size);
        if (got < 0 || (got < size && !source.atEnd()))
            return false;
        piece.truncate(got);
        if (staging.write(piece) != piece.size() || staging.write(zeros) != zeros.size())
            return false;
        if (piece.size() < size)
            return true;
    }
}

} // namespace Staging
