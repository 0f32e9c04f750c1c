// The link layer: the block receiver alone, against every shape of reply; the link on a
// pseudo-terminal whose master end plays the phone (how blocks go out in frames, the
// sequence counter, how the link mends a line that damages or loses blocks and
// acknowledgements, the per-byte time-out, the blocking pause, a phone that goes away);
// the port itself; and the connect procedure against a scripted phone.

#include "bfbbytes.h"
#include "bfblink.h"
#include "bfbreceiver.h"
#include "bfbtransport.h"
#include "handshake.h"
#include "linkaccess.h"
#include "plaintransport.h"
#include "pty.h"
#include "recordingevents.h"
#include "serialline.h"
#include "serialport.h"
#include "testprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <memory>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace {

// Timings of the mending, scaled down; the phone's pauses are far longer than the quiet.
constexpr int QuietMs = 10;
constexpr int PauseMs = 10 * QuietMs;
constexpr int ResendMs = 300;
constexpr int TimeoutMs = 1500;

// A link on a fresh pseudo-terminal, opened in single-byte mode as after the handshake,
// or left for the connect procedure to open.
struct LinkOnPty
{
    Pty pty;
    RecordingEvents events;
    std::unique_ptr<Checksum> crc = makeChecksum();
    SerialLine line{events, events};
    BfbLink bfb{line, *crc, events};
    QObject timers; // context of a test's timers: none outlives the test

    explicit LinkOnPty(bool opened = true)
    {
        QString reason;
        line.setDevicePath(pty.slavePath());
        if (opened && !LinkTestAccess::openAsConnected(line, pty.slavePath(), &reason))
            throw std::runtime_error(reason.toStdString());
        line.setQuietInterval(QuietMs);
        bfb.setResendInterval(ResendMs);
        line.setTimeoutInterval(TimeoutMs);
    }
};

// Sends each piece after the one before, delayMs apart (the first after delayMs).
void sendSpaced(LinkOnPty &t, const QList<QByteArray> &pieces, int delayMs)
{
    for (qsizetype i = 0; i < pieces.size(); ++i)
        QTimer::singleShot(int(i + 1) * delayMs, &t.timers, [&t, piece = pieces[i]] { t.pty.send(piece); });
}

using Reply = BfbReceiver::Reply;

QByteArray flipped(QByteArray bytes, qsizetype at, int bit = 0)
{
    bytes[at] = char(bytes[at] ^ (1 << bit));
    return bytes;
}

// A GET response of the given size: A0, its length, then varied bytes.
QByteArray packetOf(int size)
{
    QByteArray packet = hex("A0") + char(size >> 8) + char(size & 0xFF);
    for (int i = 3; i < size; ++i)
        packet += char(i * 37);
    return packet;
}

// In the order of BfbReceiver::Fault.
const char *const FaultNames[] = {"not-a-frame", "header-check", "empty-frame",    "complement",
                                  "length",      "crc",          "trailing-bytes", "sent-again"};

QString blockText(int sequence, const QByteArray &packet)
{
    return QStringLiteral("block %1 %2").arg(sequence).arg(QString::fromLatin1(packet.toHex()));
}

QString describe(const Reply &reply)
{
    if (reply.kind == Reply::Kind::Acknowledge)
        return QStringLiteral("ack");
    if (reply.kind == Reply::Kind::Block)
        return blockText(reply.sequence, reply.packet);
    return QStringLiteral("bad %1 ").arg(QLatin1String(FaultNames[int(reply.fault)]))
        + (reply.drainLine ? QStringLiteral("drain") : QStringLiteral("leftover %1").arg(reply.leftover));
}

// Feeds every burst byte by byte to a fresh receiver, as the link reads them. The line is
// quiet between bursts (the first byte of a burst comes after a pause): a reply that asks
// for a drain loses the rest of its burst.
QStringList receive(const QList<QByteArray> &bursts)
{
    const std::unique_ptr<Checksum> component = makeChecksum();
    BfbReceiver receiver(*component);
    QStringList replies;
    for (const QByteArray &burst : bursts) {
        for (qsizetype i = 0; i < burst.size(); ++i) {
            const auto reply = receiver.feed(quint8(burst.at(i)), i == 0 && &burst != &bursts.first());
            if (!reply)
                continue;
            replies.append(describe(*reply));
            if (reply->drainLine)
                break;
        }
    }
    return replies;
}

// A phone on its own thread, so that it answers while the program blocks in a
// pause. Each rule waits for its request at the start of the unanswered input and
// then sends its reply.
class ScriptedPhone
{
public:
    struct Rule
    {
        QByteArray request;
        QByteArray reply;
    };

    ScriptedPhone(const Pty &pty, std::vector<Rule> rules)
        : m_pty(pty), m_rules(std::move(rules)), m_thread([this] { serve(); })
    {}
    ~ScriptedPhone()
    {
        m_stop = true;
        m_thread.join();
    }

    QByteArray received() const
    {
        std::lock_guard lock(m_mutex);
        return m_received;
    }

private:
    void serve()
    {
        QByteArray pending;
        size_t next = 0;
        while (!m_stop) {
            pollfd p{m_pty.master(), POLLIN, 0};
            if (::poll(&p, 1, 10) > 0) {
                char buffer[1024];
                const ssize_t n = ::read(m_pty.master(), buffer, sizeof buffer);
                if (n > 0) {
                    std::lock_guard lock(m_mutex);
                    m_received.append(buffer, n);
                    pending.append(buffer, n);
                }
            }
            while (next < m_rules.size() && pending.startsWith(m_rules[next].request)) {
                const Rule &rule = m_rules[next++];
                pending.remove(0, rule.request.size());
                m_pty.send(rule.reply);
            }
        }
    }

