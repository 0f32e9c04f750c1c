// A phone that cuts its blocks anywhere and a line that damages or loses blocks and
// acknowledgements, through the emulated phone: every file arrives byte for byte, no
// damaged block is acknowledged or used, and a line that stays bad ends the link.

#include "obextestsupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <optional>

namespace {

enum class Operation {
    Get,
    List,
    Put,
};

QStringList phoneOptions(const QStringList &faults)
{
    return faults
        + QStringList{QStringLiteral("--resend-after"), QString::number(PhonesimSession::ResendMs),
                      QStringLiteral("--cut"), QStringLiteral("blind")};
}

// The length of the response the phone gave to the last request whose log line starts
// with one of the prefixes; -1 when there is none.
int lastResponseLength(const PhoneSim &sim, const QStringList &requests)
{
    const QStringList lines = sim.logLines();
    qsizetype request = -1;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        for (const QString &prefix : requests)
            if (lines[i].startsWith(prefix))
                request = i;
    }
    static const QRegularExpression response(QStringLiteral("^RSP code=.. len=(\\d+)$"));
    for (qsizetype i = request + 1; request >= 0 && i < lines.size(); ++i) {
        const QRegularExpressionMatch match = response.match(lines[i]);
        if (match.hasMatch())
            return match.captured(1).toInt();
    }
    return -1;
}

// What the phone did after the fault line: the next line starting with one of the
// prefixes, or nothing.
QString nextAfter(const QStringList &lines, const QString &fault, const QStringList &prefixes)
{
    const qsizetype at = lines.indexOf(fault);
    for (qsizetype i = at + 1; at >= 0 && i < lines.size(); ++i) {
        for (const QString &prefix : prefixes)
            if (lines[i].startsWith(prefix))
                return lines[i];
    }
    return {};
}

// The name of a folder whose listing (it alone inside the folder "L") makes a
// response block of a length that leaves `rest` bytes for a last 32-byte frame.
QString subfolderFor(int rest)
{
    // XML around one folder entry: 180 bytes and the name; the block adds 18.
    const int length = ((rest - 198) % 32 + 32) % 32;
    return QString(length, u'd');
}

} // namespace

class ObexLineFaults : public QObject
{
    Q_OBJECT

private slots:
    void cutAnywhere_data();
    void cutAnywhere();
    void mendedFaults_data();
    void mendedFaults();
    void persistentNoiseEndsTheLink_data();
    void persistentNoiseEndsTheLink();
    void slowPhoneAtConnect_data();
    void slowPhoneAtConnect();

private:
    PhonesimSession shared;
    int rows = 0;
};

void ObexLineFaults::cutAnywhere_data()
{
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<int>("size"); // Get: the file's size; List: bytes in the last frame
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("lastFrame"); // of the last response block; 0: not checked

    // A file's response block is its size and 18 bytes (Length, End-of-Body, framing);
    // a second packet carries 1013 bytes fewer in 5 fewer bytes of headers.
    QTest::newRow("download, both CRC bytes alone") << Operation::Get << 16 << QStringList() << 2;
    QTest::newRow("download, last CRC byte alone") << Operation::Get << 47 << QStringList() << 1;
    QTest::newRow("second packet, both CRC bytes alone") << Operation::Get << 1034 << QStringList() << 2;
    QTest::newRow("second packet, last CRC byte alone") << Operation::Get << 1033 << QStringList() << 1;
    QTest::newRow("listing, both CRC bytes alone") << Operation::List << 2 << QStringList() << 2;
    QTest::newRow("listing, last CRC byte alone") << Operation::List << 1 << QStringList() << 1;
    QTest::newRow("frames of 5: every header alone")
        << Operation::Get << 3000 << QStringList{QStringLiteral("--frame"), QStringLiteral("5")} << 0;
}

void ObexLineFaults::cutAnywhere()
{
    QFETCH(Operation, operation);
    QFETCH(int, size);
    QFETCH(QStringList, options);
    QFETCH(int, lastFrame);

    // One phone serves the rows of the default cutting.
    std::optional<PhonesimSession> own;
    PhonesimSession &s = options.isEmpty() ? shared : own.emplace();
    if (!s.session)
        QVERIFY(s.connect(phoneOptions(options)));
    const QByteArray content = randomBytes(size, quint32(size));
    const QByteArray folder = "C" + QByteArray::number(++rows); // a folder of its own for each row
    const QString subfolder = subfolderFor(size);
    QVERIFY(QDir(s.flash()).mkpath(QString::fromLatin1(folder) + u'/' + subfolder));
    QVERIFY(writeFile(s.flash() + u'/' + QString::fromLatin1(folder) + QStringLiteral("/f.bin"), content));
    QVERIFY(s.files->ObexSetPath(folder));

    if (operation == Operation::Get) {
        QCOMPARE(s.files->GetFile("f.bin"), std::optional<QByteArray>(content));
        if (lastFrame)
            QCOMPARE((lastResponseLength(s.sim, {QStringLiteral("GET name"), QStringLiteral("CONTINUE")}) + 7) % 32,
                     lastFrame);
    } else {
        QVERIFY(QFile::remove(s.flash() + u'/' + QString::fromLatin1(folder) + QStringLiteral("/f.bin")));
        const FolderListing listing = s.files->RefreshListing();
        QCOMPARE(listing.rows.size(), 2);
        QCOMPARE(listing.rows[1].name, subfolder.toLatin1());
        QCOMPARE((lastResponseLength(s.sim, {QStringLiteral("GET type=x-obex/folder-listing")}) + 7) % 32, lastFrame);
    }
    QVERIFY(s.files->ObexSetPathUp());
    QVERIFY(s.events.repairs.isEmpty());
    QVERIFY(s.sim.logLines(QStringLiteral("RESEND")).isEmpty());
}

