// The emulated phone's own rules, checked with the test-side client: AT dialogue, BFB
// set-up, framing, listings, downloads, uploads with the program's quirk, folders,
// deletes, names, memory figures, reconnects.

#include "phonetestclient.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool setModified(const QString &path, const QDateTime &modified)
{
    const struct timespec times[2] = {{time_t(modified.toSecsSinceEpoch()), 0},
                                      {time_t(modified.toSecsSinceEpoch()), 0}};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

bool writeDatedFile(const QString &path, const QByteArray &content, const QDateTime &modified)
{
    return writeFile(path, content) && setModified(path, modified);
}

quint8 code(const QByteArray &response)
{
    return response.isEmpty() ? 0 : quint8(response[0]);
}

// CPU time (user + system) of a process in clock ticks.
long cpuTicks(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return fields.value(11).toLong() + fields.value(12).toLong();
}

struct Session
{
    QTemporaryDir root;
    PhoneSimProcess sim;
    PhoneLine line;

    bool start(const QStringList &extra = {}, bool connect = true)
    {
        if (!root.isValid() || !sim.start(root.path(), extra) || !line.open(sim.device))
            return false;
        return !connect || line.connect();
    }
    QString path(const QString &relative) const { return root.filePath(relative); }
};

const QByteArray siemensTarget = QByteArray::fromHex("6B01CB31410611D49A770050DA3F471F");

} // namespace

class PhonesimProtocolTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void commandLine();
    void demoContent();
    void atDialogue();
    void handshakeLikeProgram();
    void obexftpStartFrame();
    void listingFormat();
    void multiPacketTransfers();
    void emptyFinal();
    void framesOfAnySize();
    void folders();
    void refusedNames();
    void memoryFigures();
    void uploadsWithZeroBytes_data();
    void uploadsWithZeroBytes();
    void uploadReplacesAndAborts();
    void deletes();
    void cyrillicNames();
    void badCrcIsNotAnswered();
    void responseWaitsForAck();
    void reconnectsAndIdles();
};

void PhonesimProtocolTest::initTestCase()
{
    QVERIFY2(QFileInfo(tarvelBinary(QStringLiteral("phonesim"))).isExecutable(),
             qPrintable(tarvelBinary(QStringLiteral("phonesim"))));
}

void PhonesimProtocolTest::commandLine()
{
    QProcess help;
    help.start(tarvelBinary(QStringLiteral("phonesim")), {QStringLiteral("--help")});
    QVERIFY(help.waitForFinished(5000));
    QCOMPARE(help.exitCode(), 0);
    const QString text = QString::fromUtf8(help.readAllStandardOutput());
    for (const char *option :
         {"--root",        "--link",          "--model",          "--memory",       "--baud",          "--packet",
          "--frame",       "--cut",           "--resend-after",   "--resends",      "--log",           "--trace",
          "--replay",      "--empty-final",   "--fault-on",       "--silent-after", "--garbage",       "--no-ack",
          "--bad-crc",     "--delay-byte",    "--refuse-setpath", "--refuse-mkdir", "--refuse-delete", "--refuse-put",
          "--refuse-move", "--refuse-speed",  "--seed",           "--noise-rx",     "--noise-tx",      "--flip-rx",
          "--flip-tx",     "--lose-rx-block", "--lose-tx-ack",    "--lose-rx-ack",  "--help"})
        QVERIFY2(text.contains(QLatin1String(option)), option);

    QProcess bad;
    bad.start(tarvelBinary(QStringLiteral("phonesim")), {QStringLiteral("--fault-on"), QStringLiteral("nonsense")});
    QVERIFY(bad.waitForFinished(5000));
    QCOMPARE(bad.exitCode(), 2);

    // The link points at the device while the phone runs and is gone after SIGTERM.
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("phone"));
    PhoneSimProcess sim;
    QVERIFY(sim.start(dir.path(), {QStringLiteral("--link"), link}));
    QCOMPARE(QFileInfo(link).symLinkTarget(), sim.device);
    PhoneLine line;
    QVERIFY(line.open(link));
    QVERIFY(line.at("AT").contains("OK"));
    line.close();
    QCOMPARE(sim.stop(), 0);
    QVERIFY(!QFileInfo::exists(link) && !QFileInfo(link).isSymLink());
}

