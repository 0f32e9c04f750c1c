// BFB frames on the wire: how blocks are cut into frames, the sequence counter,
// and how replies are taken whole, frame by frame, or refused.

#include "bfbbytes.h"
#include "linktestsupport.h"

#include <QTest>

class FramesTest : public QObject
{
    Q_OBJECT

private slots:
    void sendPacketCutsIntoFrames_data();
    void sendPacketCutsIntoFrames();
    void sequenceWrapsAfter255();
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
    QTest::newRow("33") << 33 << hex("162036 160117");
    QTest::newRow("64") << 64 << hex("162036 162036");
    QTest::newRow("100") << 100 << hex("162036 162036 162036 160412");
}

void FramesTest::sendPacketCutsIntoFrames()
{
    QFETCH(int, size);
    QFETCH(QByteArray, expectedHeaders);
    LinkOnPty t;
    const QByteArray block = counting(size, 0x40);
    t.pty.send(PhoneLink::AckFrame);
    t.link.SendPacket(block);
    QByteArray expected;
    for (int i = 0; i < expectedHeaders.size() / 3; ++i)
        expected += expectedHeaders.mid(3 * i, 3) + block.mid(32 * i, 32);
    QCOMPARE(t.pty.receive(int(expected.size())).toHex(' '), expected.toHex(' '));
    QVERIFY(t.pty.drain().isEmpty());
}

void FramesTest::sequenceWrapsAfter255()
{
    LinkOnPty t;
    // Blocks and prebuilt frames advance the counter alike.
    for (const bool prebuilt : {false, true}) {
        PhoneLinkTestAccess::setSequence(t.link, 255);
        for (const int next : {0, 1}) {
            t.pty.send(PhoneLink::AckFrame);
            if (prebuilt)
                QVERIFY(t.link.SendPrebuilt(hex("160117AA")));
            else
                t.link.SendPacket(hex("03FC000000AAAA"));
            QCOMPARE(t.link.bfbSequence(), qint16(next));
        }
    }
}

// A reply takes its frames and nothing more: what follows stays queued.
void FramesTest::replyTakesExactlyItsFrames_data()
{
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<bool>("acknowledge");
    QTest::addColumn<QByteArray>("reply"); // the packet of a data block
    QTest::addColumn<int>("leftQueued");
    QTest::newRow("acknowledge") << hex("16021401FE") + "XYZ" << true << QByteArray() << 3;
    // Length 7: the acknowledgement's two bytes, then five that form the next reply.
    QTest::newRow("longer acknowledgement frame")
        << hex("16071101FE") + PhoneLink::AckFrame << true << QByteArray() << 5;
    QTest::newRow("one frame") << hex("160A1C03FC0700 03A00003 1234") + "next" << false << hex("A00003") << 4;
    const QByteArray forty = bfbBlock(7, counting(40, 0x90));
    QTest::newRow("two frames") << bfbFrames(forty) << false << counting(40, 0x90) << 0;
    // The second frame holds only the two CRC bytes.
    QTest::newRow("CRC alone") << bfbFrames(bfbBlock(7, counting(27, 1))) + "!" << false << counting(27, 1) << 1;
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
    // 0x4006 bytes, as the CONNECT request allows, sent in one go while the link
    // drains the port byte by byte.
    LinkOnPty t;
    const QByteArray packet = counting(0x4006, 3);
    const QByteArray block = bfbBlock(7, packet);
    QByteArray wire;
    for (qsizetype at = 0; at < block.size(); at += 255)
        wire += bfbFrame(block.mid(at, 255));
    std::thread phone([&] { t.pty.send(wire); });
    const QByteArray got = t.link.ReceiveReply().packet;
    phone.join();
    QVERIFY(got == packet);
}

void FramesTest::brokenReplies_data()
{
    QTest::addColumn<QByteArray>("wire");
    const QByteArray forty = bfbBlock(7, counting(40));
    QByteArray otherType = bfbFrames(forty);
    otherType[35] = char(0x17);
    QTest::newRow("plain OK from a phone still in AT mode") << QByteArray("\r\nOK\r\n");
    QTest::newRow("last CRC byte alone in a frame of 1") << bfbFrames(bfbBlock(7, counting(26)));
    QTest::newRow("continuation frame of another type") << otherType;
    QTest::newRow("first data frame of length 0") << hex("160016 03FC0000030000");
    QTest::newRow("first data frame of length 4") << hex("160412 03FC0000 03A00003");
    QTest::newRow("ack command in a frame of length 1") << hex("160117 01 FE");
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