    const Pty &m_pty;
    std::vector<Rule> m_rules;
    mutable std::mutex m_mutex;
    QByteArray m_received;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

using Rule = ScriptedPhone::Rule;

// The link acknowledgement, then the CONNECT response in one frame: 47 bytes.
const QByteArray ConnectAnswer =
    Bfb::AckFrame + bfbFrame(hex("02FD000020 A000201000040046") + QByteArray(24, char(0x11)) + hex("C1C2"));

std::vector<Rule> workingPhone()
{
    return {
        {Bfb::PingFrame, ""}, // in AT mode: no answer
        {"at\r\n", "\r\nOK\r\n"},
        // An echoing phone: characters 11 to 13 of the whole reply are the model.
        {"at+CGMM\r\n", "at+CGMM\r\r\nM55\r\n\r\nOK\r\n"},
        {"AT^SBFB=1\r\n", "\r\nOK\r\n"},
        {Bfb::SetupFrame, hex("020103CC")},
        {Bfb::SpeedFrame, Bfb::SpeedFrame},
        {Bfb::SifsFrame, hex("06060C") + "\r\nOK\r\n"},
        {ConnectFrames, ConnectAnswer},
    };
}

QByteArray requests(const std::vector<Rule> &rules)
{
    QByteArray all;
    for (const Rule &rule : rules)
        all += rule.request;
    return all;
}

// Every event of a successful attempt, in order.
const QStringList Complete = {
    "state Disable",     "step attempting",       "step port opened",    "step waking",       "step asking model",
    "model M55",         "step switching to BFB", "step setting up BFB", "step opening OBEX", "step link up",
    "step listing root", "step root listed",      "step established",
};

QStringList failedAfter(int events, const QString &step)
{
    return Complete.mid(0, events) + QStringList{QStringLiteral("failed ") + step, QStringLiteral("state enable")};
}

struct Attempt : LinkOnPty
{
    PhoneConnector connector{line, bfb, events, ConnectPacket, DisconnectPacket};

    Attempt() : LinkOnPty(false)
    {
        line.setPauseScale(0.15);
        line.setTimeoutInterval(2000);
    }
};

// Answers of real phones in plain OBEX, each read as recorded (node-sie-serial,
// tests/obex/phones/db, in ../shared/real-phones/): M56v06 (x55/x60), S66v34 (x65),
// S75v47 (x75).
const QList<QByteArray> M56Connect = {hex("a0001f"), hex("100001dacb000001004a00136b"), hex("01cb31410611d49a770050"),
                                      hex("da3f471f")};
const QList<QByteArray> S66Connect = {hex("a0001f10000406cb000001004a"), hex("00136b01cb31410611d49a77"),
                                      hex("0050da3f471f")};
const QList<QByteArray> S75Connect = {hex("a0001f1000"), hex("2010cb000004004a00136b01cb"),
                                      hex("31410611d49a770050da3f47"), hex("1f")};
// M56v06: the last piece of the root listing, then the empty End-of-Body.
const QList<QByteArray> M56ListingEnd = {
    hex("90005e48005b6f64756c"),     hex("6522206d6f6469666965643d"), hex("2232303034303632395431"),
    hex("34313632382220757365722d"), hex("7065726d3d22525744222067"), hex("726f75702d7065726d3d22"),
    hex("5722202f3e0d0a3c2f666f6c"), hex("6465722d6c697374696e67"),   hex("3e0d0a")};
const QList<QByteArray> M56EndOfBody = {hex("a000064900"), hex("03")};
// S66v34: SETPATH into "probe-missing-dir" answered C3.
const QByteArray S66MissingFolder =
    hex("85002c020001002700700072006f00620065002d006d0069007300730069006e0067002d0064006900720000");
// S75v47: GET "probe.bin" answered with the whole 3000-byte file in one packet.
const QByteArray S75GetProbe = hex("83001a01001700700072006f00620065002e00620069006e0000");
const QByteArray S75Probe = hex("a00bc3c300000bb8490bbb") + QByteArray(3000, 'A');

QByteArray joined(const QList<QByteArray> &pieces)
{
    QByteArray all;
    for (const QByteArray &piece : pieces)
        all += piece;
    return all;
}

// A plain-OBEX phone of the given family: "AT^SQWE" taken, CONNECT answered as recorded.
std::vector<Rule> plainPhone(const QByteArray &model, const QList<QByteArray> &connectAnswer)
{
    return {
        {Bfb::PingFrame, ""},
        {"at\r\n", "\r\nOK\r\n"},
        {"at+CGMM\r\n", "at+CGMM\r\r\n" + model + "\r\n\r\nOK\r\n"},
        {"AT^SQWE=0\r\n", "\r\nOK\r\n"},
        {"AT^SQWE=3\r\n", "\r\nOK\r\n"},
        {ConnectPacket, joined(connectAnswer)},
    };
}

std::vector<Rule> prepended(const Rule &first, std::vector<Rule> rules)
{
    rules.insert(rules.begin(), first);
    return rules;
}

} // namespace

class FramesTest : public QObject
{
    Q_OBJECT

private slots:
    void receiverReplies_data();
    void receiverReplies();
    void sequenceWrapsAfter255();
    void responseInPlaceOfTheAcknowledgementIsTheReply();
    void badReplies_data();
    void badReplies();
    void repeatIsAcknowledgedAgainAndDropped();
    void unacknowledgedBlockGoesAgain();
    void silentPhoneGetsThreeResendsThenTheTimeout();
    void responseAfterADamagedAcknowledgementIsKept();
    void commandByte_data();
    void commandByte();
    void transportAcknowledgesTheAnswer_data();
    void transportAcknowledgesTheAnswer();

    void eachByteHasItsOwnTimeout();
    void expiredTimeoutWinsOverAWaitingByte();
    void pauseBlocksEventsAndTimers();
    void goneLineEndsByTimeout();

    void portLinks();

    void connectsAndListsTheRoot_data();
    void connectsAndListsTheRoot();
    void failedSteps_data();
    void failedSteps();
    void speedStep_data();
    void speedStep();
    void runWhileLinkedClosesTheLink_data();
    void runWhileLinkedClosesTheLink();

    void plainExchanges_data();
    void plainExchanges();
    void plainFaults_data();
    void plainFaults();
    void plainModeChosen_data();
    void plainModeChosen();
    void plainClose_data();
    void plainClose();
    void plainConnectRefused();

    void writesOfAnySize();
};

