// BFB frames on the wire: how blocks are cut into frames, the sequence counter,
// the acknowledgement, how replies are reassembled or refused, and how the link
// mends a line that damages or loses blocks and acknowledgements.

#include "linktestsupport.h"
#include "phonelink.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

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

// The block with its CRC appended, low byte first.
QByteArray withCrc(QByteArray block);

// A received data block: 03 FC seq, big-endian length, packet, CRC.
QByteArray replyBlock(const QByteArray &packet, quint8 sequence = 7)
{
    QByteArray block = hex("03FC");
    block.append(char(sequence));
    block.append(char(packet.size() >> 8));
    block.append(char(packet.size() & 0xFF));
    block.append(packet);
    return withCrc(block);
}

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

// A block cut into frames of 32 bytes whatever its fields, as phones cut them.
QByteArray framed(const QByteArray &block)
{
    QByteArray wire;
    for (qsizetype at = 0; at < block.size(); at += 32)
        wire += frame(block.mid(at, 32));
    return wire;
}

// Timings of the mending, scaled down; the phone's pauses are far longer than the quiet.
constexpr int QuietMs = 10;
constexpr int PauseMs = 10 * QuietMs;
constexpr int ResendMs = 300;
constexpr int TimeoutMs = 1500;

void scaleDown(PhoneLink &link)
{
    link.setQuietInterval(QuietMs);
    link.setResendInterval(ResendMs);
    link.setTimeoutInterval(TimeoutMs);
}

// Sends each piece after the one before, delayMs apart (the first after delayMs).
void sendSpaced(LinkOnPty &t, const QList<QByteArray> &pieces, int delayMs)
{
    for (qsizetype i = 0; i < pieces.size(); ++i)
        QTimer::singleShot(int(i + 1) * delayMs, &t.timers, [&t, piece = pieces[i]] { t.pty.send(piece); });
}

// The phone sends answer once the program has written `count` bytes, collected in *seen.
void answerAfter(LinkOnPty &t, qsizetype count, const QByteArray &answer, QByteArray *seen)
{
    auto *watch = new QTimer(&t.timers);
    QObject::connect(watch, &QTimer::timeout, watch, [&t, count, answer, seen, watch] {
        *seen += t.pty.drain(0);
        if (seen->size() < count)
            return;
        watch->stop();
        t.pty.send(answer);
    });
    watch->start(5);
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
    void responseInPlaceOfTheAcknowledgementIsTheReply();
    void sendAckWritesTheAckFrame();
    void ackWithLongerFrameLeavesExtrasQueued();
    void replyTakesExactlyItsFrames_data();
    void replyTakesExactlyItsFrames();
    void largestAnnouncedPacketArrivesWhole();
    void brokenReplies_data();
    void brokenReplies();
    void badReplyIsDroppedUntilSentAgain_data();
    void badReplyIsDroppedUntilSentAgain();
    void repeatIsAcknowledgedAgainAndDropped();
    void unacknowledgedBlockGoesAgain();
    void silentPhoneGetsThreeResendsThenTheTimeout();
    void acknowledgementOfACopyIsNotTakenForTheResponse();
    void responseAfterADamagedAcknowledgementIsKept();
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
    t.link.SendPrebuilt(hex("160117AA"));
    QCOMPARE(t.link.bfbSequence(), qint16(0));
    t.link.SendPrebuilt(hex("160117AA"));
    QCOMPARE(t.link.bfbSequence(), qint16(1));
}

