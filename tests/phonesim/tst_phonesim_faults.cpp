// Fault options of the emulated phone: each damages exactly the exchange it is aimed at.

#include "phonetestclient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTest>

namespace {

quint8 code(const QByteArray &response)
{
    return response.isEmpty() ? 0 : quint8(response[0]);
}

struct Session
{
    QTemporaryDir root;
    PhoneSimProcess sim;
    PhoneLine line;

    bool start(const QStringList &faults, bool connect = true)
    {
        if (!root.isValid() || !writeFile(root.filePath(QStringLiteral("x.txt")), "x")
            || !QDir(root.path()).mkpath(QStringLiteral("Bitmap"))
            || !writeFile(root.filePath(QStringLiteral("big.bin")), QByteArray(3000, 'b')))
            return false;
        if (!sim.start(root.path(), faults) || !line.open(sim.device))
            return false;
        return !connect || line.connect();
    }
};

const QByteArray listingRequest =
    PhoneLine::packet(0x83, PhoneLine::header(0x42, QByteArrayLiteral("x-obex/folder-listing") + '\0'));
const QByteArray memoryRequest = QByteArray::fromHex("8300094C0006320101");

} // namespace

class PhonesimFaultsTest : public QObject
{
    Q_OBJECT

private slots:
    void silentAfter();
    void garbage();
    void garbageInsteadOfAtAnswer();
    void withheldAck();
    void wrongCrc();
    void delayedByte();
    void selectors();
    void silentSetup();
    void refusals();
};

void PhonesimFaultsTest::silentAfter()
{
    Session s;
    QVERIFY(s.start({QStringLiteral("--fault-on"), QStringLiteral("listing"), QStringLiteral("--silent-after"),
                     QStringLiteral("20")}));
    s.line.sendPacket(listingRequest);
    const QByteArray cut = s.line.readQuiet(300);
    QCOMPARE(cut.size(), 20);
    QVERIFY(cut.startsWith(QByteArray::fromHex("16021401FE162036")));
    QVERIFY(s.sim.waitForLog(QStringLiteral("FAULT silent-after=20 on listing:1")));
    // Silent from then on, even for a good request...
    s.line.sendAck();
    s.line.sendPacket(memoryRequest);
    QVERIFY(s.line.readQuiet(300).isEmpty());
    QVERIFY(s.sim.waitForLog(QStringLiteral("GET appparam=32:01")));
    // ...until the line is opened again.
    s.line.close();
    QVERIFY(s.sim.waitForLog(QStringLiteral("CLOSE")));
    QVERIFY(s.line.open(s.sim.device));
    QVERIFY(s.line.connect());
    QVERIFY(s.line.listing().contains("x.txt"));
}

void PhonesimFaultsTest::garbage()
{
    Session s;
    QVERIFY(s.start({QStringLiteral("--fault-on"), QStringLiteral("memory:2"), QStringLiteral("--garbage")}));
    QVERIFY(s.line.memory(0x01).has_value());
    s.line.sendPacket(memoryRequest);
    QCOMPARE(s.line.readReply().kind, PhoneLine::ReplyKind::Ack);
    const PhoneLine::Reply junk = s.line.readReply();
    QCOMPARE(junk.kind, PhoneLine::ReplyKind::BadFrame);
    QVERIFY(junk.raw.size() >= 8 && quint8(junk.raw[0]) != 0x16);
    QVERIFY(s.sim.waitForLog(QStringLiteral("FAULT garbage on memory:2")));
    // Once only: the next exchange is clean.
    s.line.readQuiet(100);
    s.line.sendAck();
    QVERIFY(s.line.memory(0x02).has_value());
}

void PhonesimFaultsTest::garbageInsteadOfAtAnswer()
{
    Session s;
    QVERIFY(s.start({QStringLiteral("--fault-on"), QStringLiteral("at:2"), QStringLiteral("--garbage")}, false));
    QVERIFY(s.line.at("at").contains("OK"));
    const QByteArray answer = s.line.at("at+CGMM", 500);
    QVERIFY(!answer.isEmpty());
    QVERIFY(!answer.contains("OK") && !answer.contains("M55"));
    QVERIFY(s.line.at("at").contains("OK"));
}

void PhonesimFaultsTest::withheldAck()
{
    Session s;
    QVERIFY(s.start({QStringLiteral("--fault-on"), QStringLiteral("setpath"), QStringLiteral("--no-ack")}));
    s.line.sendPacket(
        PhoneLine::packet(0x85, QByteArray::fromHex("0200") + PhoneLine::nameHeader(QStringLiteral("Bitmap"))));
    const PhoneLine::Reply first = s.line.readReply();
    QCOMPARE(first.kind, PhoneLine::ReplyKind::Block);
    QCOMPARE(first.packet, QByteArray::fromHex("A00003"));
    QCOMPARE(s.line.readReply(200).kind, PhoneLine::ReplyKind::Timeout);
    s.line.sendAck();
    // The next SETPATH (the parent) is acknowledged again.
    QCOMPARE(code(s.line.setPath(0x03, std::nullopt)), 0xA0);
}

void PhonesimFaultsTest::wrongCrc()
{
    Session s;
    QVERIFY(s.start({QStringLiteral("--fault-on"), QStringLiteral("get"), QStringLiteral("--bad-crc")}));
    s.line.sendPacket(PhoneLine::packet(0x83, PhoneLine::nameHeader(QStringLiteral("x.txt"))));
    QCOMPARE(s.line.readReply().kind, PhoneLine::ReplyKind::Ack);
    const PhoneLine::Reply damaged = s.line.readReply();
    QCOMPARE(damaged.kind, PhoneLine::ReplyKind::Block);
    QVERIFY(!damaged.crcOk);
    QCOMPARE(damaged.packet.right(1), QByteArray("x"));
    s.line.sendAck();
    QCOMPARE(s.line.getFile(QStringLiteral("x.txt")), QByteArray("x"));
}