void PhonesimProtocolTest::demoContent()
{
    QTemporaryDir tmp;
    PhoneSimProcess sim;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), tmp.path());
    sim.process.setProcessEnvironment(environment);
    QVERIFY(sim.start({}));
    QCOMPARE(QDir(tmp.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 1);
    PhoneLine line;
    QVERIFY(line.open(sim.device));
    QVERIFY(line.connect());

    const QByteArray root = line.listing();
    for (const char *folder :
         {"Bitmap", "Ringing tone", "java", "Animation", "Sms", "Internet", "Misc", "Video", "Data"})
        QVERIFY2(root.contains("<folder name=\"" + QByteArray(folder) + "\""), folder);

    QCOMPARE(code(line.setPath(0x02, QStringLiteral("Bitmap"))), 0xA0);
    const QByteArray bitmaps = line.listing();
    QVERIFY(bitmaps.contains("<file name=\"" + toCp1251(QStringLiteral("Рисунок.bmp")) + "\""));
    const QByteArray picture = line.getFile(QStringLiteral("logo.bmp"));
    QVERIFY(picture.startsWith("BM"));
    auto le32 = [](const QByteArray &b, int at) {
        return quint32(quint8(b[at])) | quint32(quint8(b[at + 1])) << 8 | quint32(quint8(b[at + 2])) << 16
            | quint32(quint8(b[at + 3])) << 24;
    };
    QCOMPARE(le32(picture, 2), quint32(picture.size()));
    const quint32 width = le32(picture, 18), height = le32(picture, 22);
    QCOMPARE(quint8(picture[28]), quint8(24));
    QCOMPARE(quint32(picture.size()), 54 + height * ((width * 3 + 3) & ~3u));
    QVERIFY(picture.mid(54).count(picture.at(54)) < picture.size() - 54); // not one flat colour

    QCOMPARE(code(line.setPath(0x03, std::nullopt)), 0xA0);
    QCOMPARE(code(line.setPath(0x02, QStringLiteral("Ringing tone"))), 0xA0);
    const QByteArray tune = line.getFile(QStringLiteral("melody.mid"));
    QVERIFY(tune.startsWith(QByteArray("MThd\0\0\0\x06", 8)));
    QCOMPARE(tune.mid(14, 4), QByteArray("MTrk"));
    const int trackSize =
        (quint8(tune[18]) << 24) | (quint8(tune[19]) << 16) | (quint8(tune[20]) << 8) | quint8(tune[21]);
    QCOMPARE(tune.size(), 22 + trackSize);
    QVERIFY(tune.endsWith(QByteArray("\xFF\x2F\x00", 3)));
    QVERIFY(tune.count(char(0x90)) >= 8); // notes

    QCOMPARE(code(line.setPath(0x03, std::nullopt)), 0xA0);
    QCOMPARE(code(line.setPath(0x02, QStringLiteral("java"))), 0xA0);
    const QByteArray jar = line.getFile(QStringLiteral("Snake.jar"));
    const QByteArray jad = line.getFile(QStringLiteral("Snake.jad"));
    QVERIFY(jad.contains("MIDlet-Jar-Size: " + QByteArray::number(jar.size()) + "\r\n"));
    QVERIFY(jad.contains("MIDlet-Jar-URL: Snake.jar"));
    QTemporaryDir unpacked;
    QVERIFY(writeFile(unpacked.filePath(QStringLiteral("Snake.jar")), jar));
    QProcess unzip;
    unzip.setWorkingDirectory(unpacked.path());
    unzip.start(QStringLiteral("unzip"), {QStringLiteral("-t"), QStringLiteral("Snake.jar")});
    if (unzip.waitForStarted(3000)) {
        QVERIFY(unzip.waitForFinished(5000));
        QCOMPARE(unzip.exitCode(), 0);
        QVERIFY(unzip.readAllStandardOutput().contains("META-INF/MANIFEST.MF"));
    } else {
        QVERIFY(jar.startsWith("PK\x03\x04") && jar.contains("META-INF/MANIFEST.MF"));
    }

    QCOMPARE(code(line.setPath(0x03, std::nullopt)), 0xA0);
    QCOMPARE(code(line.setPath(0x02, QStringLiteral("Data"))), 0xA0);
    QList<QByteArray> responses;
    const QByteArray many = line.listing(&responses);
    QVERIFY(responses.size() >= 3);
    QCOMPARE(many.count("<file name="), 60);

    line.close();
    QCOMPARE(sim.stop(), 0);
    QVERIFY(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
}

void PhonesimProtocolTest::atDialogue()
{
    Session s;
    QVERIFY(s.start({QStringLiteral("--model"), QStringLiteral("S55")}, false));
    QCOMPARE(s.line.at("at"), QByteArray("at\r\r\nOK\r\n"));
    // The program shows characters 11 to 13 of everything read after "at+CGMM".
    const QByteArray model = s.line.at("at+CGMM");
    QCOMPARE(model.mid(10, 3), QByteArray("S55"));
    QVERIFY(model.endsWith("\r\nOK\r\n"));
    QVERIFY(s.line.at("At+cGmI").contains("\r\nSIEMENS\r\n"));
    QVERIFY(s.line.at("AT+GMI").contains("\r\nSIEMENS\r\n"));
    QVERIFY(s.line.at("AT^SIFS").contains("\r\n^SIFS: WIRE\r\n\r\nOK\r\n"));
    QVERIFY(s.line.at("at^sbfb=?").contains("\r\n^SBFB: (0-2)\r\n\r\nOK\r\n"));
    QCOMPARE(s.line.at("ATZ"), QByteArray("ATZ\r\r\nOK\r\n"));
    QCOMPARE(s.line.at("AT+NOSUCH"), QByteArray("AT+NOSUCH\r\r\nERROR\r\n"));
    QCOMPARE(s.line.at("ATE0"), QByteArray("ATE0\r\r\nOK\r\n"));
    QCOMPARE(s.line.at("AT"), QByteArray("\r\nOK\r\n"));
    QVERIFY(s.sim.waitForLog(QStringLiteral("AT At+cGmI")));

    // Default model, as the program's handshake shows it.
    Session plain;
    QVERIFY(plain.start({}, false));
    plain.line.at("at");
    QCOMPARE(plain.line.at("at+CGMM").mid(10, 3), QByteArray("M55"));
}

void PhonesimProtocolTest::handshakeLikeProgram()
{
    Session s;
    QVERIFY(s.start({}, false));
    const QByteArray answer = s.line.connectRaw();
    QVERIFY2(answer.size() >= 47, answer.toHex(' ').constData());
    QVERIFY(answer.startsWith(QByteArray::fromHex("16021401FE")));
    QByteArray block;
    for (int pos = 5; pos + 3 <= answer.size();) {
        const int size = quint8(answer[pos + 1]);
        QCOMPARE(quint8(answer[pos]), quint8(0x16));
        QCOMPARE(quint8(answer[pos + 2]), quint8(0x16 ^ size));
        QVERIFY(size <= 32);
        block += answer.mid(pos + 3, size);
        pos += 3 + size;
    }
    const QByteArray packet = block.mid(5, block.size() - 7);
    QCOMPARE(code(packet), 0xA0);
    QCOMPARE(headerValue(packet, 0x4A, 7).value_or(QByteArray()), siemensTarget);
    QVERIFY(headerValue(packet, 0xCB, 7).has_value());
    s.line.sendAck();
    QVERIFY(s.sim.waitForLog(QStringLiteral("ACK")));
    QCOMPARE(s.sim.logLines(QStringLiteral("BFB-SETUP")),
             QStringList({QStringLiteral("BFB-SETUP type=02 data=0C"),
                          QStringLiteral("BFB-SETUP type=01 data=C0 35 37 36 30 30 CA 89 CF speed=57600"),
                          QStringLiteral("BFB-SETUP type=06 at=at^sifs")}));
    QCOMPARE(
        s.sim.logLines(QStringLiteral("CONNECT")),
        QStringList{QStringLiteral("CONNECT version=10 flags=00 maxlen=4006 target=6B01CB31410611D49A770050DA3F471F")});
    QCOMPARE(s.sim.logLines(QStringLiteral("AT ")),
             QStringList({QStringLiteral("AT at"), QStringLiteral("AT at+CGMM"), QStringLiteral("AT AT^SBFB=1")}));
    QVERIFY(!s.sim.log().contains(QStringLiteral("BAD-")));

    // The program's first request after the connection carries sequence number 1.
    QCOMPARE(code(s.line.setPath(0x02, std::nullopt)), 0xA0);
}

void PhonesimProtocolTest::obexftpStartFrame()
{
    Session s;
    QVERIFY(s.start({}, false));
    QVERIFY(s.line.at("AT^SBFB=1").contains("OK"));
    s.line.write(QByteArray::fromHex("02010314"));
    QCOMPARE(s.line.readBytes(5), QByteArray::fromHex("02020014AA"));
    // AT commands in type-06 frames, and leaving BFB framing that way.
    s.line.write(PhoneLine::frame(0x06, "AT^SBFB=0\r"));
    const QByteArray reply = s.line.readQuiet();
    QCOMPARE(reply.left(3), QByteArray::fromHex("060600"));
    QVERIFY(reply.contains("OK"));
    QCOMPARE(s.line.at("AT"), QByteArray("AT\r\r\nOK\r\n"));
}

void PhonesimProtocolTest::listingFormat()
{
    Session s;
    const QDateTime stamp(QDate(2003, 4, 12), QTime(15, 30, 5));
    QVERIFY(writeDatedFile(s.path(QStringLiteral("b.txt")), "12345", stamp));
    QVERIFY(writeDatedFile(s.path(QStringLiteral("A & \"q\".bin")), QByteArray(1536, 'x'), stamp.addDays(1)));
    QVERIFY(writeDatedFile(s.path(QStringLiteral("Звонок.mid")), "MThd", stamp.addSecs(60)));
    QVERIFY(writeFile(s.path(QStringLiteral(".phonesim-upload-x")), "hidden"));
    QVERIFY(QDir(s.root.path()).mkpath(QStringLiteral("Bitmap")));
    QVERIFY(QDir(s.root.path()).mkpath(QStringLiteral("Фото")));
    for (const QString &folder : {QStringLiteral("Bitmap"), QStringLiteral("Фото")})
        QVERIFY(setModified(s.path(folder), stamp.addDays(-1)));
    QVERIFY(s.start());
    QList<QByteArray> responses;
    const QByteArray listing = s.line.listing(&responses);
    const QByteArray expected = "<?xml version=\"1.0\"?>\r\n"
                                "<!DOCTYPE folder-listing SYSTEM \"obex-folder-listing.dtd\">\r\n"
                                "<folder-listing version=\"1.0\">\r\n"
                                "<folder name=\"Bitmap\" modified=\"20030411T153005\"/>\r\n"
                                "<folder name=\""
        + toCp1251(QStringLiteral("Фото"))
        + "\" modified=\"20030411T153005\"/>\r\n"
          "<file name=\"A &amp; &quot;q&quot;.bin\" size=\"1536\" modified=\"20030413T153005\"/>\r\n"
          "<file name=\"b.txt\" size=\"5\" modified=\"20030412T153005\"/>\r\n"
          "<file name=\""
        + toCp1251(QStringLiteral("Звонок.mid"))
        + "\" size=\"4\" modified=\"20030412T153105\"/>\r\n"
          "</folder-listing>\r\n";
    QCOMPARE(listing.split('\n'), expected.split('\n'));
    // One packet: A0, length, a Length header and End-of-Body, the text from offset 11.
    QCOMPARE(responses.size(), 1);
    const QByteArray &packet = responses.first();
    QCOMPARE(code(packet), 0xA0);
    QCOMPARE(packet.mid(3, 5), PhoneLine::lengthHeader(quint32(expected.size())));
    QCOMPARE(quint8(packet[8]), quint8(0x49));
    QCOMPARE(packet.mid(11), expected);
    QCOMPARE(s.sim.logLines(QStringLiteral("GET")), QStringList{QStringLiteral("GET type=x-obex/folder-listing")});
}

void PhonesimProtocolTest::multiPacketTransfers()
{
    Session s;
    const QByteArray content = randomBytes(100 * 1024, 7);
    QVERIFY(writeFile(s.path(QStringLiteral("big.bin")), content));
    QVERIFY(writeFile(s.path(QStringLiteral("small.bin")), "tiny"));
    for (int i = 0; i < 40; ++i)
        QVERIFY(writeFile(s.path(QStringLiteral("Many/entry%1.txt").arg(i, 2, 10, QLatin1Char('0'))), "x"));
    QVERIFY(s.start({QStringLiteral("--packet"), QStringLiteral("600")}));

    QList<QByteArray> responses;
    QCOMPARE(s.line.getFile(QStringLiteral("big.bin"), &responses), content);
    QVERIFY(responses.size() > 100);
    // First: 90, Length, Body; then Body packets; last: A0 with End-of-Body data.
    QCOMPARE(code(responses.first()), 0x90);
    QCOMPARE(responses.first().mid(3, 5), PhoneLine::lengthHeader(quint32(content.size())));
    QCOMPARE(quint8(responses.first()[8]), quint8(0x48));
    for (int i = 1; i + 1 < responses.size(); ++i) {
        QCOMPARE(code(responses[i]), 0x90);
        QCOMPARE(quint8(responses[i][3]), quint8(0x48));
    }
    QCOMPARE(code(responses.last()), 0xA0);
    QCOMPARE(quint8(responses.last()[3]), quint8(0x49));
    QVERIFY(responses.last().size() > 6);
    for (const QByteArray &response : responses)
        QVERIFY(response.size() <= 600);
    QCOMPARE(s.sim.logLines(QStringLiteral("CONTINUE")).size(), responses.size() - 1);
    QCOMPARE(s.sim.logLines(QStringLiteral("GET name=")), QStringList{QStringLiteral("GET name=big.bin")});

    // Every response comes in frames of at most 32 bytes.
    s.line.sendPacket(PhoneLine::packet(0x83, PhoneLine::nameHeader(QStringLiteral("big.bin"))));
    QCOMPARE(s.line.readReply().kind, PhoneLine::ReplyKind::Ack);
    PhoneLine::Reply reply = s.line.readReply();
    QVERIFY(reply.crcOk);
    for (int size : reply.frameSizes)
        QVERIFY(size <= 32);
    s.line.sendAck();

    responses.clear();
    QCOMPARE(s.line.getFile(QStringLiteral("small.bin"), &responses), QByteArray("tiny"));
    QCOMPARE(responses.size(), 1);
    QCOMPARE(responses.first(), QByteArray::fromHex("A0000FC30000000449000774696E79"));

    QCOMPARE(code(s.line.setPath(0x02, QStringLiteral("Many"))), 0xA0);
    responses.clear();
    const QByteArray listing = s.line.listing(&responses);
    QVERIFY(responses.size() >= 3);
    QCOMPARE(listing.count("<file name="), 40);
    QVERIFY(listing.endsWith("</folder-listing>\r\n"));
}

void PhonesimProtocolTest::emptyFinal()
{
    Session s;
    const QByteArray content = randomBytes(5000, 3);
    QVERIFY(writeFile(s.path(QStringLiteral("f.bin")), content));
    QVERIFY(writeFile(s.path(QStringLiteral("one.bin")), "1"));
    QVERIFY(s.start({QStringLiteral("--empty-final"), QStringLiteral("--packet"), QStringLiteral("1000")}));
    QList<QByteArray> responses;
    QCOMPARE(s.line.getFile(QStringLiteral("f.bin"), &responses), content);
    QCOMPARE(responses.last(), QByteArray::fromHex("A00006490003"));
    // What the program keeps: the first response after byte 11, then each 0x90 after byte 6.
    QByteArray asProgramReadsIt = responses.first().mid(11);
    for (int i = 1; i + 1 < responses.size(); ++i)
        asProgramReadsIt += responses[i].mid(6);
    QCOMPARE(asProgramReadsIt, content);

    responses.clear();
    QCOMPARE(s.line.getFile(QStringLiteral("one.bin"), &responses), QByteArray("1"));
    QCOMPARE(responses.size(), 2);
    QCOMPARE(responses.first(), QByteArray::fromHex("90000CC300000001480004") + "1");

    responses.clear();
    const QByteArray listing = s.line.listing(&responses);
    QVERIFY(listing.endsWith("</folder-listing>\r\n"));
    QCOMPARE(responses.last(), QByteArray::fromHex("A00006490003"));
}

void PhonesimProtocolTest::framesOfAnySize()
{
    Session s;
    QVERIFY(writeFile(s.path(QStringLiteral("x.txt")), "frames"));
    QVERIFY(s.start({QStringLiteral("--frame"), QStringLiteral("255")}));
    const QByteArray get = PhoneLine::packet(0x83, PhoneLine::nameHeader(QStringLiteral("x.txt")));
    for (int frameSize : {1, 2, 5, 7, 31, 32, 33, 255})
        QCOMPARE(s.line.getAll(get, nullptr, frameSize), QByteArray("frames"));
    // Several frames in one write and one frame in several writes.
    QByteArray frames = PhoneLine::dataFrames(PhoneLine::dataBlock(0x03, s.line.sequence++, get), 4);
    for (int i = 0; i < frames.size(); i += 3) {
        s.line.write(frames.mid(i, 3));
        QThread::msleep(1);
    }
    QCOMPARE(s.line.readReply().kind, PhoneLine::ReplyKind::Ack);
    PhoneLine::Reply reply = s.line.readReply();
    QVERIFY(reply.crcOk);
    QCOMPARE(reply.frameSizes.size(), 1); // --frame 255: the whole block in one frame
    s.line.sendAck();
    QVERIFY(!s.sim.log().contains(QStringLiteral("BAD-")));
}

void PhonesimProtocolTest::folders()
{
    Session s;
    QVERIFY(QDir(s.root.path()).mkpath(QStringLiteral("Bitmap/Sub")));
    QVERIFY(writeFile(s.path(QStringLiteral("Bitmap/Sub/deep.txt")), "deep"));
    QVERIFY(writeFile(s.path(QStringLiteral("file.txt")), "f"));
    QVERIFY(s.start());
    QCOMPARE(code(s.line.setPath(0x03, std::nullopt)), 0xC4); // no parent above the root
    QCOMPARE(code(s.line.setPath(0x02, QStringLiteral("Missing"))), 0xC4);
    QCOMPARE(code(s.line.setPath(0x02, QStringLiteral("file.txt"))), 0xC4);
    QCOMPARE(code(s.line.setPath(0x02, QStringLiteral("Bitmap"))), 0xA0);
    QCOMPARE(code(s.line.setPath(0x02, QStringLiteral("Sub"))), 0xA0);
    QVERIFY(s.line.listing().contains("deep.txt"));
    QCOMPARE(code(s.line.setPath(0x03, std::nullopt)), 0xA0);
    QVERIFY(s.line.listing().contains("<folder name=\"Sub\""));
    // Flags 00: make the folder and enter it; an existing one is just entered.
    QCOMPARE(code(s.line.setPath(0x00, QStringLiteral("Новая"))), 0xA0);
    QVERIFY(QFileInfo(s.path(QStringLiteral("Bitmap/Новая"))).isDir());
    const QByteArray empty = s.line.listing();
    QVERIFY(empty.endsWith("</folder-listing>\r\n") && !empty.contains("name="));
    QCOMPARE(code(s.line.setPath(0x03, std::nullopt)), 0xA0);
    QCOMPARE(code(s.line.setPath(0x00, QStringLiteral("Sub"))), 0xA0);
    QVERIFY(s.line.listing().contains("deep.txt"));
    // A name that is a file cannot become a folder.
    QCOMPARE(code(s.line.setPath(0x02, std::nullopt)), 0xA0); // back to the root
    QCOMPARE(code(s.line.setPath(0x00, QStringLiteral("file.txt"))), 0xC3);
    QVERIFY(s.line.listing().contains("<folder name=\"Bitmap\""));
    QCOMPARE(s.sim.logLines(QStringLiteral("SETPATH flags=00")).size(), 3);
    QVERIFY(s.sim.log().contains(QStringLiteral("SETPATH flags=00 name=Новая\n")));
    QVERIFY(s.sim.log().contains(QStringLiteral("SETPATH flags=03\n")));
}

void PhonesimProtocolTest::refusedNames()
{
    Session s;
    QTemporaryDir outside;
    QVERIFY(writeFile(outside.filePath(QStringLiteral("secret.txt")), "secret"));
    QVERIFY(QDir(s.root.path()).mkpath(QStringLiteral("inner")));
    QVERIFY(QFile::link(outside.path(), s.path(QStringLiteral("escape"))));
    QVERIFY(s.start());
    QCOMPARE(code(s.line.setPath(0x02, QStringLiteral(".."))), 0xC0);
    QCOMPARE(code(s.line.setPath(0x00, QStringLiteral("a/b"))), 0xC0);
    QCOMPARE(code(s.line.request(PhoneLine::packet(0x83, PhoneLine::nameHeader(QStringLiteral("../secret.txt"))))),
             0xC0);
    QCOMPARE(code(s.line.request(PhoneLine::packet(0x83, PhoneLine::nameHeader(QStringLiteral("..\\x"))))), 0xC0);
    QByteArray withNul = PhoneLine::header(0x01, QByteArray::fromHex("006100000062") + QByteArray(2, '\0'));
    QCOMPARE(code(s.line.request(PhoneLine::packet(0x83, withNul))), 0xC0);
    // A symbolic link is not part of the phone: not listed, not entered.
    QVERIFY(!s.line.listing().contains("escape"));
    QCOMPARE(code(s.line.setPath(0x02, QStringLiteral("escape"))), 0xC4);
    QCOMPARE(code(s.line.uploadLikeProgram(QStringLiteral(".."), "x")), 0xC0);
    QCOMPARE(code(s.line.remove(QStringLiteral("."))), 0xC0);
    QVERIFY(QFileInfo::exists(outside.filePath(QStringLiteral("secret.txt"))));
    QCOMPARE(QDir(outside.path()).entryList(QDir::Files).size(), 1);
}

void PhonesimProtocolTest::memoryFigures()
{
    Session s;
    QVERIFY(writeFile(s.path(QStringLiteral("a.bin")), QByteArray(1000, 'a')));
    QVERIFY(writeFile(s.path(QStringLiteral("Sub/b.bin")), QByteArray(2345, 'b')));
    QVERIFY(s.start({QStringLiteral("--memory"), QStringLiteral("2000000")}));
    const QByteArray response = s.line.request(QByteArray::fromHex("8300094C0006320101"));
    // The program reads offsets 9 to 11; the figure is four big-endian bytes at 8 to 11.
    QCOMPARE(response.left(8), QByteArray::fromHex("A0000C4C00093204"));
    QCOMPARE(s.line.memory(0x01), std::optional<quint32>(2000000));
    QCOMPARE(s.line.memory(0x02), std::optional<quint32>(2000000 - 3345));
    QCOMPARE(s.sim.logLines(QStringLiteral("GET appparam=")).size(), 3);
    QCOMPARE(s.sim.logLines(QStringLiteral("GET appparam=32:02")).size(), 1);
    // An upload uses memory up; more than is free is refused and leaves nothing.
    QCOMPARE(code(s.line.uploadLikeProgram(QStringLiteral("c.bin"), QByteArray(3000, 'c'))), 0xA0);
    QCOMPARE(s.line.memory(0x02), std::optional<quint32>(2000000 - 6345));

    Session full;
    QVERIFY(writeFile(full.path(QStringLiteral("a.bin")), QByteArray(1000, 'a')));
    QVERIFY(full.start({QStringLiteral("--memory"), QStringLiteral("1500")}));
    QCOMPARE(full.line.memory(0x02), std::optional<quint32>(500));
    QCOMPARE(code(full.line.uploadLikeProgram(QStringLiteral("big.bin"), QByteArray(2000, 'x'))), 0xE0);
    QCOMPARE(QDir(full.root.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("a.bin")});
}

void PhonesimProtocolTest::uploadsWithZeroBytes_data()
{
    QTest::addColumn<int>("size");
    for (int size : {0, 3, 496, 497, 994, 20000})
        QTest::addRow("%d bytes", size) << size;
}

void PhonesimProtocolTest::uploadsWithZeroBytes()
{
    QFETCH(int, size);
    Session s;
    QVERIFY(s.start());
    const QByteArray content = randomBytes(size, quint32(size) + 11);
    QList<QByteArray> responses;
    QCOMPARE(code(s.line.uploadLikeProgram(QStringLiteral("up.bin"), content, &responses)), 0xA0);
    for (int i = 0; i + 1 < responses.size(); ++i)
        QCOMPARE(responses[i], QByteArray::fromHex("900003"));
    QCOMPARE(readFile(s.path(QStringLiteral("up.bin"))), content);
    QCOMPARE(QDir(s.root.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("up.bin")});
    const QStringList puts = s.sim.logLines(QStringLiteral("PUT"));
    const int staged = size + 3 * (size / 497 + 1);
    QCOMPARE(puts.first(),
             QStringLiteral("PUT name=up.bin length=%1 body=%2 extra=3").arg(staged).arg(std::min(size, 497)));
    QCOMPARE(puts.last(), QStringLiteral("PUT-FINAL eob=0"));
}

void PhonesimProtocolTest::uploadReplacesAndAborts()
{
    Session s;
    QVERIFY(writeFile(s.path(QStringLiteral("keep.txt")), "old content"));
    QVERIFY(s.start());
    QCOMPARE(code(s.line.uploadLikeProgram(QStringLiteral("keep.txt"), "new")), 0xA0);
    QCOMPARE(readFile(s.path(QStringLiteral("keep.txt"))), QByteArray("new"));
    QCOMPARE(s.sim.logLines(QStringLiteral("PUT name=keep.txt length=6 body=3 extra=3")).size(), 1);

    // First and one middle packet, then the client goes: nothing is left behind and
    // the file that was there stays as it was.
    const QByteArray content = randomBytes(3000, 5);
    QByteArray first = PhoneLine::nameHeader(QStringLiteral("keep.txt")) + PhoneLine::lengthHeader(3018)
        + PhoneLine::header(0x48, content.left(497)) + QByteArray(3, '\0');
    QCOMPARE(s.line.request(PhoneLine::packet(0x02, first)), QByteArray::fromHex("900003"));
    QCOMPARE(
        s.line.request(PhoneLine::packet(0x02, PhoneLine::header(0x48, content.mid(497, 497)) + QByteArray(3, '\0'))),
        QByteArray::fromHex("900003"));
    QCOMPARE(QDir(s.root.path()).entryList(QDir::Files | QDir::Hidden).size(), 2); // with the hidden part
    QVERIFY(!s.line.listing().contains(".phonesim"));
    s.line.close();
    QVERIFY(s.sim.waitForLog(QStringLiteral("CLOSE")));
    QTRY_COMPARE(QDir(s.root.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("keep.txt")});
    QCOMPARE(readFile(s.path(QStringLiteral("keep.txt"))), QByteArray("new"));

    // An ABORT ends an upload the same way.
    QVERIFY(s.line.open(s.sim.device));
    QVERIFY(s.line.connect());
    QCOMPARE(s.line.request(PhoneLine::packet(0x02, first)), QByteArray::fromHex("900003"));
    QCOMPARE(s.line.request(QByteArray::fromHex("FF0003")), QByteArray::fromHex("A00003"));
    QCOMPARE(QDir(s.root.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("keep.txt")});
}

void PhonesimProtocolTest::deletes()
{
    Session s;
    QVERIFY(writeFile(s.path(QStringLiteral("a.txt")), "a"));
    QVERIFY(QDir(s.root.path()).mkpath(QStringLiteral("Empty")));
    QVERIFY(writeFile(s.path(QStringLiteral("Full/inside.txt")), "i"));
    QVERIFY(s.start());
    QCOMPARE(s.line.remove(QStringLiteral("a.txt")), QByteArray::fromHex("A00003"));
    QVERIFY(!QFileInfo::exists(s.path(QStringLiteral("a.txt"))));
    QCOMPARE(code(s.line.remove(QStringLiteral("a.txt"))), 0xC4);
    QCOMPARE(code(s.line.remove(QStringLiteral("Empty"))), 0xA0);
    QVERIFY(!QFileInfo::exists(s.path(QStringLiteral("Empty"))));
    QCOMPARE(code(s.line.remove(QStringLiteral("Full"))), 0xC3);
    QVERIFY(QFileInfo::exists(s.path(QStringLiteral("Full/inside.txt"))));
    QCOMPARE(s.sim.logLines(QStringLiteral("DELETE")),
             QStringList({QStringLiteral("DELETE name=a.txt"), QStringLiteral("DELETE name=a.txt"),
                          QStringLiteral("DELETE name=Empty"), QStringLiteral("DELETE name=Full")}));
    // A Name with application parameters is no delete: SieFS sets attributes that way.
    QVERIFY(writeFile(s.path(QStringLiteral("kept.txt")), "k"));
    const QByteArray attributes = PhoneLine::header(0x4C, QByteArray::fromHex("3803") + "\"R\"");
    QCOMPARE(s.line.request(PhoneLine::packet(0x82, PhoneLine::nameHeader(QStringLiteral("kept.txt")) + attributes)),
             QByteArray::fromHex("D10003"));
    QCOMPARE(readFile(s.path(QStringLiteral("kept.txt"))), QByteArray("k"));
    // The program's delete block for the one-letter name a: 82 00 0A 01 00 07 00 61 00 00.
    QVERIFY(writeFile(s.path(QStringLiteral("a")), "a"));
    QCOMPARE(s.line.request(QByteArray::fromHex("82000A010007006100 00")), QByteArray::fromHex("A00003"));
    QVERIFY(!QFileInfo::exists(s.path(QStringLiteral("a"))));
}

void PhonesimProtocolTest::cyrillicNames()
{
    Session s;
    QVERIFY(writeFile(s.path(QStringLiteral("Мелодии/Звонок.mid")), "ring"));
    QVERIFY(s.start());
    // The program's way: Windows-1251 bytes behind zero bytes.
    QCOMPARE(code(s.line.setPath(0x02, QStringLiteral("Мелодии"))), 0xA0);
    QCOMPARE(s.line.getFile(QStringLiteral("Звонок.mid")), QByteArray("ring"));
    // obexftp's way: real UTF-16.
    const QByteArray utf16Get =
        PhoneLine::packet(0x83, PhoneLine::header(0x01, utf16NameValue(QStringLiteral("Звонок.mid"))));
    QCOMPARE(s.line.getAll(utf16Get), QByteArray("ring"));
    // Uploaded names land on the host in UTF-8.
    QCOMPARE(code(s.line.uploadLikeProgram(QStringLiteral("Ёлка ё.txt"), "tree")), 0xA0);
    QCOMPARE(readFile(s.path(QStringLiteral("Мелодии/Ёлка ё.txt"))), QByteArray("tree"));
    const QByteArray listing = s.line.listing();
    QVERIFY(listing.contains("<file name=\"" + toCp1251(QStringLiteral("Ёлка ё.txt")) + "\" size=\"4\""));
    QVERIFY(s.sim.log().contains(QStringLiteral("GET name=Звонок.mid\n")));
    QVERIFY(s.sim.log().contains(QStringLiteral("PUT name=Ёлка ё.txt length=7 body=4 extra=3\n")));
}

void PhonesimProtocolTest::badCrcIsNotAnswered()
{
    Session s;
    QVERIFY(writeFile(s.path(QStringLiteral("x.txt")), "x"));
    QVERIFY(s.start());
    QByteArray block = PhoneLine::dataBlock(0x03, s.line.sequence++, QByteArray::fromHex("830003"));
    block[block.size() - 1] = char(block[block.size() - 1] ^ 0x40);
    s.line.write(PhoneLine::dataFrames(block));
    QCOMPARE(s.line.readReply(400).kind, PhoneLine::ReplyKind::Timeout);
    QVERIFY(s.sim.waitForLog(QStringLiteral("BAD-CRC")));
    // The phone goes on with the next good block.
    QCOMPARE(s.line.getFile(QStringLiteral("x.txt")), QByteArray("x"));
}

void PhonesimProtocolTest::responseWaitsForAck()
{
    Session s;
    QVERIFY(writeFile(s.path(QStringLiteral("x.txt")), "x"));
    QVERIFY(s.start());
    s.line.sendPacket(PhoneLine::packet(0x83, PhoneLine::nameHeader(QStringLiteral("x.txt"))));
    QCOMPARE(s.line.readReply().kind, PhoneLine::ReplyKind::Ack);
    QCOMPARE(s.line.readReply().kind, PhoneLine::ReplyKind::Block);
    // No acknowledgement: the next request is acknowledged, its response held back.
    s.line.sendPacket(QByteArray::fromHex("8300094C0006320101"));
    QCOMPARE(s.line.readReply().kind, PhoneLine::ReplyKind::Ack);
    QCOMPARE(s.line.readReply(300).kind, PhoneLine::ReplyKind::Timeout);
    s.line.sendAck();
    PhoneLine::Reply held = s.line.readReply();
    QCOMPARE(held.kind, PhoneLine::ReplyKind::Block);
    QCOMPARE(held.packet.left(8), QByteArray::fromHex("A0000C4C00093204"));
    s.line.sendAck();
}

void PhonesimProtocolTest::reconnectsAndIdles()
{
    Session s;
    QVERIFY(writeFile(s.path(QStringLiteral("x.txt")), "x"));
    QVERIFY(s.start());
    // Leave a response unread, go away, come back: the line starts afresh in AT mode.
    s.line.sendPacket(PhoneLine::packet(0x83, PhoneLine::nameHeader(QStringLiteral("x.txt"))));
    QThread::msleep(100);
    for (int round = 0; round < 5; ++round) {
        s.line.close();
        QVERIFY(s.sim.waitForLog(QStringLiteral("CLOSE"), round + 1));
        QVERIFY(s.line.open(s.sim.device));
        QVERIFY(s.sim.waitForLog(QStringLiteral("OPEN"), round + 2));
        QCOMPARE(s.line.at("AT"), QByteArray("AT\r\r\nOK\r\n"));
        QVERIFY(s.line.connect());
        QCOMPARE(s.line.getFile(QStringLiteral("x.txt")), QByteArray("x"));
    }
    // A client that talks AT to a phone left in BFB mode is answered in AT mode.
    QCOMPARE(s.line.at("AT"), QByteArray("AT\r\r\nOK\r\n"));

    // Idle with and without a client: no busy loop.
    const qint64 pid = s.sim.process.processId();
    const long before = cpuTicks(pid);
    QThread::msleep(500);
    s.line.close();
    QThread::msleep(500);
    const long after = cpuTicks(pid);
    QVERIFY(before >= 0);
    QVERIFY2(after - before <= 5, qPrintable(QStringLiteral("%1 ticks while idle").arg(after - before)));
}

QTEST_GUILESS_MAIN(PhonesimProtocolTest)
#include "tst_phonesim_protocol.moc"
