// BFB frames on the wire: how blocks are cut into frames, the sequence counter,
// how replies are taken whole, frame by frame, or refused, and how the link mends
// a line that damages or loses blocks and acknowledgements.

#include "bfbbytes.h"
#include "linktestsupport.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

namespace {

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
    void sequenceWrapsAfter255();
    void responseInPlaceOfTheAcknowledgementIsTheReply();
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
                t.link.SendPrebuilt(hex("160117AA"));
            else
                t.link.SendPacket(hex("03FC000000AAAA"));
            QCOMPARE(t.link.bfbSequence(), qint16(next));
        }
    }
}

void FramesTest::responseInPlaceOfTheAcknowledgementIsTheReply()
{
    LinkOnPty t;
    // A response in place of the acknowledgement: the acknowledgement was lost, and the
    // response is the next reply, read once and nothing after it.
    t.pty.send(bfbFrame(bfbBlock(7, hex("A00003"))) + hex("99"));
    t.link.SendPacket(hex("03FC010000AAAA"));
    QCOMPARE(t.link.bytesWaiting(), 1);
    QCOMPARE(t.link.bfbSequence(), qint16(2));
    QCOMPARE(t.pty.drain(), hex("160711 03FC010000AAAA"));
    QCOMPARE(t.link.ReceiveReply().packet, hex("A00003"));
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
    QTest::newRow("one frame") << bfbFrame(bfbBlock(7, hex("A00003"))) + "next" << false << hex("A00003") << 4;
    const QByteArray forty = bfbBlock(7, counting(40, 0x90));
    QTest::newRow("two frames") << bfbFrames(forty) << false << counting(40, 0x90) << 0;
    // Cut as phones cut: the CRC bytes, or the last of them, in a frame of their own.
    QTest::newRow("both CRC bytes alone")
        << bfbFrames(bfbBlock(7, counting(27, 1))) + "!" << false << counting(27, 1) << 1;
    QTest::newRow("last CRC byte alone") << bfbFrames(bfbBlock(7, counting(26, 1))) + "!" << false << counting(26, 1)
                                         << 1;
    const QByteArray header = bfbBlock(7, counting(3, 9));
    QTest::newRow("block header cut") << bfbFrames(header, {2, 3}) << false << counting(3, 9) << 0;
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
    QByteArray wrongCrc = forty;
    wrongCrc[wrongCrc.size() - 1] = char(wrongCrc.back() ^ 0x10);
    QTest::newRow("wrong CRC") << bfbFrames(wrongCrc);
    QByteArray wrongHeaderCheck = bfbFrames(forty);
    wrongHeaderCheck[2] = char(wrongHeaderCheck[2] ^ 0x01);
    QTest::newRow("wrong header check") << wrongHeaderCheck;
    QByteArray wrongComplement = bfbBlock(7, counting(4));
    wrongComplement[1] = char(0xFD);
    QTest::newRow("wrong complement") << bfbFrames(wrongComplement);
    QTest::newRow("continuation frame of another type") << otherType;
    QTest::newRow("first data frame of length 0") << hex("160016 03FC0000030000");
    QTest::newRow("ack command in a frame of length 1") << hex("160117 01 FE");
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

    const QByteArray block = bfbBlock(7, counting(40, 0x30));
    QByteArray flipped = block;
    flipped[9] = char(flipped[9] ^ 0x80);
    // The damaged copy ends where the good one would: its rest is known, nothing to drain.
    QTest::newRow("wrong CRC") << bfbFrames(flipped) << bfbFrames(block);
    // A damaged frame header leaves the rest unknown: the line is drained until quiet.
    QByteArray header = bfbFrames(block);
    header[1] = char(header[1] ^ 0x01);
    QTest::newRow("damaged frame length") << header << bfbFrames(block);
    QTest::newRow("noise between replies") << hex("FF00") << bfbFrames(block);
    // An enlarged block length would take the resend for the rest of the block.
    QByteArray longer = block;
    longer[3] = char(longer[3] ^ 0x02);
    QTest::newRow("enlarged block length") << bfbFrames(longer) << bfbFrames(block);
    // The third bad reply only counts in a row: a good one between starts afresh.
    QTest::newRow("two bad copies") << bfbFrames(flipped) + bfbFrames(flipped) << bfbFrames(block);
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
    const QByteArray first = bfbFrames(bfbBlock(4, hex("900003")));
    const QByteArray second = bfbFrames(bfbBlock(5, hex("A00003")));
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
    const QByteArray block = bfbBlock(1, hex("830003"));
    const QByteArray frames = hex("160A1C") + block;
    // The first copy is lost on the way: the acknowledgement comes for the second.
    QByteArray seen;
    answerAfter(t, 2 * frames.size(), PhoneLink::AckFrame, &seen);
    QElapsedTimer clock;
    clock.start();
    t.link.SendPacket(block);
    // The resend timer is a coarse one: it may fire up to 5% early.
    QVERIFY(clock.elapsed() >= ResendMs * 95 / 100);
    QCOMPARE(seen + t.pty.drain(), frames + frames);
    QCOMPARE(t.link.bfbSequence(), qint16(2));
    QCOMPARE(t.events.repairs, QList<LinkRepair>{LinkRepair::BlockSentAgain});
}

void FramesTest::silentPhoneGetsThreeResendsThenTheTimeout()
{
    LinkOnPty t;
    scaleDown(t.link);
    const QByteArray frames = hex("160A1C") + bfbBlock(1, hex("830003"));
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
    const QByteArray block = bfbBlock(1, hex("830003"));
    // A phone slower than the resend acknowledges both copies before its response.
    QByteArray seen;
    answerAfter(t, 2 * (block.size() + 3),
                PhoneLink::AckFrame + PhoneLink::AckFrame + bfbFrames(bfbBlock(1, hex("A00003"))), &seen);
    t.link.SendPacket(block);
    QCOMPARE(t.link.ReceiveReply().packet, hex("A00003"));
}

void FramesTest::responseAfterADamagedAcknowledgementIsKept()
{
    LinkOnPty t;
    scaleDown(t.link);
    // The acknowledgement arrives damaged and the response a moment later: the block
    // reached the phone, and its response is the next reply.
    const QByteArray response = bfbFrames(bfbBlock(1, hex("A0000548AB")));
    t.pty.send(hex("16021401FF"));
    sendSpaced(t, {response}, PauseMs);
    t.link.SendPrebuilt(hex("160A1C") + bfbBlock(1, hex("830003")));
    QCOMPARE(t.link.ReceiveReply().packet, hex("A0000548AB"));
    QCOMPARE(t.link.bytesWaiting(), 0);
    QCOMPARE(t.events.repairs, QList<LinkRepair>{LinkRepair::BadReplyDropped});
}

QTEST_GUILESS_MAIN(FramesTest)
#include "tst_link_frames.moc"
