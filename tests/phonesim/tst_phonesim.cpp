// The emulated phone's own rules, which the program's round trips do not reach, driven
// through the program's link: its command line, line noise that repeats from the seed,
// requests that would leave the served folder or that it must refuse, uploads broken
// off, and speed frames it does not know.

#include "bfbbytes.h"
#include "cp1251.h"
#include "handshake.h"
#include "obexrequests.h"
#include "simsession.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QTest>

namespace {

QByteArray packet(quint8 opcode, const QByteArray &headers)
{
    return char(opcode) + QByteArray(1, char((headers.size() + 3) >> 8)) + char((headers.size() + 3) & 0xFF) + headers;
}

QByteArray name(const char *text)
{
    return ObexRequest::nameHeader(*Cp1251::encode(QString::fromUtf8(text)));
}

// The packet inside one of the program's request blocks.
QByteArray packetOf(const std::optional<QByteArray> &block)
{
    return block->mid(5).chopped(2);
}

// One request through the program's link; the response packet.
QByteArray request(PhoneLink &link, const QByteArray &packet)
{
    link.SendPacket(ObexRequest::dataBlock(0x03, link.bfbSequence(), packet, link.crc()));
    const QByteArray response = link.ReceiveReply().packet;
    link.SendAck();
    return response;
}

// Every file and folder below root, hidden ones too, with the content of files.
QStringList tree(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo entry(it.next());
        entries << QDir(root).relativeFilePath(entry.filePath()) + u'='
                + QString::fromLatin1(readFile(entry.filePath()));
    }
    entries.sort();
    return entries;
}

} // namespace

class PhonesimTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { crc = makeChecksum(); }
    void commandLineAndLink();
    void noiseFromTheSeed_data();
    void noiseFromTheSeed();
    void refusals_data();
    void refusals();
    void brokenOffUploadLeavesNothing();
    void speedFrames_data();
    void speedFrames();

private:
    std::unique_ptr<Checksum> crc;
};

void PhonesimTest::commandLineAndLink()
{
    QProcess bad;
    bad.start(tarvelBinary(QStringLiteral("phonesim")), {QStringLiteral("--fault-on"), QStringLiteral("nonsense")});
    QVERIFY(bad.waitForFinished(5000));
    QCOMPARE(bad.exitCode(), 2);

    // The link points at the device while the phone runs and is gone after SIGTERM.
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("phone"));
    PhoneSim sim({QStringLiteral("--root"), dir.path(), QStringLiteral("--link"), link});
    QVERIFY(sim.running());
    QCOMPARE(QFileInfo(link).symLinkTarget(), sim.device);
    sim.process.terminate();
    QVERIFY(sim.process.waitForFinished(5000));
    QCOMPARE(sim.process.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
}

void PhonesimTest::noiseFromTheSeed_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<int>("bytes"); // that the noisy direction carries
    // 200 AT command lines: 4 bytes each from the computer, 9 back (echo, OK).
    QTest::newRow("computer to phone") << QStringLiteral("--noise-rx") << 800;
    QTest::newRow("phone to computer") << QStringLiteral("--noise-tx") << 1800;
}

// The soak's runs repeat from its seed only when the phone's noise does.
void PhonesimTest::noiseFromTheSeed()
{
    QFETCH(QString, option);
    QFETCH(int, bytes);
    const double rate = 0.005;
    const auto flips = [&](const char *seed) {
        SimSession s;
        QDir().mkpath(s.flash());
        if (!s.sim.start(s.flash(), {option, QString::number(rate), QStringLiteral("--seed"), QLatin1String(seed)}))
            return QStringList{QStringLiteral("no phone")};
        RecordingEvents events;
        PhoneLink link(*crc, events);
        link.setDevicePath(s.sim.device);
        link.setPauseScale(0.5);
        if (!link.openPort() || !link.writeRaw(QByteArray("at\r\n").repeated(200)))
            return QStringList{QStringLiteral("no line")};
        // Until the phone has answered everything; damaged answers may be longer.
        link.readQueueUntil(
            [](const QByteArray &answer) { return answer.size() >= 1800 && answer.endsWith("OK\r\n"); });
        return s.sim.logLines(QStringLiteral("FAULT"));
    };
    const QStringList first = flips("5");
    QCOMPARE(flips("5"), first);
    QVERIFY(flips("6") != first);
    const QString prefix = QStringLiteral("FAULT noise-%1 byte=").arg(option.right(2));
    for (const QString &line : first) {
        QVERIFY2(line.startsWith(prefix), qPrintable(line));
        QVERIFY(line.section(u'=', 1, 1).section(u' ', 0, 0).toInt() < bytes);
    }
    const double expected = rate * 8 * bytes, flipped = double(first.size());
    QVERIFY2(flipped > expected / 2 && flipped < expected * 2, qPrintable(QString::number(flipped)));
}