// Block numbers: the connect procedure's exchanges are the first four blocks of each
// side (CONNECT, root listing, two memory figures).
void ObexLineFaults::mendedFaults_data()
{
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<QString>("faultLog"); // the phone's log line of the fault
    QTest::addColumn<QStringList>("answers"); // what the phone did next: the first of these
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QList<LinkRepair>>("repairs");

    const QStringList ackOrResend{QStringLiteral("ACK"), QStringLiteral("RESEND")};
    using R = LinkRepair;
    // A damaged response: the program drops it unacknowledged, the phone sends it again.
    QTest::newRow("bit flipped in the first response of a download")
        << Operation::Get << QStringList{QStringLiteral("--flip-tx"), QStringLiteral("5")}
        << QStringLiteral("FAULT flip-tx block=5 seq=04") << ackOrResend
        << QStringLiteral("RESEND seq=04 try=1 block=6") << QList<R>{R::BadReplyDropped};
    QTest::newRow("bit flipped in a later response of a download")
        << Operation::Get << QStringList{QStringLiteral("--flip-tx"), QStringLiteral("7")}
        << QStringLiteral("FAULT flip-tx block=7 seq=06") << ackOrResend
        << QStringLiteral("RESEND seq=06 try=1 block=8") << QList<R>{R::BadReplyDropped};
    QTest::newRow("bit flipped in a listing")
        << Operation::List << QStringList{QStringLiteral("--flip-tx"), QStringLiteral("5")}
        << QStringLiteral("FAULT flip-tx block=5 seq=04") << ackOrResend
        << QStringLiteral("RESEND seq=04 try=1 block=6") << QList<R>{R::BadReplyDropped};
    // The phone's acknowledgement of the request is lost and the response comes in its
    // place: dropped unacknowledged, and taken when the phone sends it again.
    QTest::newRow("phone's acknowledgement lost")
        << Operation::Get << QStringList{QStringLiteral("--lose-tx-ack"), QStringLiteral("5")}
        << QStringLiteral("FAULT lose-tx-ack block=5 seq=04") << ackOrResend
        << QStringLiteral("RESEND seq=04 try=1 block=6") << QList<R>{};
    // The program's acknowledgement of a response is lost: the phone's repeat of it is
    // acknowledged again and dropped.
    QTest::newRow("program's acknowledgement lost")
        << Operation::Get << QStringList{QStringLiteral("--lose-rx-ack"), QStringLiteral("6")}
        << QStringLiteral("FAULT lose-rx-ack block=6 seq=05") << ackOrResend
        << QStringLiteral("RESEND seq=05 try=1 block=7") << QList<R>{R::RepeatAcknowledged};
    // A block of the program's is lost or damaged: it goes again.
    QTest::newRow("upload packet lost") << Operation::Put
                                        << QStringList{QStringLiteral("--lose-rx-block"), QStringLiteral("6")}
                                        << QStringLiteral("FAULT lose-rx-block block=6 seq=05")
                                        << QStringList{QStringLiteral("PUT")} << QStringLiteral("PUT body=497 extra=3")
                                        << QList<R>{R::BlockSentAgain};
    QTest::newRow("bit flipped in an upload packet")
        << Operation::Put << QStringList{QStringLiteral("--flip-rx"), QStringLiteral("7")}
        << QStringLiteral("BAD-CRC seq=06") << QStringList{QStringLiteral("ACK"), QStringLiteral("PUT")}
        << QStringLiteral("PUT body=497 extra=3") << QList<R>{R::BlockSentAgain};
}