// The block receiver alone, against the shapes a phone and a noisy cable give: blocks
// cut into frames anywhere, flipped bits in every checked field, text in place of frames.
// The blocks are built with an independent CRC; the receiver checks them with the
// checksum component itself.
void FramesTest::receiverReplies_data()
{
    QTest::addColumn<QList<QByteArray>>("bursts");
    QTest::addColumn<QStringList>("expected");

    const QByteArray ack = hex("16 02 14 01 FE");
    const QByteArray small = hex("A0 00 03");
    const QByteArray smallBlock = bfbBlock(5, small);
    const QByteArray p40 = packetOf(40);
    const QByteArray b40 = bfbBlock(9, p40); // 47 bytes
    const QByteArray p27 = packetOf(27);
    const QByteArray b27 = bfbBlock(2, p27); // 34 bytes: the packet ends the first frame
    const QByteArray p26 = packetOf(26);
    const QByteArray b26 = bfbBlock(3, p26); // 33 bytes: the last CRC byte alone

    QTest::newRow("CRC alone in a frame of 2") << QList{bfbFrames(b27, {32, 2})} << QStringList{blockText(2, p27)};
    QTest::newRow("last CRC byte alone in a frame of 1")
        << QList{bfbFrames(b26, {32, 1})} << QStringList{blockText(3, p26)};
    // The program's own CONNECT block, CRC 0xE321, cut the same way.
    QTest::newRow("CONNECT block with its CRC high byte alone")
        << QList{ConnectFrames} << QStringList{blockText(0, ConnectPacket)};
    QTest::newRow("block header split across frames")
        << QList{bfbFrames(smallBlock, {1, 3, 6})} << QStringList{blockText(5, small)};
    QTest::newRow("sequence 255, bytes 00 and FF")
        << QList{bfbFrames(bfbBlock(255, hex("A0 00 05 00 FF")))} << QStringList{blockText(255, hex("A0 00 05 00 FF"))};
    const QByteArray largest = packetOf(0x4006);
    QTest::newRow("largest packet the program accepts")
        << QList{bfbFrames(bfbBlock(7, largest))} << QStringList{blockText(7, largest)};
    QTest::newRow("acknowledgement, then a block")
        << QList{ack + bfbFrames(smallBlock)} << QStringList{"ack", blockText(5, small)};
    QTest::newRow("too long acknowledgement frame: its extra payload starts the next reply")
        << QList{bfbFrame(hex("01 FE") + ack)} << QStringList{"ack", "ack"};
    QTest::newRow("too long acknowledgement frame with noise after it")
        << QList{bfbFrame(hex("01 FE 00"))} << QStringList{"ack", "bad not-a-frame drain"};

    // A damaged block read to its end leaves nothing on the line: the resend follows at once.
    QTest::newRow("flipped bit in the packet, then the resend")
        << QList{bfbFrames(flipped(b40, 20, 3), {32, 15}) + bfbFrames(b40, {32, 15})}
        << QStringList{"bad crc leftover 0", blockText(9, p40)};
    QTest::newRow("flipped bit in the CRC, then the resend")
        << QList{bfbFrames(flipped(b26, 32, 7), {32, 1}) + bfbFrames(b26, {32, 1})}
        << QStringList{"bad crc leftover 0", blockText(3, p26)};
    QTest::newRow("flipped bit in the sequence number")
        << QList{bfbFrames(flipped(smallBlock, 2))} << QStringList{"bad crc leftover 0"};
    // A frame header that fails its check hides where the block ends: the line is drained.
    QTest::newRow("flipped bit in a frame header check, then the resend")
        << QList{flipped(bfbFrames(b40, {32, 15}), 35 + 2, 4), bfbFrames(b40, {32, 15})}
        << QStringList{"bad header-check drain", blockText(9, p40)};
    QTest::newRow("wrong complement, then the resend")
        << QList{bfbFrames(flipped(smallBlock, 1)), bfbFrames(smallBlock)}
        << QStringList{"bad complement drain", blockText(5, small)};
    QTest::newRow("plain text OK, then an acknowledgement")
        << QList{QByteArray("OK\r\n"), ack} << QStringList{"bad not-a-frame drain", "ack"};
    QTest::newRow("continuation frame of another type")
        << QList{flipped(bfbFrames(b40, {32, 15}), 35, 0)} << QStringList{"bad not-a-frame drain"};
    QTest::newRow("block length 0x8000") << QList{bfbFrame(hex("03 FC 01 80 00 A0 00 03"))}
                                         << QStringList{"bad length drain"};
    QTest::newRow("block length beyond what the component covers")
        << QList{bfbFrame(hex("03 FC 01 7F FD A0"))} << QStringList{"bad length drain"};
    QTest::newRow("acknowledgement command in a frame of length 1")
        << QList{hex("16 01 17 01 FE")} << QStringList{"bad not-a-frame drain"};
    QTest::newRow("empty frame") << QList{hex("16 00 16") + ack} << QStringList{"bad empty-frame drain"};
    // A block that passed its CRC but whose frame goes on: the rest of the frame is dropped.
    QTest::newRow("frame longer than its block, then the resend")
        << QList{bfbFrame(smallBlock + hex("11 22 33")) + bfbFrames(smallBlock)}
        << QStringList{"bad trailing-bytes leftover 3", blockText(5, small)};
    QTest::newRow("frame longer than a damaged block")
        << QList{bfbFrame(flipped(smallBlock, 6) + hex("11 22 33"))} << QStringList{"bad crc drain"};
    QTest::newRow("block cut short") << QList{bfbFrames(b40, {32, 15}).left(40)} << QStringList{};
    // A flipped bit that enlarges the block length: the block waits for bytes that never
    // come, until the phone sends it again after a pause.
    const QByteArray longer = bfbFrames(flipped(b40, 3, 2), {32, 15});
    QTest::newRow("enlarged length, then the resend after a pause")
        << QList{longer, bfbFrames(b40, {32, 15})} << QStringList{"bad sent-again leftover 0", blockText(9, p40)};
    QTest::newRow("enlarged length, then the resend in frames of 3")
        << QList{longer, bfbFrames(b40, {3, 3, 3})} << QStringList{"bad sent-again leftover 0", blockText(9, p40)};
    // Without a pause, or with another sequence number, the bytes belong to the block.
    QTest::newRow("enlarged length, a frame with the same header at once")
        << QList{longer + bfbFrames(b40, {32, 15})} << QStringList{};
    QTest::newRow("enlarged length, then another block after a pause")
        << QList{longer, bfbFrames(bfbBlock(10, p40), {32, 15})} << QStringList{};
}

void FramesTest::receiverReplies()
{
    QFETCH(QList<QByteArray>, bursts);
    QTEST(receive(bursts), "expected");
}

void FramesTest::sequenceWrapsAfter255()
{
    LinkOnPty t;
    // Blocks and prebuilt frames advance the counter alike.
    for (const bool prebuilt : {false, true}) {
        LinkTestAccess::setSequence(t.bfb, 255);
        for (const int next : {0, 1}) {
            t.pty.send(Bfb::AckFrame);
            if (prebuilt)
                t.bfb.sendPrebuilt(hex("160117AA"));
            else
                t.bfb.SendPacket(hex("03FC000000AAAA"));
            QCOMPARE(t.bfb.bfbSequence(), qint16(next));
        }
    }
}