void PhonesimTest::refusals_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("code");
    ReferenceChecksum c;
    const auto move = [&](const char *from, const char *to) {
        return packetOf(ObexRequest::moveBlock(1, QString::fromUtf8(from), QString::fromUtf8(to), c));
    };
    QTest::newRow("parent of the root") << packet(0x85, hex("02 00") + name("..")) << 0xC0;
    QTest::newRow("folder name with a slash") << packet(0x85, hex("00 00") + name("a/b")) << 0xC0;
    QTest::newRow("folder behind a symbolic link") << packet(0x85, hex("02 00") + name("escape")) << 0xC4;
    QTest::newRow("get from above") << packet(0x83, name("../secret.txt")) << 0xC0;
    QTest::newRow("get with a backslash") << packet(0x83, name("..\\x")) << 0xC0;
    QTest::newRow("get with a NUL inside") << packet(0x83, hex("01 000B 0061 0000 0062 0000")) << 0xC0;
    QTest::newRow("delete .") << packet(0x82, name(".")) << 0xC0;
    QTest::newRow("upload named ..") << packetOf(ObexRequest::uploadFirstBlock(1, "..", 4, "x", c)) << 0xC0;
    QTest::newRow("upload over the free memory")
        << packetOf(ObexRequest::uploadFirstBlock(1, "big.bin", 3000, QByteArray(400, 'x'), c)) << 0xE0;
    // A Name with application parameters is no delete: SieFS sets attributes that way.
    QTest::newRow("attributes") << packet(0x82, name("keep.txt") + hex("4C 0008 3803") + "\"R\"") << 0xD1;
    QTest::newRow("move not from the root") << move("keep.txt", "/z.txt") << 0xC0;
    QTest::newRow("move out of the root") << move("/keep.txt", "/../z.txt") << 0xC0;
    QTest::newRow("move a folder into itself") << move("/Sub", "/Sub/Deep/Sub") << 0xC3;
}

// Each answered with its code, and nothing changes inside the served folder or outside it.
void PhonesimTest::refusals()
{
    QFETCH(QByteArray, request);
    QFETCH(int, code);
    SimSession s;
    QTemporaryDir outside;
    QVERIFY(writeFile(outside.filePath(QStringLiteral("secret.txt")), "secret"));
    QVERIFY(writeFile(s.flash(QStringLiteral("keep.txt")), "old content"));
    QVERIFY(writeFile(s.flash(QStringLiteral("Sub/Deep/c.txt")), "c"));
    QVERIFY(QFile::link(outside.path(), s.flash(QStringLiteral("escape"))));
    const QStringList before = tree(s.flash());
    QVERIFY(s.connect(*crc, {QStringLiteral("--memory"), QStringLiteral("2000")}));
    QCOMPARE(int(quint8(::request(s.session->link(), request).leftJustified(1).at(0))), code);
    QCOMPARE(tree(s.flash()), before);
    QCOMPARE(tree(outside.path()), QStringList{QStringLiteral("secret.txt=secret")});
    // A symbolic link is no part of the phone.
    FolderListing listing;
    QCOMPARE(s.session->list({}, &listing), PhoneSession::Status::Done);
    QVERIFY(
        std::none_of(listing.rows.begin(), listing.rows.end(), [](const ListingRow &r) { return r.name == "escape"; }));
}

// The program goes away in the middle of an upload: the file that was there stays as it
// was, and no part of the new one is left.
void PhonesimTest::brokenOffUploadLeavesNothing()
{
    SimSession s;
    QVERIFY(writeFile(s.flash(QStringLiteral("keep.txt")), "old content"));
    QVERIFY(s.connect(*crc));
    PhoneLink &link = s.session->link();
    link.SendPacket(
        *ObexRequest::uploadFirstBlock(link.bfbSequence(), "keep.txt", 1000, QByteArray(400, 'n'), link.crc()));
    QCOMPARE(link.ReceiveReply().packet, hex("90 00 03"));
    link.SendAck();
    QCOMPARE(tree(s.flash()).size(), 2); // with the hidden part
    link.closePort();
    QTRY_COMPARE(tree(s.flash()), QStringList{QStringLiteral("keep.txt=old content")});
}

void PhonesimTest::speedFrames_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("logged");
    const QByteArray known = *PhoneConnector::speedFrameFor(19200);
    QTest::newRow("known") << known << "SPEED 19200 accepted";
    QTest::newRow("unknown rate") << bfbFrame(hex("C0") + "9600" + hex("CA89CF"), 0x01)
                                  << "SPEED refused: not a known speed frame";
    QTest::newRow("wrong check bytes") << known.chopped(1) + char(known.back() ^ 1)
                                       << "SPEED refused: not a known speed frame";
}

// Answered with the frame, its check byte set to CC when accepted.
void PhonesimTest::speedFrames()
{
    QFETCH(QByteArray, frame);
    QFETCH(QString, logged);
    SimSession s;
    QVERIFY(s.connect(*crc));
    PhoneLink &link = s.session->link();
    QVERIFY(link.writeRaw(frame));
    QByteArray answer;
    while (answer.size() < frame.size())
        answer += char(link.ReadByte());
    if (logged.endsWith(QLatin1String("accepted")))
        frame[3] = char(0xCC);
    QCOMPARE(answer, frame);
    QTRY_VERIFY(s.sim.logLines(QStringLiteral("SPEED")).contains(logged));
}

QTEST_GUILESS_MAIN(PhonesimTest)
#include "tst_phonesim.moc"
