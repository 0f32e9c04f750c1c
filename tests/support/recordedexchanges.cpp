#include "recordedexchanges.h"

#include <QFile>
#include <QStringList>
#include <QtDebug>

QString recordingPath(const QString &name)
{
    return QStringLiteral(TARVEL_TEST_DATA_DIR "/") + name;
}

QList<RecordedExchange> loadRecording(const QString &name)
{
    QFile file(recordingPath(name));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qWarning() << "cannot read" << file.fileName();
        return {};
    }
    QList<RecordedExchange> exchanges;
    int lineNumber = 0;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        ++lineNumber;
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> fields = line.split(' ');
        const bool pc = fields.value(0) == "PC";
        bool timed = false;
        fields.value(1).toLongLong(&timed);
        if ((!pc && fields.value(0) != "PHONE") || !timed || fields.size() < 3) {
            qWarning() << file.fileName() << "line" << lineNumber << "is not a record";
            return {};
        }
        QByteArray bytes;
        for (qsizetype i = 2; i < fields.size(); ++i)
            bytes += QByteArray::fromHex(fields[i]);
        if (pc && (exchanges.isEmpty() || !exchanges.last().answer.isEmpty()))
            exchanges.append(RecordedExchange{});
        if (exchanges.isEmpty()) {
            qWarning() << file.fileName() << "starts with the phone's bytes";
            return {};
        }
        if (pc) {
            exchanges.last().request += bytes;
        } else {
            exchanges.last().answer += bytes;
            exchanges.last().answerReads << bytes;
        }
    }
    return exchanges;
}