void FramesTest::responseInPlaceOfTheAcknowledgementIsTheReply()
{
    // The acknowledgement was lost and the response came in its place: it is the next
    // reply, read once and nothing after it, whether the block was prebuilt or not.
    for (const bool prebuilt : {false, true}) {
        LinkOnPty t;
        t.pty.send(bfbFrame(bfbBlock(7, hex("A00003"))) + hex("99"));
        if (prebuilt)
            t.bfb.sendPrebuilt(hex("160711 03FC010000AAAA"));
        else
            t.bfb.SendPacket(hex("03FC010000AAAA"));
        QCOMPARE(t.line.bytesWaiting(), 1);
        QCOMPARE(t.bfb.bfbSequence(), qint16(2));
        QCOMPARE(t.pty.drain(), hex("160711 03FC010000AAAA"));
        QCOMPARE(t.bfb.ReceiveReply().packet, hex("A00003"));
    }
}

// A bad reply is dropped unacknowledged until the phone sends it again; the third in a
// row ends the link.
void FramesTest::badReplies_data()
{
    QTest::addColumn<QByteArray>("bad");
    QTest::addColumn<bool>("sentAgainWhole");
    const QByteArray block = bfbBlock(7, counting(40, 0x30));
    // The damaged copy ends where the good one would: its rest is known, nothing to drain.
    QByteArray flipped = block;
    flipped[9] = char(flipped[9] ^ 0x80);
    QTest::newRow("wrong CRC") << bfbFrames(flipped) << true;
    QTest::newRow("wrong CRC three times") << bfbFrames(flipped) << false;
    // Text or a damaged frame header leaves the rest unknown: the line is drained until quiet.
    QTest::newRow("plain OK from a phone still in AT mode, three times") << QByteArray("\r\nOK\r\n") << false;
    QByteArray header = bfbFrames(block);
    header[1] = char(header[1] ^ 0x01);
    QTest::newRow("damaged frame length") << header << true;
    // An enlarged block length would take the resend for the rest of the block.
    QByteArray longer = block;
    longer[3] = char(longer[3] ^ 0x02);
    QTest::newRow("enlarged block length") << bfbFrames(longer) << true;
}

void FramesTest::badReplies()
{
    QFETCH(QByteArray, bad);
    QFETCH(bool, sentAgainWhole);
    LinkOnPty t;
    const int half = int(bad.size() / 2 + 1);
    const QByteArray good = bfbFrames(bfbBlock(7, counting(40, 0x30)));
    t.pty.send(bad.left(half));
    sendSpaced(t, {bad.mid(half), sentAgainWhole ? good : bad, bad}, PauseMs);
    if (sentAgainWhole) {
        QCOMPARE(t.bfb.ReceiveReply().packet, counting(40, 0x30));
        QVERIFY(!t.events.repairs.isEmpty());
        QVERIFY(t.events.losses.isEmpty());
    } else {
        QVERIFY_THROWS_EXCEPTION(LinkLost, t.bfb.ReceiveReply());
        QCOMPARE(t.events.losses, QList<LinkLoss>{LinkLoss::BadData});
        QCOMPARE(t.events.repairs, QList<LinkRepair>({LinkRepair::BadReplyDropped, LinkRepair::BadReplyDropped}));
        QVERIFY(!t.line.isPortOpen());
    }
    QVERIFY(t.pty.drain().isEmpty()); // nothing bad was acknowledged
}

void FramesTest::repeatIsAcknowledgedAgainAndDropped()
{
    LinkOnPty t;
    const QByteArray first = bfbFrames(bfbBlock(4, hex("900003")));
    t.pty.send(first);
    QCOMPARE(t.bfb.ReceiveReply().packet, hex("900003"));
    t.bfb.SendAck();
    // The acknowledgement was lost: the phone sends block 4 again before block 5.
    t.pty.send(first + bfbFrames(bfbBlock(5, hex("A00003"))));
    QCOMPARE(t.bfb.ReceiveReply().packet, hex("A00003"));
    QCOMPARE(t.pty.drain(), Bfb::AckFrame + Bfb::AckFrame);
    QCOMPARE(t.events.repairs, QList<LinkRepair>{LinkRepair::RepeatAcknowledged});
}

void FramesTest::unacknowledgedBlockGoesAgain()
{
    LinkOnPty t;
    const QByteArray block = bfbBlock(1, hex("830003"));
    const QByteArray frames = hex("160A1C") + block;
    // The first copy is lost on the way; a phone slower than the resend acknowledges
    // both copies before its response, and neither is taken for the response.
    const QByteArray answer = Bfb::AckFrame + Bfb::AckFrame + bfbFrames(bfbBlock(1, hex("A00003")));
    ScriptedPhone phone(t.pty, {{frames + frames, answer}});
    QElapsedTimer clock;
    clock.start();
    t.bfb.SendPacket(block);
    // The resend timer is a coarse one: it may fire up to 5% early.
    QVERIFY(clock.elapsed() >= ResendMs * 95 / 100);
    QCOMPARE(t.bfb.ReceiveReply().packet, hex("A00003"));
    QCOMPARE(phone.received(), frames + frames);
    QCOMPARE(t.bfb.bfbSequence(), qint16(2));
    QCOMPARE(t.events.repairs, QList<LinkRepair>{LinkRepair::BlockSentAgain});
}

void FramesTest::silentPhoneGetsThreeResendsThenTheTimeout()
{
    LinkOnPty t;
    const QByteArray frames = hex("160A1C") + bfbBlock(1, hex("830003"));
    QElapsedTimer clock;
    clock.start();
    QVERIFY_THROWS_EXCEPTION(LinkLost, t.bfb.sendPrebuilt(frames));
    // The receive time-out bounds the whole wait, resends or not.
    QVERIFY(clock.elapsed() >= TimeoutMs);
    QVERIFY(clock.elapsed() < 2 * TimeoutMs);
    QCOMPARE(t.events.losses, QList<LinkLoss>{LinkLoss::Timeout});
    QVERIFY(t.line.timedOut());
    QVERIFY(!t.line.isPortOpen());
    QCOMPARE(t.pty.drain(), frames + frames + frames + frames);
}

void FramesTest::responseAfterADamagedAcknowledgementIsKept()
{
    LinkOnPty t;
    // The acknowledgement arrives damaged and the response a moment later: the block
    // reached the phone, and its response is the next reply.
    t.pty.send(hex("16021401FF"));
    sendSpaced(t, {bfbFrames(bfbBlock(1, hex("A0000548AB")))}, PauseMs);
    t.bfb.sendPrebuilt(hex("160A1C") + bfbBlock(1, hex("830003")));
    QCOMPARE(t.bfb.ReceiveReply().packet, hex("A0000548AB"));
    QCOMPARE(t.line.bytesWaiting(), 0);
    QCOMPARE(t.events.repairs, QList<LinkRepair>{LinkRepair::BadReplyDropped});
}

