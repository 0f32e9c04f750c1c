// Byte traces: tarvel-cli --trace records every byte of a download over a line that
// damages a block, and the emulated phone replaying that trace gives the same file.

#include "testprocess.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

class CliTrace : public QObject
{
    Q_OBJECT

private slots:
    void recordedTraceReplaysTheSameDownload()
    {
        QTemporaryDir dir;
        const QString flash = dir.filePath(QStringLiteral("flash"));
        const QString trace = dir.filePath(QStringLiteral("phone.trace"));
        const QByteArray content = randomBytes(3000, 23);
        QVERIFY(writeFile(flash + QStringLiteral("/Bitmap/x.bin"), content));
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("first"))));
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("replayed"))));

        {
            // The second packet of the download arrives damaged and comes again (BFB resends).
            PhoneSim phone;
            QVERIFY(phone.start(flash,
                                {QStringLiteral("--flip-tx"), QStringLiteral("6"), QStringLiteral("--resend-after"),
                                 QStringLiteral("1500")}));
            const ProcessResult recorded =
                runCli({QStringLiteral("--device"), phone.device, QStringLiteral("--link"), QStringLiteral("bfb"),
                        QStringLiteral("--trace"), trace, QStringLiteral("get"), QStringLiteral("Bitmap/x.bin"),
                        dir.filePath(QStringLiteral("first"))});
            QVERIFY2(recorded.exitCode == 0, qPrintable(recorded.err));
            QCOMPARE(phone.logLines(QStringLiteral("RESEND")).size(), 1);
        }
        QCOMPARE(readFile(dir.filePath(QStringLiteral("first/x.bin"))), content);

        // One record a line, in both directions, time never running backwards.
        QFile file(trace);
        QVERIFY(file.open(QIODevice::ReadOnly));
        static const QRegularExpression record(QStringLiteral("^(PC|PHONE) (\\d+)( [0-9A-F]{2})+$"));
        qint64 last = 0;
        QSet<QString> parties;
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (line.isEmpty() || line.startsWith('#'))
                continue;
            const QRegularExpressionMatch match = record.match(QString::fromLatin1(line));
            QVERIFY2(match.hasMatch(), line.constData());
            QVERIFY(match.captured(2).toLongLong() >= last);
            last = match.captured(2).toLongLong();
            parties << match.captured(1);
        }
        QCOMPARE(parties, (QSet<QString>{QStringLiteral("PC"), QStringLiteral("PHONE")}));

        PhoneSim replay;
        const QString replayLog = dir.filePath(QStringLiteral("replay.log"));
        QVERIFY(replay.launch({QStringLiteral("--replay"), trace, QStringLiteral("--log"), replayLog},
                              QProcess::ForwardedErrorChannel));
        replay.logPath = replayLog;
        const ProcessResult replayed =
            runCli({QStringLiteral("--device"), replay.device, QStringLiteral("--link"), QStringLiteral("bfb"),
                    QStringLiteral("get"), QStringLiteral("Bitmap/x.bin"), dir.filePath(QStringLiteral("replayed"))});
        QVERIFY2(replayed.exitCode == 0, qPrintable(replayed.err));
        QCOMPARE(readFile(dir.filePath(QStringLiteral("replayed/x.bin"))), content);
        QVERIFY(replay.logLines(QStringLiteral("REPLAY-DEVIATION")).isEmpty());
        QVERIFY(replay.logLines(QStringLiteral("REPLAY-BEYOND")).isEmpty());
        QCOMPARE(replay.logLines(QStringLiteral("REPLAY-END")).size(), 1);
    }
};

QTEST_GUILESS_MAIN(CliTrace)
#include "tst_cli_trace.moc"
