#pragma once

// Exchanges recorded from real phones, kept as files in tests/data in the byte-trace
// format that phonesim --trace writes and --replay reads ("PC <ms> <hex bytes>",
// "PHONE <ms> <hex bytes>", "#" comments naming the source).

#include <QByteArray>
#include <QList>
#include <QString>

struct RecordedExchange
{
    QByteArray request; // the PC records in a row, joined
    QByteArray answer; // the PHONE records after them, joined; empty when none follow
    QList<QByteArray> answerReads; // the same, one PHONE record (one read of the recorder) each
};

// The absolute path of a file in tests/data.
QString recordingPath(const QString &name);
// Its exchanges in order; empty (after a warning) when the file cannot be read or
// holds a line that is not a record.
QList<RecordedExchange> loadRecording(const QString &name);
