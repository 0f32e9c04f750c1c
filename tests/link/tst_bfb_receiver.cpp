// The block receiver alone, against every shape of reply a phone and a noisy cable
// give: blocks cut into frames anywhere, flipped bits in every checked field, text in
// place of frames. The blocks are built with an independent CRC; the receiver checks
// them with the checksum component itself.

#include "bfbbytes.h"
#include "bfbreceiver.h"
#include "testchecksum.h"

#include <QTest>

#include <memory>

namespace {

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

} // namespace

class BfbReceiverTest : public QObject
{
    Q_OBJECT

private slots:
    void receiverReplies_data()
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
        QTest::newRow("sequence 255, bytes 00 and FF") << QList{bfbFrames(bfbBlock(255, hex("A0 00 05 00 FF")))}
                                                       << QStringList{blockText(255, hex("A0 00 05 00 FF"))};
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
        QTest::newRow("block length 0x8000")
            << QList{bfbFrame(hex("03 FC 01 80 00 A0 00 03"))} << QStringList{"bad length drain"};
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

    void receiverReplies()
    {
        QFETCH(QList<QByteArray>, bursts);
        QTEST(receive(bursts), "expected");
    }
};

QTEST_GUILESS_MAIN(BfbReceiverTest)
#include "tst_bfb_receiver.moc"
