// BFB frames on the wire: how blocks are cut into frames, the sequence counter,
// the acknowledgement, and how replies are reassembled or refused.

#include "linktestsupport.h"
#include "phonelink.h"

#include <QTest>

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

QByteArray counting(int count, int first = 0)
{
    QByteArray bytes;
    for (int i = 0; i < count; ++i)
        bytes.append(char((first + i) & 0xFF));
    return bytes;
}

// A received data block: 03 FC seq, big-endian length, packet, two CRC bytes.
QByteArray replyBlock(const QByteArray &packet, quint8 sequence = 7)
{
    QByteArray block = hex("03FC");
    block.append(char(sequence));
    block.append(char(packet.size() >> 8));
    block.append(char(packet.size() & 0xFF));
    block.append(packet);
    block.append(hex("C1C2"));
    return block;
}

// The block with its CRC appended, low byte first.
QByteArray withCrc(QByteArray block)
{
    const quint16 crc = makeChecksum()->CrcCalc(block.mid(2));
    block.append(char(crc & 0xFF));
    block.append(char(crc >> 8));
    return block;
}

QByteArray frame(const QByteArray &payload)
{
    QByteArray bytes;
    bytes.append(char(0x16));
    bytes.append(char(payload.size()));
    bytes.append(char(0x16 ^ payload.size()));
    return bytes + payload;
}

} // namespace

class FramesTest : public QObject
{
    Q_OBJECT

private slots:
    void sendPacketCutsIntoFrames_data();
    void sendPacketCutsIntoFrames();
    void workedBlocksGoOutExactly();
    void sequenceWrapsAfter255();
    void sendPacketConsumesOneReply();
    void sendAckWritesTheAckFrame();
    void ackWithLongerFrameLeavesExtrasQueued();
    void replyTakesExactlyItsFrames_data();
    void replyTakesExactlyItsFrames();
    void largestAnnouncedPacketArrivesWhole();
    void brokenReplies_data();
    void brokenReplies();
};

void FramesTest::sendPacketCutsIntoFrames_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QByteArray>("expectedHeaders"); // header of each frame, in order

    QTest::newRow("1") << 1 << hex("160117");
    QTest::newRow("32") << 32 << hex("162036");
    QTest::newRow("33") << 33
                        << hex("162036"
                               "160117");
    QTest::newRow("64") << 64
                        << hex("162036"
                               "162036");
    QTest::newRow("65") << 65
                        << hex("162036"
                               "162036"
                               "160117");
    QTest::newRow("100") << 100
                         << hex("162036"
                                "162036"
                                "162036"
                                "160412");
}

void FramesTest::sendPacketCutsIntoFrames()
{
    QFETCH(int, size);
    QFETCH(QByteArray, expectedHeaders);

    LinkOnPty t;
    const QByteArray block = counting(size, 0x40);
    t.pty.send(PhoneLink::AckFrame);
    t.link.SendPacket(block);

    const int frames = int(expectedHeaders.size() / 3);
    const QByteArray sent = t.pty.receive(size + 3 * frames);
    QByteArray expected;
    for (int i = 0; i < frames; ++i) {
        expected += expectedHeaders.mid(3 * i, 3);
        expected += block.mid(32 * i, 32);
    }
    QCOMPARE(sent.toHex(' '), expected.toHex(' '));
    QVERIFY(t.pty.drain().isEmpty());
}