// Entering or making a folder and getting a file choose 0x02 at sequence 1 only.
void FramesTest::commandByte_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QList<int>>("sequences");
    QTest::addColumn<QList<int>>("commands");
    const QList<int> around1{0, 1, 2, 255};
    const QList<int> counterChosen{3, 2, 3, 3};
    const QList<int> always3{3, 3, 3, 3};
    const QByteArray name = hex("01 00 07 00 61 00 00");
    QTest::newRow("enter folder") << hex("85 00 0C 02 00") + name << around1 << counterChosen;
    QTest::newRow("make folder") << hex("85 00 0C 00 00") + name << around1 << counterChosen;
    QTest::newRow("get file") << hex("83 00 0A") + name << around1 << counterChosen;
    QTest::newRow("parent folder") << hex("85 00 05 03 00") << around1 << always3;
    QTest::newRow("folder listing") << hex("83 00 1C 42 00 19") + "x-obex/folder-listing" + hex("00") << around1
                                    << always3;
    QTest::newRow("memory figure") << hex("83 00 09 4C 00 06 32 01 01") << around1 << always3;
    QTest::newRow("continuation") << hex("83 00 03") << around1 << always3;
    QTest::newRow("delete") << hex("82 00 0A") + name << around1 << always3;
    QTest::newRow("upload end") << hex("82 00 06 49 00 03") << around1 << always3;
    QTest::newRow("disconnect") << hex("81 00 03") << around1 << always3;
    QTest::newRow("connect") << ConnectPacket << QList<int>{0} << QList<int>{2};
}

void FramesTest::commandByte()
{
    QFETCH(QByteArray, request);
    QFETCH(QList<int>, sequences);
    QFETCH(QList<int>, commands);
    for (qsizetype i = 0; i < sequences.size(); ++i)
        QCOMPARE(int(quint8(Bfb::commandFor(request, sequences[i]))), commands[i]);
}

void FramesTest::transportAcknowledgesTheAnswer_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("reported"); // the sequence indicator, -1: not shown
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<int>("sequence");
    const QByteArray listing = hex("83 00 1C 42 00 19") + "x-obex/folder-listing" + hex("00");
    const QByteArray get = hex("83 00 1E 01 00 1B") + counting(24, 0x40);
    QTest::newRow("get file at 1, in two frames") << get << -1 << bfbFrames(bfbBlock(1, get, 0x02)) << 1;
    QTest::newRow("listing at 9") << listing << 9 << bfbFrames(bfbBlock(9, listing)) << 9;
}

// One exchange: the block, its acknowledgement awaited, the response acknowledged before
// its packet comes back; the listing shows its sequence number.
void FramesTest::transportAcknowledgesTheAnswer()
{
    QFETCH(QByteArray, request);
    QFETCH(int, reported);
    QFETCH(QByteArray, sent);
    QFETCH(int, sequence);
    LinkOnPty t;
    LinkTestAccess::setSequence(t.bfb, sequence);
    const QByteArray response = hex("A0 00 06 49 00 03");
    ScriptedPhone phone(t.pty, {{sent, Bfb::AckFrame + bfbFrames(bfbBlock(4, response))}});
    BfbTransport transport(t.bfb, t.events);
    QCOMPARE(transport.exchange(request), response);
    QTRY_COMPARE(phone.received(), sent + Bfb::AckFrame);
    QCOMPARE(t.bfb.bfbSequence(), qint16(sequence + 1));
    QCOMPARE(t.events.sequence, reported);
}

void FramesTest::eachByteHasItsOwnTimeout()
{
    LinkOnPty t;
    t.line.setTimeoutInterval(400);
    // Three bytes 300 ms apart: 900 ms in all, each inside its own 400 ms.
    for (int i = 0; i < 3; ++i)
        QTimer::singleShot(300 * (i + 1), Qt::PreciseTimer, &t.timers,
                           [&t, i] { t.pty.send(QByteArray(1, char('A' + i))); });
    QElapsedTimer clock;
    clock.start();
    for (const char expected : {'A', 'B', 'C'})
        QCOMPARE(t.line.ReadByte(), quint8(expected));
    QVERIFY(clock.elapsed() >= 850);
    QVERIFY(!t.line.timedOut());
}

void FramesTest::expiredTimeoutWinsOverAWaitingByte()
{
    LinkOnPty t;
    t.line.setTimeoutInterval(100);
    // An event handler holds the thread past the time-out, and a byte lands meanwhile.
    QTimer::singleShot(20, &t.timers, [&] {
        QThread::msleep(250);
        t.pty.send("Z");
        QThread::msleep(20);
    });
    QVERIFY_THROWS_EXCEPTION(LinkLost, t.line.ReadByte());
    QCOMPARE(t.events.losses, QList<LinkLoss>{LinkLoss::Timeout});
}

void FramesTest::pauseBlocksEventsAndTimers()
{
    LinkOnPty t;
    t.line.setMonitorInterval(10);
    const int updatesBefore = t.events.waitingBytesUpdates;
    bool fired = false;
    QTimer::singleShot(10, &t.timers, [&] { fired = true; });
    QElapsedTimer clock;
    clock.start();
    t.line.pause(200);
    QVERIFY(clock.elapsed() >= 195);
    QVERIFY(!fired);
    QCOMPARE(t.events.waitingBytesUpdates, updatesBefore);
    QTRY_VERIFY(fired);
}

// A hung-up device stays readable without data, a closed port has none: only the time-out ends the wait.
void FramesTest::goneLineEndsByTimeout()
{
    LinkOnPty t;
    t.line.setTimeoutInterval(300);
    QTimer::singleShot(50, &t.timers, [&] {
        t.pty.dropKeeper();
        t.pty.closeMaster();
    });
    QVERIFY_THROWS_EXCEPTION(LinkLost, t.line.ReadByte());
    QCOMPARE(t.events.losses, QList<LinkLoss>{LinkLoss::Timeout});
    QVERIFY(!t.line.isPortOpen());
    QVERIFY_THROWS_EXCEPTION(LinkLost, t.line.ReadByte());
    QCOMPARE(t.events.losses, QList<LinkLoss>({LinkLoss::Timeout, LinkLoss::Timeout}));
}