void PhonesimFaultsTest::delayedByte()
{
    Session s;
    // The second OBEX request (the CONNECT is the first); byte 7 is inside the response.
    QVERIFY(s.start(
        {QStringLiteral("--fault-on"), QStringLiteral("2"), QStringLiteral("--delay-byte"), QStringLiteral("7:400")}));
    QElapsedTimer timer;
    timer.start();
    s.line.sendPacket(memoryRequest);
    QCOMPARE(s.line.readBytes(7, 300).size(), 7);
    const qint64 early = timer.elapsed();
    QCOMPARE(s.line.readBytes(1, 2000).size(), 1);
    const qint64 late = timer.elapsed();
    QVERIFY2(late - early >= 250, qPrintable(QStringLiteral("%1 ms").arg(late - early)));
    const QByteArray rest = s.line.readQuiet(100);
    QCOMPARE(7 + 1 + rest.size(), 5 + 3 + 5 + 12 + 2); // ack, then one frame holding the block
    QVERIFY(s.sim.log().contains(QStringLiteral("FAULT delay-byte=7:400 on obex:2")));
}

void PhonesimFaultsTest::selectors()
{
    {
        // The second continuation of a download is not answered at all.
        Session s;
        QVERIFY(s.start({QStringLiteral("--packet"), QStringLiteral("1000"), QStringLiteral("--fault-on"),
                         QStringLiteral("continue:2"), QStringLiteral("--silent-after"), QStringLiteral("0")}));
        QCOMPARE(code(s.line.request(PhoneLine::packet(0x83, PhoneLine::nameHeader(QStringLiteral("big.bin"))))), 0x90);
        QCOMPARE(code(s.line.request(QByteArray::fromHex("830003"))), 0x90);
        s.line.sendPacket(QByteArray::fromHex("830003"));
        QCOMPARE(s.line.readReply(300).kind, PhoneLine::ReplyKind::Timeout);
        QCOMPARE(s.sim.logLines(QStringLiteral("CONTINUE")).size(), 2);
    }
    {
        // The third data block (the CONNECT's is the first) is not acknowledged.
        Session s;
        QVERIFY(s.start({QStringLiteral("--fault-on"), QStringLiteral("block:3"), QStringLiteral("--no-ack")}));
        QCOMPARE(code(s.line.setPath(0x02, QStringLiteral("Bitmap"))), 0xA0);
        s.line.sendPacket(PhoneLine::packet(0x85, QByteArray::fromHex("0300")));
        QCOMPARE(s.line.readReply().kind, PhoneLine::ReplyKind::Block);
        QVERIFY(s.sim.log().contains(QStringLiteral("FAULT no-ack on block:3")));
    }
}

void PhonesimFaultsTest::silentSetup()
{
    Session s;
    QVERIFY(s.start({QStringLiteral("--fault-on"), QStringLiteral("setup:2"), QStringLiteral("--silent-after"),
                     QStringLiteral("0")},
                    false));
    QVERIFY(!s.line.startBfb());
    QVERIFY(s.sim.log().contains(QStringLiteral("FAULT silent-after=0 on setup:2")));
}

void PhonesimFaultsTest::refusals()
{
    Session s;
    QVERIFY(s.start({QStringLiteral("--refuse-setpath"), QStringLiteral("C3"), QStringLiteral("--refuse-mkdir"),
                     QStringLiteral("0xC1"), QStringLiteral("--refuse-delete"), QStringLiteral("C3"),
                     QStringLiteral("--refuse-put"), QStringLiteral("CF")}));
    QCOMPARE(s.line.setPath(0x02, QStringLiteral("Bitmap")), QByteArray::fromHex("C30003"));
    QVERIFY(s.line.listing().contains("<folder name=\"Bitmap\"")); // still at the root
    QCOMPARE(s.line.setPath(0x00, QStringLiteral("New")), QByteArray::fromHex("C10003"));
    QVERIFY(!QFileInfo::exists(s.root.filePath(QStringLiteral("New"))));
    QCOMPARE(s.line.remove(QStringLiteral("x.txt")), QByteArray::fromHex("C30003"));
    QVERIFY(QFileInfo::exists(s.root.filePath(QStringLiteral("x.txt"))));
    QCOMPARE(s.line.uploadLikeProgram(QStringLiteral("up.txt"), QByteArray(1000, 'u')), QByteArray::fromHex("CF0003"));
    QVERIFY(!QFileInfo::exists(s.root.filePath(QStringLiteral("up.txt"))));
    QCOMPARE(QDir(s.root.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
    // Only the refused kinds: downloads and memory queries still work.
    QCOMPARE(s.line.getFile(QStringLiteral("x.txt")), QByteArray("x"));
    QVERIFY(s.line.memory(0x02).has_value());

    Session mkdirOnly;
    QVERIFY(mkdirOnly.start({QStringLiteral("--refuse-mkdir"), QStringLiteral("C3")}));
    QCOMPARE(code(mkdirOnly.line.setPath(0x00, QStringLiteral("Bitmap"))), 0xA0); // exists: just entered
    QCOMPARE(code(mkdirOnly.line.setPath(0x00, QStringLiteral("Sub"))), 0xC3);
}

QTEST_GUILESS_MAIN(PhonesimFaultsTest)
#include "tst_phonesim_faults.moc"
