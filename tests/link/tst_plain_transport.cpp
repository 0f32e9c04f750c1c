// Plain OBEX on the line: the answers of real phones as recorded, and every answer
// that is not whole and alone.

#include "linktesting.h"
#include "plaintransport.h"
#include "testprocess.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Every recording of plain OBEX in tests/data.
const QStringList Recordings = {
    "M56v06-connect.trace", "S66v34-connect.trace", "S75v47-connect.trace", "S56v06-connect.trace",
    "M56v06-listing.trace", "M56v06-codes.trace",   "S66v34-codes.trace",   "S75v47-codes.trace",
    "M56v06-files.trace",   "S66v34-files.trace",   "S75v47-files.trace",
};

} // namespace

class PlainTransportTest : public QObject
{
    Q_OBJECT

private slots:
    void recordedAnswers_data()
    {
        QTest::addColumn<QString>("recording");
        for (const QString &recording : Recordings)
            QTest::newRow(qPrintable(recording)) << recording;
    }

    // The recorded answers come back whole, split on the line as the recorder read them: a
    // CONNECT answer in four reads, a listing packet in many, 3000 bytes in one packet.
    void recordedAnswers()
    {
        QFETCH(QString, recording);
        const QList<RecordedExchange> exchanges = loadRecording(recording);
        QVERIFY(!exchanges.isEmpty());
        LinkOnPty t;
        PlainTransport transport(t.line, t.events);
        for (const RecordedExchange &exchange : exchanges) {
            sendSpaced(t, exchange.answerReads, 1);
            QCOMPARE(transport.exchange(exchange.request), exchange.answer);
            QCOMPARE(t.pty.receive(int(exchange.request.size())), exchange.request);
        }
        QVERIFY(t.line.isPortOpen());
        QVERIFY(t.events.losses.isEmpty());
    }

    void recordingsReplayed_data() { recordedAnswers_data(); }

    // The emulated phone replays each recording as the phone answered: what the program
    // reads from it is what the phone sent.
    void recordingsReplayed()
    {
        QFETCH(QString, recording);
        QTemporaryDir dir;
        PhoneSim phone;
        phone.logPath = dir.filePath(QStringLiteral("replay.log"));
        QVERIFY(phone.launch({"--replay", recordingPath(recording), "--log", phone.logPath},
                             QProcess::ForwardedErrorChannel));
        RecordingEvents events;
        SerialLine line(events, events);
        QString reason;
        QVERIFY2(LinkTestAccess::openAsConnected(line, phone.device, &reason), qPrintable(reason));
        line.setTimeoutInterval(TimeoutMs);
        PlainTransport transport(line, events);
        for (const RecordedExchange &exchange : loadRecording(recording))
            QCOMPARE(transport.exchange(exchange.request), exchange.answer);
        QVERIFY(events.losses.isEmpty());
        QVERIFY(phone.logLines(QStringLiteral("REPLAY-DEVIATION")).isEmpty());
        QTRY_COMPARE(phone.logLines(QStringLiteral("REPLAY-END")).size(), 1);
    }

    // A line without checksums: every answer that is not whole and alone fails the
    // exchange, and the line is quiet afterwards.
    void plainFaults_data()
    {
        QTest::addColumn<QByteArray>("before"); // on the line before the request
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<LinkLoss>("loss");
        const QByteArray connectAnswer = recordedAnswer("M56v06-connect.trace");
        QTest::newRow("silence") << QByteArray() << QList<QByteArray>{} << LinkLoss::Timeout;
        QTest::newRow("lost byte") << QByteArray() << QList<QByteArray>{connectAnswer.chopped(1)} << LinkLoss::Timeout;
        QTest::newRow("no response code")
            << QByteArray() << QList<QByteArray>{hex("10001f") + connectAnswer.mid(3)} << LinkLoss::BadData;
        QTest::newRow("length below 3") << QByteArray() << QList<QByteArray>{hex("a00002")} << LinkLoss::BadData;
        QTest::newRow("length above the packet size")
            << QByteArray() << QList<QByteArray>{hex("a04007") + QByteArray(80, 'x')} << LinkLoss::BadData;
        QTest::newRow("added byte") << QByteArray()
                                    << QList<QByteArray>{connectAnswer.left(9) + 'x' + connectAnswer.mid(9)}
                                    << LinkLoss::BadData;
        QTest::newRow("noise before the request")
            << QByteArray("\x7f\x13") << QList<QByteArray>{connectAnswer} << LinkLoss::BadData;
        QTest::newRow("garbage") << QByteArray() << QList<QByteArray>{randomBytes(600, 3).prepend(hex("90ff"))}
                                 << LinkLoss::BadData;
    }

    void plainFaults()
    {
        QFETCH(QByteArray, before);
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(LinkLoss, loss);
        LinkOnPty t;
        PlainTransport transport(t.line, t.events);
        if (!before.isEmpty()) {
            t.pty.send(before);
            QTRY_VERIFY(t.line.bytesWaiting() == int(before.size()));
        }
        sendSpaced(t, pieces, 2);
        QElapsedTimer clock;
        clock.start();
        try {
            transport.exchange(ConnectPacket);
            QFAIL("a faulty answer is no answer");
        } catch (const LinkLost &lost) {
            QCOMPARE(lost.kind, loss);
        }
        QVERIFY(clock.elapsed() < 2 * TimeoutMs + 500);
        QCOMPARE(t.events.losses, QList<LinkLoss>{loss});
        QVERIFY(!t.line.isPortOpen());
        QCOMPARE(t.line.linkState(), LinkState::Enable);
        QCOMPARE(t.pty.waiting(), 0); // nothing of the answer was left on the line
    }
};

QTEST_GUILESS_MAIN(PlainTransportTest)
#include "tst_plain_transport.moc"