// A link in the ports folder stands for its port; a device is taken by one port at a time.
void FramesTest::portLinks()
{
    Pty pty;
    QDir(SerialPort::portsFolder()).removeRecursively();
    QVERIFY(QDir().mkpath(SerialPort::portsFolder()));
    const QString com3 = SerialPort::portsFolder() + QStringLiteral("/com3");
    QVERIFY(QFile::link(pty.slavePath(), com3));
    SerialPort port;
    port.setPortNumber(3);
    port.setRts(true);
    QString reason;
    QVERIFY2(port.open(&reason), qPrintable(reason));
    QCOMPARE(port.openedDevicePath(), com3);
    // RTS on a line without modem lines changes nothing and keeps the port open.
    port.setRts(false);
    QVERIFY(port.isOpen());
    QVERIFY(port.write("at\r\n"));
    QCOMPARE(pty.receive(4), QByteArray("at\r\n"));
    // The same device a second time is busy.
    SerialPort second;
    second.setPortNumber(3);
    QVERIFY(!second.open(&reason));
    QCOMPARE(second.openError(), SerialPort::OpenError::Busy);
}

// More than the pseudo-terminal buffers at once: write continues partial writes
// until a slow reader has taken everything.
void FramesTest::writesOfAnySize()
{
    Pty pty;
    SerialPort port;
    port.setDevicePath(pty.slavePath());
    QVERIFY(port.open());
    const QByteArray big = randomBytes(200000, 7);
    QByteArray got;
    std::thread reader([&] { got = pty.receive(int(big.size()), 10000); });
    QVERIFY(port.write(big));
    reader.join();
    QVERIFY(got == big);
}

// The connect procedure against a scripted phone. The pauses are scaled down (the
// program itself keeps them at full length).
// The phone's CONNECT response is the packet of its sound block.
void FramesTest::connectsAndListsTheRoot_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QByteArray>("response");
    // M56v06's answer as recorded: 474 bytes, connection id 00000100, Who the Siemens UUID.
    const QByteArray recorded = hex("a0001f10 0001da cb00000100 4a0013 6b01cb31410611d49a770050da3f471f");
    const auto answer = [](QByteArray packet) { return Bfb::AckFrame + bfbFrames(bfbBlock(0, packet, 0x02)); };
    QTest::newRow("recorded x55") << answer(recorded) << recorded;
    QTest::newRow("a block that fails its check") << ConnectAnswer << QByteArray();
}

void FramesTest::connectsAndListsTheRoot()
{
    QFETCH(QByteArray, answer);
    Attempt a;
    std::vector<Rule> rules = workingPhone();
    rules.back().reply = answer;
    ScriptedPhone phone(a.pty, rules);
    LinkTestAccess::setSequence(a.bfb, 42);
    int listings = 0;
    QVERIFY(a.connector.run([&] {
        ++listings;
        // The link is up: single-byte mode, first block after CONNECT carries 1.
        QCOMPARE(a.bfb.bfbSequence(), qint16(1));
        QCOMPARE(LinkTestAccess::readLength(a.line), SerialPort::SingleByte);
        QVERIFY(LinkTestAccess::connectedMonitorRunning(a.line));
        QCOMPARE(a.events.log, Complete.mid(0, 11));
        QTRY_COMPARE(phone.received(), requests(workingPhone()) + Bfb::AckFrame);
        QCOMPARE(a.line.bytesWaiting(), 0); // the CONNECT answer was read whole
    }));
    QTEST(a.connector.connectResponse(), "response");
    QCOMPARE(listings, 1);
    QCOMPARE(a.events.log, Complete);
    QCOMPARE(a.connector.model(), QStringLiteral("M55"));
    QCOMPARE(a.line.linkState(), LinkState::Disable);
    QVERIFY(a.line.isPortOpen());
}

void FramesTest::failedSteps_data()
{
    QTest::addColumn<std::vector<Rule>>("rules");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QByteArray>("after"); // what the program sends once the rules are used up
    // The working phone's first `good` answers, then a bad one.
    const auto broken = [](size_t good, const Rule &bad) {
        std::vector<Rule> rules = workingPhone();
        rules.resize(good + 1);
        rules.push_back(bad);
        return rules;
    };
    // The ping at each other rate and once more at 57600, "at" three times more, then
    // "at" at each other rate; last the ABORT that a phone left in plain OBEX answers, at
    // each rate.
    const QByteArray search =
        Bfb::PingFrame.repeated(5) + QByteArray("at\r\n").repeated(7) + PhoneConnector::AbortPacket.repeated(5);
    // A phone switched to BFB mode is told to leave it.
    const QByteArray leave = Bfb::LeaveFrame;
    QTest::newRow("silent phone") << broken(0, {"at\r\n", ""}) << failedAfter(4, "AT") << search;
    QTest::newRow("wake answered without OK")
        << broken(0, {"at\r\n", "\r\nERROR\r\n"}) << failedAfter(4, "AT") << search;
    QTest::newRow("model refused") << broken(1, {"at+CGMM\r\n", "\r\nERROR\r\n"}) << failedAfter(5, "MODEL")
                                   << QByteArray();
    QTest::newRow("BFB mode refused gives the MODEL failure")
        << broken(2, {"AT^SBFB=1\r\n", "\r\nERROR\r\n"}) << failedAfter(7, "MODEL") << QByteArray();
    QTest::newRow("set-up frame answered with 3 bytes")
        << broken(3, {Bfb::SetupFrame, hex("020103")}) << failedAfter(8, "BFB") << leave;
    QTest::newRow("speed not confirmed") << broken(4, {Bfb::SpeedFrame, hex("010908C0") + "19200"})
                                         << failedAfter(8, "BFB") << leave;
    QTest::newRow("at^sifs refused") << broken(5, {Bfb::SifsFrame, "ERROR"}) << failedAfter(8, "BFB") << leave;
    QTest::newRow("CONNECT answer of 46 bytes")
        << broken(6, {ConnectFrames, ConnectAnswer.left(46)}) << failedAfter(9, "BFB") << leave;
}

void FramesTest::failedSteps()
{
    QFETCH(std::vector<Rule>, rules);
    QFETCH(QStringList, expected);
    QFETCH(QByteArray, after);
    Attempt a;
    ScriptedPhone phone(a.pty, rules);
    QVERIFY(!a.connector.run([] { QFAIL("no listing after a failed step"); }));
    QCOMPARE(a.events.log, expected);
    QVERIFY(!a.line.isPortOpen());
    QCOMPARE(a.line.linkState(), LinkState::Enable);
    QVERIFY(!LinkTestAccess::connectedMonitorRunning(a.line));
    QCOMPARE(phone.received(), requests(rules) + after);
}