void FramesTest::responseInPlaceOfTheAcknowledgementIsTheReply()
{
    LinkOnPty t;
    // A response in place of the acknowledgement: the acknowledgement was lost, and the
    // response is the next reply, read once and nothing after it.
    t.pty.send(frame(replyBlock(hex("A00003"))) + hex("99"));
    t.link.SendPacket(hex("03FC010000AAAA"));
    QCOMPARE(t.link.bytesWaiting(), 1);
    QCOMPARE(t.link.bfbSequence(), qint16(2));
    QCOMPARE(t.pty.drain(), hex("160711") + hex("03FC010000AAAA"));
    QCOMPARE(t.link.ReceiveReply().packet, hex("A00003"));
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
    QTest::newRow("one frame") << frame(replyBlock(hex("A00003"))) + "next" << false << hex("A00003") << 4;
    // 5 header bytes and 27 packet bytes, then 13 packet bytes and the CRC.
    const QByteArray forty = replyBlock(counting(40, 0x90));
    QTest::newRow("two frames") << frame(forty.left(32)) + frame(forty.mid(32)) << false << counting(40, 0x90) << 0;
    // Cut as phones cut: the CRC bytes, or the last of them, in a frame of their own.
    QTest::newRow("both CRC bytes alone") << framed(replyBlock(counting(27, 1))) + "!" << false << counting(27, 1) << 1;
    QTest::newRow("last CRC byte alone") << framed(replyBlock(counting(26, 1))) + "!" << false << counting(26, 1) << 1;
    const QByteArray header = replyBlock(counting(3, 9));
    QTest::newRow("block header cut") << frame(header.left(2)) + frame(header.mid(2, 3)) + frame(header.mid(5)) << false
                                      << counting(3, 9) << 0;
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
    QTest::newRow("wrong CRC") << [] {
        QByteArray block = replyBlock(counting(40));
        block[block.size() - 1] = char(block.back() ^ 0x10);
        return framed(block);
    }();
    QTest::newRow("wrong header check") << [] {
        QByteArray wire = framed(replyBlock(counting(40)));
        wire[2] = char(wire[2] ^ 0x01);
        return wire;
    }();
    QTest::newRow("wrong complement") << [] {
        QByteArray block = replyBlock(counting(4));
        block[1] = char(0xFD);
        return framed(block);
    }();
    QTest::newRow("continuation frame of another type") << [] {
        const QByteArray block = replyBlock(counting(40));
        QByteArray second = frame(block.mid(32));
        second[0] = char(0x17);
        return frame(block.left(32)) + second;
    }();
    QTest::newRow("first data frame of length 0") << hex("160016"
                                                         "03FC0000030000");
    QTest::newRow("ack command in a frame of length 1") << hex("160117"
                                                               "01"
                                                               "FE");
    QTest::newRow("block length 0x8000") << hex("160A1C03FC07800003A00003C1C2");
}

void FramesTest::brokenReplies()
{
    QFETCH(QByteArray, wire);

    LinkOnPty t;
    scaleDown(t.link);
    // The phone sends the same broken reply three times: the third ends the link.
    sendSpaced(t, {wire, wire, wire}, PauseMs);
    QVERIFY_THROWS_EXCEPTION(LinkLost, t.link.ReceiveReply());
    QCOMPARE(t.events.losses, QList<LinkLoss>{LinkLoss::BadData});
    QCOMPARE(t.events.repairs, QList<LinkRepair>({LinkRepair::BadReplyDropped, LinkRepair::BadReplyDropped}));
    QVERIFY(!t.link.isPortOpen());
    QVERIFY(t.pty.drain().isEmpty()); // nothing bad was acknowledged
}

void FramesTest::badReplyIsDroppedUntilSentAgain_data()
{
    QTest::addColumn<QByteArray>("bad");
    QTest::addColumn<QByteArray>("good");

    const QByteArray block = replyBlock(counting(40, 0x30));
    QByteArray flipped = block;
    flipped[9] = char(flipped[9] ^ 0x80);
    // The damaged copy ends where the good one would: its rest is known, nothing to drain.
    QTest::newRow("wrong CRC") << framed(flipped) << framed(block);
    // A damaged frame header leaves the rest unknown: the line is drained until quiet.
    QByteArray header = framed(block);
    header[1] = char(header[1] ^ 0x01);
    QTest::newRow("damaged frame length") << header << framed(block);
    QTest::newRow("noise between replies") << hex("FF00") << framed(block);
    // An enlarged block length would take the resend for the rest of the block.
    QByteArray longer = block;
    longer[3] = char(longer[3] ^ 0x02);
    QTest::newRow("enlarged block length") << framed(longer) << framed(block);
    // The third bad reply only counts in a row: a good one between starts afresh.
    QTest::newRow("two bad copies") << framed(flipped) + framed(flipped) << framed(block);
}

void FramesTest::badReplyIsDroppedUntilSentAgain()
{
    QFETCH(QByteArray, bad);
    QFETCH(QByteArray, good);

    LinkOnPty t;
    scaleDown(t.link);
    QList<QByteArray> pieces;
    for (qsizetype at = 0; at < bad.size(); at += bad.size() / 2 + 1)
        pieces << bad.mid(at, bad.size() / 2 + 1);
    t.pty.send(pieces.takeFirst());
    sendSpaced(t, pieces + QList<QByteArray>{good}, PauseMs);
    QCOMPARE(t.link.ReceiveReply().packet, counting(40, 0x30));
    QVERIFY(!t.events.repairs.isEmpty());
    QVERIFY(t.pty.drain().isEmpty()); // acknowledged by the caller, never by the link
    QVERIFY(t.events.losses.isEmpty());
}