void FramesTest::workedBlocksGoOutExactly()
{
    LinkOnPty t;

    // Continuation request with the sequence at 5: a 10-byte block in one frame.
    PhoneLinkTestAccess::setSequence(t.link, 5);
    const QByteArray next = withCrc(hex("03FC05"
                                        "0003830003"));
    t.pty.send(PhoneLink::AckFrame);
    t.link.SendPacket(next);
    QCOMPARE(t.pty.receive(13).toHex(' '), hex("160A1C03FC05000383000 3D617").toHex(' '));

    // Total-memory query with the sequence at 3.
    PhoneLinkTestAccess::setSequence(t.link, 3);
    const QByteArray memory = withCrc(hex("03FC03000983000 94C0006320101"));
    QCOMPARE(memory.right(2), hex("2FB2"));
    t.pty.send(PhoneLink::AckFrame);
    t.link.SendPacket(memory);
    QCOMPARE(t.pty.receive(19).toHex(' '), (hex("161006") + memory).toHex(' '));

    // Entering folder Bitmap with the sequence at 2.
    PhoneLinkTestAccess::setSequence(t.link, 2);
    const QByteArray bitmap = withCrc(hex("03FC020016850016020001001100420069007400 6D00610070 0000"));
    t.pty.send(PhoneLink::AckFrame);
    t.link.SendPacket(bitmap);
    QCOMPARE(t.pty.receive(32).toHex(' '),
             (hex("161D0B")
              + hex("03FC020016850016020001001100420069007400"
                    "6D006100700000"
                    "10C6"))
                 .toHex(' '));
    QCOMPARE(t.link.bfbSequence(), qint16(3));
}

void FramesTest::sequenceWrapsAfter255()
{
    LinkOnPty t;
    PhoneLinkTestAccess::setSequence(t.link, 255);
    t.pty.send(PhoneLink::AckFrame + PhoneLink::AckFrame);
    t.link.SendPacket(hex("03FCFF0000AAAA"));
    QCOMPARE(t.link.bfbSequence(), qint16(0));
    t.link.SendPacket(hex("03FC000000AAAA"));
    QCOMPARE(t.link.bfbSequence(), qint16(1));

    // Prebuilt frames advance it the same way.
    PhoneLinkTestAccess::setSequence(t.link, 255);
    t.pty.send(PhoneLink::AckFrame + PhoneLink::AckFrame);
    QVERIFY(t.link.SendPrebuilt(hex("160117AA")));
    QCOMPARE(t.link.bfbSequence(), qint16(0));
    QVERIFY(t.link.SendPrebuilt(hex("160117AA")));
    QCOMPARE(t.link.bfbSequence(), qint16(1));
}

void FramesTest::sendPacketConsumesOneReply()
{
    LinkOnPty t;
    // Whatever the reply is, SendPacket reads exactly one and drops it.
    t.pty.send(frame(replyBlock(hex("A00003"))) + hex("99"));
    t.link.SendPacket(hex("03FC010000AAAA"));
    QCOMPARE(t.link.bytesWaiting(), 1);
    QCOMPARE(t.link.bfbSequence(), qint16(2));
}

void FramesTest::sendAckWritesTheAckFrame()
{
    LinkOnPty t;
    PhoneLinkTestAccess::setSequence(t.link, 9);
    t.pty.send(hex("16"));
    t.link.SendAck();
    QCOMPARE(t.pty.receive(5).toHex(' '), hex("16021401FE").toHex(' '));
    QVERIFY(t.pty.drain().isEmpty());
    QCOMPARE(t.link.bfbSequence(), qint16(9));
    QCOMPARE(t.link.bytesWaiting(), 1); // reads nothing
}

void FramesTest::ackWithLongerFrameLeavesExtrasQueued()
{
    LinkOnPty t;
    // Length 7: the ack's two bytes, then five bytes that form the next reply.
    t.pty.send(hex("16071101FE") + PhoneLink::AckFrame);
    QVERIFY(t.link.ReceiveReply().isAcknowledge());
    QCOMPARE(t.link.bytesWaiting(), 5);
    QVERIFY(t.link.ReceiveReply().isAcknowledge());
    QCOMPARE(t.link.bytesWaiting(), 0);
}