void FramesTest::speedStep_data()
{
    QTest::addColumn<int>("speed");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("confirmed");

    const auto accepted = [](QByteArray frame) { return frame.replace(3, 1, "\xCC"); };
    const QByteArray f19200 = hex("010908C0") + "19200" + hex("CE4DCF");
    const QByteArray f115200 = hex("010A0BC0") + "115200" + hex("0DD22B");
    QTest::addRow("19200 confirmed") << 19200 << f19200 << accepted(f19200) << true;
    QTest::addRow("115200 confirmed") << 115200 << f115200 << accepted(f115200) << true;
    QTest::addRow("115200 echoed") << 115200 << f115200 << f115200 << false;
    QTest::addRow("115200 answered short") << 115200 << f115200 << accepted(f115200).chopped(1) << false;
    QTest::addRow("115200 unanswered") << 115200 << f115200 << QByteArray() << false;
}

// Another rate's frame replaces the 57600 one only when the phone confirms it; then
// the port follows. Otherwise the usual 57600 step follows and the port stays.
void FramesTest::speedStep()
{
    QFETCH(int, speed);
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, answer);
    QFETCH(bool, confirmed);

    Attempt a;
    QVERIFY(a.connector.setSpeed(speed));
    std::vector<Rule> rules = workingPhone();
    rules.insert(rules.begin() + 5, Rule{frame, answer});
    if (confirmed)
        rules.erase(rules.begin() + 6);
    ScriptedPhone phone(a.pty, rules);
    QVERIFY(a.connector.run([&] { QCOMPARE(a.line.lineRate(), confirmed ? speed : 57600); }));

    QTRY_COMPARE(phone.received(), requests(rules) + Bfb::AckFrame);
    const QString event =
        (confirmed ? QStringLiteral("speed %1") : QStringLiteral("speed %1 not confirmed")).arg(speed);
    QCOMPARE(a.events.log, Complete.mid(0, 8) + QStringList{event} + Complete.mid(8));
}

void FramesTest::runWhileLinkedClosesTheLink_data()
{
    QTest::addColumn<int>("speed");
    QTest::addColumn<QByteArray>("answers"); // the phone's answers while it is left
    QTest::addColumn<QByteArray>("sent");

    const QByteArray disconnect = bfbFrame(bfbBlock(17, hex("810003")));
    const QByteArray answers =
        Bfb::AckFrame + bfbFrame(bfbBlock(1, hex("A00003")), 0x16) + bfbFrame(QByteArray("\r\nOK\r\n"), 0x06);
    QTest::newRow("phone that answers") << 57600 << answers << disconnect + Bfb::AckFrame + Bfb::LeaveFrame;
    QTest::newRow("silent phone") << 57600 << QByteArray() << disconnect + Bfb::LeaveFrame;
    // Back to the start rate first: the phone hears the leave frame only there.
    QTest::newRow("raised rate") << 115200 << QByteArray() << disconnect + Bfb::SpeedFrame + Bfb::LeaveFrame;
}

// Closing the link leaves the phone as it was found: DISCONNECT, the start rate, AT mode.
void FramesTest::runWhileLinkedClosesTheLink()
{
    QFETCH(int, speed);
    QFETCH(QByteArray, answers);
    QFETCH(QByteArray, sent);
    Attempt a;
    {
        std::vector<Rule> rules = workingPhone();
        if (speed != 57600) {
            QByteArray accepted = *Bfb::speedFrameFor(speed);
            rules[5] = {*Bfb::speedFrameFor(speed), accepted.replace(3, 1, "\xCC")};
            a.connector.setSpeed(speed);
        }
        ScriptedPhone phone(a.pty, rules);
        QVERIFY(a.connector.run([] {}));
    }
    LinkTestAccess::setSequence(a.bfb, 17);
    a.events.log.clear();
    ScriptedPhone phone(a.pty, {{sent.left(13), answers}});
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!a.connector.run([] { QFAIL("closing lists nothing"); }));
    QVERIFY(clock.elapsed() < 1000); // scaled down from at most 1.5 s
    QCOMPARE(a.events.log, QStringList{QStringLiteral("state enable")});
    QVERIFY(!a.line.isPortOpen());
    QVERIFY(!LinkTestAccess::connectedMonitorRunning(a.line));
    QCOMPARE(a.bfb.bfbSequence(), qint16(1));
    QTRY_COMPARE(phone.received(), sent);
}

// Plain OBEX: the recorded answers come back whole, however they were split on the line.
void FramesTest::plainExchanges_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::newRow("M56v06 CONNECT") << ConnectPacket << M56Connect;
    QTest::newRow("S75v47 CONNECT") << ConnectPacket << S75Connect;
    QTest::newRow("M56v06 listing piece") << hex("830003") << M56ListingEnd;
    QTest::newRow("M56v06 End-of-Body") << hex("830003") << M56EndOfBody;
    QTest::newRow("S66v34 missing folder") << S66MissingFolder << QList<QByteArray>{hex("c30003")};
    QTest::newRow("S75v47 3000 bytes in one answer")
        << S75GetProbe << QList<QByteArray>{S75Probe.left(13), S75Probe.mid(13, 1500), S75Probe.mid(1513)};
}

void FramesTest::plainExchanges()
{
    QFETCH(QByteArray, request);
    QFETCH(QList<QByteArray>, pieces);
    LinkOnPty t;
    PlainTransport transport(t.line);
    sendSpaced(t, pieces, 2);
    QCOMPARE(transport.exchange(request), joined(pieces));
    QCOMPARE(t.pty.receive(int(request.size())), request);
    QVERIFY(t.line.isPortOpen());
    QVERIFY(t.events.losses.isEmpty());
}

// A line without checksums: every answer that is not whole and alone fails the
// exchange, and the line is quiet afterwards.
void FramesTest::plainFaults_data()
{
    QTest::addColumn<QByteArray>("before"); // on the line before the request
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<LinkLoss>("loss");
    const QByteArray connectAnswer = joined(M56Connect);
    QTest::newRow("silence") << QByteArray() << QList<QByteArray>{} << LinkLoss::Timeout;
    QTest::newRow("lost byte") << QByteArray() << QList<QByteArray>{connectAnswer.chopped(1)} << LinkLoss::Timeout;
    QTest::newRow("no response code") << QByteArray() << QList<QByteArray>{hex("10001f") + connectAnswer.mid(3)}
                                      << LinkLoss::BadData;
    QTest::newRow("length below 3") << QByteArray() << QList<QByteArray>{hex("a00002")} << LinkLoss::BadData;
    QTest::newRow("length above the packet size")
        << QByteArray() << QList<QByteArray>{hex("a04007") + QByteArray(80, 'x')} << LinkLoss::BadData;
    QTest::newRow("added byte") << QByteArray() << QList<QByteArray>{connectAnswer.left(9) + 'x' + connectAnswer.mid(9)}
                                << LinkLoss::BadData;
    QTest::newRow("noise before the request")
        << QByteArray("\x7f\x13") << QList<QByteArray>{connectAnswer} << LinkLoss::BadData;
    QTest::newRow("garbage") << QByteArray() << QList<QByteArray>{randomBytes(600, 3).prepend(hex("90ff"))}
                             << LinkLoss::BadData;
}