void FramesTest::repeatIsAcknowledgedAgainAndDropped()
{
    LinkOnPty t;
    scaleDown(t.link);
    const QByteArray first = framed(replyBlock(hex("900003"), 4));
    const QByteArray second = framed(replyBlock(hex("A00003"), 5));
    t.pty.send(first);
    QCOMPARE(t.link.ReceiveReply().packet, hex("900003"));
    t.link.SendAck();
    // The acknowledgement was lost: the phone sends block 4 again before block 5.
    t.pty.send(first + second);
    QCOMPARE(t.link.ReceiveReply().packet, hex("A00003"));
    QCOMPARE(t.pty.drain(), PhoneLink::AckFrame + PhoneLink::AckFrame);
    QCOMPARE(t.events.repairs, QList<LinkRepair>{LinkRepair::RepeatAcknowledged});
}

void FramesTest::unacknowledgedBlockGoesAgain()
{
    LinkOnPty t;
    scaleDown(t.link);
    const QByteArray block = withCrc(hex("03FC0100038300 03"));
    const QByteArray frames = hex("160A1C") + block;
    // The first copy is lost on the way: the acknowledgement comes for the second.
    QByteArray seen;
    answerAfter(t, 2 * frames.size(), PhoneLink::AckFrame, &seen);
    QElapsedTimer clock;
    clock.start();
    t.link.SendPacket(block);
    QVERIFY(clock.elapsed() >= ResendMs);
    QCOMPARE(seen + t.pty.drain(), frames + frames);
    QCOMPARE(t.link.bfbSequence(), qint16(2));
    QCOMPARE(t.events.repairs, QList<LinkRepair>{LinkRepair::BlockSentAgain});
}

void FramesTest::silentPhoneGetsThreeResendsThenTheTimeout()
{
    LinkOnPty t;
    scaleDown(t.link);
    const QByteArray frames = hex("160A1C") + withCrc(hex("03FC0100038300 03"));
    QElapsedTimer clock;
    clock.start();
    QVERIFY_THROWS_EXCEPTION(LinkLost, t.link.SendPrebuilt(frames));
    // The receive time-out bounds the whole wait, resends or not.
    QVERIFY(clock.elapsed() >= TimeoutMs);
    QVERIFY(clock.elapsed() < 2 * TimeoutMs);
    QCOMPARE(t.events.losses, QList<LinkLoss>{LinkLoss::Timeout});
    QCOMPARE(t.pty.drain(), frames + frames + frames + frames);
}

void FramesTest::acknowledgementOfACopyIsNotTakenForTheResponse()
{
    LinkOnPty t;
    scaleDown(t.link);
    const QByteArray block = withCrc(hex("03FC0100038300 03"));
    // A phone slower than the resend acknowledges both copies before its response.
    QByteArray seen;
    answerAfter(t, 2 * (block.size() + 3),
                PhoneLink::AckFrame + PhoneLink::AckFrame + framed(replyBlock(hex("A00003"), 1)), &seen);
    t.link.SendPacket(block);
    QCOMPARE(t.link.ReceiveReply().packet, hex("A00003"));
}

void FramesTest::responseAfterADamagedAcknowledgementIsKept()
{
    LinkOnPty t;
    scaleDown(t.link);
    // The acknowledgement arrives damaged and the response a moment later: the block
    // reached the phone, and its response is the next reply.
    const QByteArray response = framed(replyBlock(hex("A0000548AB"), 1));
    t.pty.send(hex("16021401FF"));
    sendSpaced(t, {response}, PauseMs);
    t.link.SendPrebuilt(hex("160A1C") + withCrc(hex("03FC0100038300 03")));
    QCOMPARE(t.link.ReceiveReply().packet, hex("A0000548AB"));
    QCOMPARE(t.link.bytesWaiting(), 0);
    QCOMPARE(t.events.repairs, QList<LinkRepair>{LinkRepair::BadReplyDropped});
}

QTEST_GUILESS_MAIN(FramesTest)
#include "tst_link_frames.moc"