// A reply takes its frames and nothing more: what follows stays queued.
void FramesTest::replyTakesExactlyItsFrames_data()
{
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<bool>("acknowledge");
    QTest::addColumn<QByteArray>("reply"); // the packet of a data block
    QTest::addColumn<int>("leftQueued");
    QTest::newRow("acknowledge") << hex("16021401FE") + "XYZ" << true << QByteArray() << 3;
    QTest::newRow("one frame") << hex("160A1C03FC0700 03A00003 1234") + "next" << false << hex("A00003") << 4;
    // 5 header bytes and 27 packet bytes, then 13 packet bytes and the CRC.
    const QByteArray forty = replyBlock(counting(40, 0x90));
    QTest::newRow("two frames") << frame(forty.left(32)) + frame(forty.mid(32)) << false << counting(40, 0x90) << 0;
    // The second frame holds only the two CRC bytes.
    const QByteArray full = replyBlock(counting(27, 1));
    QTest::newRow("crc alone") << frame(full.left(32)) + frame(full.mid(32)) + "!" << false << counting(27, 1) << 1;
}

void FramesTest::replyTakesExactlyItsFrames()
{
    QFETCH(QByteArray, wire);
    QFETCH(bool, acknowledge);
    QFETCH(QByteArray, reply);
    QFETCH(int, leftQueued);
    LinkOnPty t;
    t.pty.send(wire);
    const PhoneLink::Reply got = t.link.ReceiveReply();
    QCOMPARE(got.isAcknowledge(), acknowledge);
    QCOMPARE(got.packet.toHex(' '), reply.toHex(' '));
    QCOMPARE(t.link.bytesWaiting(), leftQueued);
}

void FramesTest::largestAnnouncedPacketArrivesWhole()
{
    // 0x4006 bytes, as the CONNECT request allows, sent by the phone in one go
    // while the link drains the port byte by byte.
    LinkOnPty t;
    const QByteArray packet = counting(0x4006, 3);
    const QByteArray block = replyBlock(packet);
    QByteArray wire;
    for (qsizetype at = 0; at < block.size(); at += 255)
        wire += frame(block.mid(at, 255));
    QVERIFY(wire.size() > 16 * 1024);

    std::thread phone([&] { t.pty.send(wire); });
    const QByteArray got = t.link.ReceiveReply().packet;
    phone.join();
    QCOMPARE(got.size(), packet.size());
    QVERIFY(got == packet);
}

void FramesTest::brokenReplies_data()
{
    QTest::addColumn<QByteArray>("wire");

    QTest::newRow("plain OK from a phone still in AT mode") << QByteArray("\r\nOK\r\n");
    QTest::newRow("last CRC byte alone in a frame of 1") << [] {
        const QByteArray block = replyBlock(counting(26));
        return frame(block.left(32)) + frame(block.mid(32));
    }();
    QTest::newRow("continuation frame of another type") << [] {
        const QByteArray block = replyBlock(counting(40));
        QByteArray second = frame(block.mid(32));
        second[0] = char(0x17);
        return frame(block.left(32)) + second;
    }();
    QTest::newRow("first data frame of length 0") << hex("160016"
                                                         "03FC0000030000");
    QTest::newRow("first data frame of length 4") << hex("160412"
                                                         "03FC0000"
                                                         "03A00003");
    QTest::newRow("ack command in a frame of length 1") << hex("160117"
                                                               "01"
                                                               "FE");
    QTest::newRow("block length 0x8000") << hex("160A1C03FC07800003A00003C1C2");
    QTest::newRow("block length 0xFFFF") << hex("160A1C03FC07FFFF03A00003C1C2");
}

void FramesTest::brokenReplies()
{
    QFETCH(QByteArray, wire);

    LinkOnPty t;
    // Trailing bytes that would complete nothing: the reply must be refused as it stands.
    t.pty.send(wire + hex("16021401FE"));
    QVERIFY_THROWS_EXCEPTION(LinkLost, t.link.ReceiveReply());
    QCOMPARE(t.events.losses, QList<LinkLoss>{LinkLoss::BadData});
    QVERIFY(!t.link.isPortOpen());
}

QTEST_GUILESS_MAIN(FramesTest)
#include "tst_link_frames.moc"