void FramesTest::plainFaults()
{
    QFETCH(QByteArray, before);
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(LinkLoss, loss);
    LinkOnPty t;
    PlainTransport transport(t.line);
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

// Which way the connect procedure reaches plain OBEX, and when it keeps to BFB.
void FramesTest::plainModeChosen_data()
{
    QTest::addColumn<LinkChoice>("choice");
    QTest::addColumn<std::vector<Rule>>("rules");
    QTest::addColumn<LinkMode>("mode");
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<QStringList>("events");

    const QStringList start = {"state Disable", "step attempting", "step port opened"};
    const QStringList end = {"step link up", "step listing root", "step root listed", "step established"};
    const auto plainSteps = [&](const QString &model) {
        return start
            + QStringList{"step waking", "step asking model", "model " + model, "step switching to plain OBEX",
                          "step opening OBEX"}
        + end;
    };
    const Rule noAbortAnswer{PhoneConnector::AbortPacket, ""};
    QTest::newRow("x65 in the window") << LinkChoice::BfbFirst << plainPhone("S65", S66Connect) << LinkMode::Plain
                                       << joined(S66Connect) << plainSteps("S65");
    QTest::newRow("x75 plain first") << LinkChoice::PlainFirst
                                     << prepended(noAbortAnswer, plainPhone("EL71", S75Connect)) << LinkMode::Plain
                                     << joined(S75Connect) << plainSteps("EL7");
    // Many phones send one 00 byte after the port opens; the ABORT answer follows it.
    QTest::newRow("left in OBEX mode") << LinkChoice::PlainOnly
                                       << std::vector<Rule>{{PhoneConnector::AbortPacket, hex("00a00003")},
                                                            {ConnectPacket, joined(M56Connect)}}
                                       << LinkMode::Plain << joined(M56Connect)
                                       << start + QStringList{"step opening OBEX"} + end;
    // Takes "AT^SBFB=1" and then sends nothing: back to AT mode, then plain OBEX.
    std::vector<Rule> silentBfb = workingPhone();
    silentBfb.resize(4);
    silentBfb.push_back({Bfb::SetupFrame, ""});
    silentBfb.push_back({Bfb::LeaveFrame, ""});
    const std::vector<Rule> plain = plainPhone("M55", M56Connect);
    silentBfb.insert(silentBfb.end(), plain.begin() + 1, plain.begin() + 2);
    silentBfb.insert(silentBfb.end(), plain.begin() + 3, plain.end());
    QTest::newRow("BFB unanswered in the window")
        << LinkChoice::BfbFirst << silentBfb << LinkMode::Plain << joined(M56Connect)
        << start + QStringList{"step waking",           "step asking model",   "model M55",
                               "step switching to BFB", "step setting up BFB", "step switching to plain OBEX",
                               "step opening OBEX"}
            + end;
    // Refuses "AT^SQWE=0": BFB as ever.
    std::vector<Rule> bfbOnly = workingPhone();
    bfbOnly.insert(bfbOnly.begin() + 3, Rule{"AT^SQWE=0\r\n", "\r\nERROR\r\n"});
    QTest::newRow("plain refused") << LinkChoice::PlainFirst << prepended(noAbortAnswer, bfbOnly) << LinkMode::Bfb
                                   << QByteArray()
                                   << Complete.mid(0, 6) + QStringList{"step switching to plain OBEX"}
            + Complete.mid(6);
}

void FramesTest::plainModeChosen()
{
    QFETCH(LinkChoice, choice);
    QFETCH(std::vector<Rule>, rules);
    QFETCH(LinkMode, mode);
    Attempt a;
    a.connector.setLinkChoice(choice);
    ScriptedPhone phone(a.pty, rules);
    QVERIFY(a.connector.run([] {}));
    QCOMPARE(a.connector.linkMode(), mode);
    QTEST(a.connector.connectResponse(), "response");
    QTEST(a.events.log, "events");
    QTRY_COMPARE(phone.received(), requests(rules) + (mode == LinkMode::Bfb ? Bfb::AckFrame : QByteArray()));
    QCOMPARE(a.line.bytesWaiting(), 0);
}

// Leaving plain OBEX: DISCONNECT, a second of silence, "+++"; an x55 answers "OK" a
// second later, an x65 nothing.
void FramesTest::plainClose_data()
{
    QTest::addColumn<QByteArray>("model");
    QTest::addColumn<QByteArray>("escapeAnswer");
    QTest::newRow("x55 answers OK") << QByteArray("M55") << QByteArray("\r\nOK\r\n");
    QTest::newRow("x65 answers nothing") << QByteArray("S65") << QByteArray();
}

void FramesTest::plainClose()
{
    QFETCH(QByteArray, model);
    QFETCH(QByteArray, escapeAnswer);
    Attempt a;
    a.connector.setLinkChoice(LinkChoice::PlainOnly);
    {
        ScriptedPhone phone(a.pty, prepended({PhoneConnector::AbortPacket, ""}, plainPhone(model, M56Connect)));
        QVERIFY(a.connector.run([] {}));
    }
    ScriptedPhone phone(a.pty, {{DisconnectPacket, hex("a00003")}, {"+++", escapeAnswer}});
    QVERIFY(!a.connector.run([] { QFAIL("closing lists nothing"); }));
    QVERIFY(!a.line.isPortOpen());
    QTRY_COMPARE(phone.received(), DisconnectPacket + "+++");
}

// S56v06 obex.connect: the CONNECT in plain OBEX refused with C3. The attempt fails as
// plain OBEX failing, and the phone goes back to AT mode (no DISCONNECT: nothing is open).
void FramesTest::plainConnectRefused()
{
    Attempt a;
    a.connector.setLinkChoice(LinkChoice::PlainOnly);
    std::vector<Rule> rules = prepended({PhoneConnector::AbortPacket, ""}, plainPhone("S56", {hex("c30007100001da")}));
    rules.push_back({"+++", "\r\nOK\r\n"});
    ScriptedPhone phone(a.pty, rules);
    QVERIFY(!a.connector.run([] { QFAIL("a refused connection lists nothing"); }));
    QCOMPARE(a.events.log.filter(QStringLiteral("failed")), QStringList{QStringLiteral("failed plain")});
    QVERIFY(!a.line.isPortOpen());
    QTRY_COMPARE(phone.received(), requests(rules));
}

QTEST_GUILESS_MAIN(FramesTest)
#include "tst_link_frames.moc"
