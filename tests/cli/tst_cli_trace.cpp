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
        const QString flash = dir.filePath("flash");
        const QString trace = dir.filePath("phone.trace");
        const QByteArray content = randomBytes(3000, 23);
        QVERIFY(writeFile(flash + QStringLiteral("/Bitmap/x.bin"), content));
        QVERIFY(QDir().mkpath(dir.filePath("first")));
        QVERIFY(QDir().mkpath(dir.filePath("replayed")));

        {
            // The second packet of the download arrives damaged and comes again (BFB resends).
            PhoneSim phone;
            QVERIFY(phone.start(flash, words("--flip-tx 6 --resend-after 1500")));
            const ProcessResult recorded = runCli({"--device", phone.device, "--link", "bfb", "--trace", trace, "get",
                                                   "Bitmap/x.bin", dir.filePath("first")});
            QVERIFY2(recorded.exitCode == 0, qPrintable(recorded.err));
            QCOMPARE(phone.logLines("RESEND").size(), 1);
        }
        QCOMPARE(readFile(dir.filePath("first/x.bin")), content);

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
        const QString replayLog = dir.filePath("replay.log");
        QVERIFY(replay.launch({"--replay", trace, "--log", replayLog}, QProcess::ForwardedErrorChannel));
        replay.logPath = replayLog;
        const ProcessResult replayed =
            runCli({"--device", replay.device, "--link", "bfb", "get", "Bitmap/x.bin", dir.filePath("replayed")});
        QVERIFY2(replayed.exitCode == 0, qPrintable(replayed.err));
        QCOMPARE(readFile(dir.filePath("replayed/x.bin")), content);
        QCOMPARE(replay.logLines("REPLAY-DEVIATION") + replay.logLines("REPLAY-BEYOND"), QStringList());
        QCOMPARE(replay.logLines("REPLAY-END").size(), 1);
    }
};

QTEST_GUILESS_MAIN(CliTrace)
#include "tst_cli_trace.moc"