void ObexLineFaults::mendedFaults()
{
    QFETCH(Operation, operation);
    QFETCH(QStringList, faults);
    QFETCH(QString, faultLog);
    QFETCH(QStringList, answers);
    QFETCH(QString, answer);
    QFETCH(QList<LinkRepair>, repairs);

    PhonesimSession s;
    const QByteArray content = randomBytes(3000, 17);
    QVERIFY(writeFile(s.flash() + QStringLiteral("/f.bin"), content));
    QVERIFY(writeFile(s.local(QStringLiteral("up.bin")), content));
    QVERIFY(s.connect(phoneOptions(faults)));
    QVERIFY(s.events.repairs.isEmpty());

    switch (operation) {
    case Operation::Get:
        QCOMPARE(s.files->GetFile("f.bin"), std::optional<QByteArray>(content));
        break;
    case Operation::List:
        QCOMPARE(s.files->RefreshListing().rows.size(), 3);
        break;
    case Operation::Put:
        QCOMPARE(s.files->PutFile(s.local(QStringLiteral("up.bin"))), PutResult::Sent);
        QCOMPARE(readFile(s.flash() + QStringLiteral("/up.bin")), content);
        break;
    }
    // In step afterwards: the next exchange is plain.
    QCOMPARE(s.files->RefreshListing().rows.size(), operation == Operation::Put ? 4 : 3);

    const QStringList log = s.sim.logLines();
    const QStringList faultLines = log.filter(faultLog);
    QCOMPARE(faultLines.size(), 1);
    QCOMPARE(nextAfter(log, faultLines.first(), answers), answer);
    QCOMPARE(s.events.repairs, repairs);
    QVERIFY(s.events.losses.isEmpty());
}

void ObexLineFaults::persistentNoiseEndsTheLink_data()
{
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<LinkLoss>("loss");
    // The second packet of the download and its two resends arrive damaged: the third
    // bad reply in a row ends the link.
    QTest::newRow("download") << Operation::Get << QStringList{QStringLiteral("--flip-tx"), QStringLiteral("6,7,8")}
                              << LinkLoss::BadData;
    // A middle packet of the upload and its three resends are damaged: the phone never
    // acknowledges it, and the receive time-out ends the wait.
    QTest::newRow("upload") << Operation::Put << QStringList{QStringLiteral("--flip-rx"), QStringLiteral("6,7,8,9")}
                            << LinkLoss::Timeout;
}

void ObexLineFaults::persistentNoiseEndsTheLink()
{
    QFETCH(Operation, operation);
    QFETCH(QStringList, faults);
    QFETCH(LinkLoss, loss);

    PhonesimSession s;
    const QByteArray content = randomBytes(3000, 19);
    QVERIFY(writeFile(s.flash() + QStringLiteral("/f.bin"), content));
    QVERIFY(writeFile(s.local(QStringLiteral("up.bin")), content));
    QVERIFY(s.connect(phoneOptions(faults)));
    s.link->setTimeoutInterval(2500);
    if (operation == Operation::Get)
        QVERIFY_THROWS_EXCEPTION(LinkLost, s.files->GetFile("f.bin"));
    else
        QVERIFY_THROWS_EXCEPTION(LinkLost, s.files->PutFile(s.local(QStringLiteral("up.bin"))));
    QCOMPARE(s.events.losses, QList<LinkLoss>{loss});
    QVERIFY(!s.link->isPortOpen());
    QVERIFY(!QFile::exists(s.flash() + QStringLiteral("/up.bin")));
    // Nothing damaged was acknowledged.
    const QStringList log = s.sim.logLines();
    const QStringList faultLines = log.filter(QStringLiteral("FAULT"));
    QVERIFY(!faultLines.isEmpty());
    QCOMPARE(nextAfter(log, faultLines.first(), {QStringLiteral("ACK")}), QString());
}

void ObexLineFaults::slowPhoneAtConnect_data()
{
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<bool>("connects");
    // With the pauses at a tenth: 50 ms after an AT command, 60 ms after a set-up frame,
    // up to twice 60 ms after the CONNECT; then up to 200 ms more for the rest.
    auto late = [](const char *exchange, const char *delay) {
        return QStringList{QStringLiteral("--fault-on"), QLatin1String(exchange), QStringLiteral("--delay-byte"),
                           QLatin1String(delay)};
    };
    QTest::newRow("wake-up answered late") << late("at:1", "0:150") << true;
    QTest::newRow("model's OK late") << late("at:2", "12:150") << true;
    QTest::newRow("set-up frame answered in two parts") << late("setup:1", "2:150") << true;
    QTest::newRow("speed frame answered late") << late("setup:2", "0:150") << true;
    QTest::newRow("CONNECT answer late") << late("connect", "40:250") << true;
    QTest::newRow("wake-up answered too late") << late("at:1", "0:600") << false;
}

void ObexLineFaults::slowPhoneAtConnect()
{
    QFETCH(QStringList, faults);
    QFETCH(bool, connects);
    PhonesimSession s;
    QCOMPARE(s.connect(faults), connects);
    if (connects)
        QCOMPARE(s.rootListing.rows.size(), 2);
    else
        QCOMPARE(s.events.log.filter(QStringLiteral("failed")), QStringList{QStringLiteral("failed AT")});
}

QTEST_GUILESS_MAIN(ObexLineFaults)
#include "tst_obex_linefaults.moc"
