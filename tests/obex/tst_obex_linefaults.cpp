// Lost blocks and acknowledgements, a line that stays bad and a slow phone, through the
// emulated phone: every file arrives byte for byte, no damaged block is acknowledged,
// and a new connect procedure follows a lost link. How the link mends each fault is
// shown in tst_link_frames; random faults and noise run in the soak.

#include "obextestsupport.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <optional>

namespace {

enum class Operation {
    Get,
    List,
    Put,
};

// A phone with these faults that cuts its blocks blindly; f.bin on the phone and
// up.bin on the PC hold content.
bool connectWith(PhonesimSession &s, const QStringList &faults, const QByteArray &content)
{
    return writeFile(s.flash() + "/f.bin", content) && writeFile(s.local("up.bin"), content)
        && s.connect(faults
                     + QStringList{"--resend-after", QString::number(PhonesimSession::ResendMs), "--cut", "blind"});
}

// True when the operation brought its data whole.
bool operate(PhonesimSession &s, Operation operation, const QByteArray &content)
{
    switch (operation) {
    case Operation::Get:
        return s.files->GetFile("f.bin") == content;
    case Operation::List:
        return s.files->RefreshListing().rows.size() == 3;
    case Operation::Put:
        return s.files->PutFile(s.local("up.bin")) == PutResult::Sent && readFile(s.flash() + "/up.bin") == content;
    }
    return false;
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

} // namespace

class ObexLineFaults : public QObject
{
    Q_OBJECT

private slots:
    void lostBlocksAndAcknowledgements_data();
    void lostBlocksAndAcknowledgements();
    void reconnectAfterALostLink();
    void slowPhoneAtConnect_data();
    void slowPhoneAtConnect();
};

// Block numbers: the connect procedure's exchanges are the first four blocks of each
// side (CONNECT, root listing, two memory figures).
void ObexLineFaults::lostBlocksAndAcknowledgements_data()
{
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<QString>("faultLog"); // the phone's log line of the fault
    QTest::addColumn<QStringList>("answers"); // what the phone did next: the first of these
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QList<LinkRepair>>("repairs");

    const QStringList ackOrResend{"ACK", "RESEND"};
    using R = LinkRepair;
    // The phone's acknowledgement of the request is lost and the response comes in its
    // place: taken as the response and acknowledged at once, nothing sent twice.
    QTest::newRow("phone's acknowledgement of a listing request lost")
        << Operation::List << QStringList{"--lose-tx-ack", "5"} << QString("FAULT lose-tx-ack block=5 seq=04")
        << ackOrResend << QString("ACK") << QList<R>{};
    // The program's acknowledgement of a response is lost: the phone's repeat of it is
    // acknowledged again and dropped.
    QTest::newRow("program's acknowledgement lost")
        << Operation::Get << QStringList{"--lose-rx-ack", "6"} << QString("FAULT lose-rx-ack block=6 seq=05")
        << ackOrResend << QString("RESEND seq=05 try=1 block=7") << QList<R>{R::RepeatAcknowledged};
    // A block of the program's is lost: it goes again.
    QTest::newRow("upload packet lost") << Operation::Put << QStringList{"--lose-rx-block", "6"}
                                        << QString("FAULT lose-rx-block block=6 seq=05") << QStringList{"PUT"}
                                        << QString("PUT body=497 extra=3") << QList<R>{R::BlockSentAgain};
}

void ObexLineFaults::lostBlocksAndAcknowledgements()
{
    QFETCH(Operation, operation);
    QFETCH(QStringList, faults);
    QFETCH(QString, faultLog);
    QFETCH(QStringList, answers);
    QFETCH(QString, answer);
    QFETCH(QList<LinkRepair>, repairs);

    PhonesimSession s;
    const QByteArray content = randomBytes(3000, 17);
    QVERIFY(connectWith(s, faults, content));
    QVERIFY(s.events.repairs.isEmpty());
    QVERIFY(operate(s, operation, content));
    // In step afterwards: the next exchange is plain.
    QCOMPARE(s.files->RefreshListing().rows.size(), operation == Operation::Put ? 4 : 3);

    const QStringList log = s.sim.logLines();
    const QStringList faultLines = log.filter(faultLog);
    QCOMPARE(faultLines.size(), 1);
    QCOMPARE(nextAfter(log, faultLines.first(), answers), answer);
    QCOMPARE(s.events.repairs, repairs);
    QVERIFY(s.events.losses.isEmpty());
}

// The second packet of a download and its two resends arrive damaged: the third bad
// reply in a row ends the link, and a new connect procedure starts afresh.
void ObexLineFaults::reconnectAfterALostLink()
{
    PhonesimSession s;
    const QByteArray content = randomBytes(3000, 19);
    QVERIFY(connectWith(s, {"--flip-tx", "6,7,8"}, content));
    QVERIFY_THROWS_EXCEPTION(LinkLost, operate(s, Operation::Get, content));
    QCOMPARE(s.events.losses, QList<LinkLoss>{LinkLoss::BadData});
    QVERIFY(!s.link->isPortOpen());
    // Nothing damaged was acknowledged.
    const QStringList log = s.sim.logLines();
    const QStringList faultLines = log.filter("FAULT");
    QVERIFY(!faultLines.isEmpty());
    QCOMPARE(nextAfter(log, faultLines.first(), {"ACK"}), QString());
    QCOMPARE(s.link->linkState(), LinkState::Enable);
    FolderListing root;
    QVERIFY(s.session->connect([&root](const FolderListing &listing) { root = listing; }));
    QCOMPARE(root.rows.size(), 3);
}

void ObexLineFaults::slowPhoneAtConnect_data()
{
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<bool>("connects");
    // With the pauses at a tenth: 50 ms after an AT command, 60 ms after a set-up frame,
    // up to twice 60 ms after the CONNECT; then up to 200 ms more for the rest.
    auto late = [](const char *exchange, const char *delay) {
        return QStringList{"--fault-on", exchange, "--delay-byte", delay};
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
        QCOMPARE(s.events.log.filter("failed"), QStringList{"failed AT"});
}

QTEST_GUILESS_MAIN(ObexLineFaults)
#include "tst_obex_linefaults.moc"
