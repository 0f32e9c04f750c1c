// The BFB link on a pseudo-terminal whose master end plays the phone: how blocks go out
// in frames, the sequence counter, the command byte, how the link mends a line that
// damages or loses blocks and acknowledgements, and the transport's one exchange.

#include "bfbtransport.h"
#include "linktesting.h"

#include <QElapsedTimer>
#include <QTest>

class BfbLinkTest : public QObject
{
    Q_OBJECT

private slots:
    void sequenceWrapsAfter255()
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

    void responseInPlaceOfTheAcknowledgementIsTheReply()
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
    void badReplies_data()
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

    void badReplies()
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

    void repeatIsAcknowledgedAgainAndDropped()
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

    void unacknowledgedBlockGoesAgain()
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

    void silentPhoneGetsThreeResendsThenTheTimeout()
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

    void responseAfterADamagedAcknowledgementIsKept()
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
    void commandByte_data()
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

    void commandByte()
    {
        QFETCH(QByteArray, request);
        QFETCH(QList<int>, sequences);
        QFETCH(QList<int>, commands);
        for (qsizetype i = 0; i < sequences.size(); ++i)
            QCOMPARE(int(quint8(Bfb::commandFor(request, sequences[i]))), commands[i]);
    }

    void transportAcknowledgesTheAnswer_data()
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
    void transportAcknowledgesTheAnswer()
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
};

QTEST_GUILESS_MAIN(BfbLinkTest)
#include "tst_bfb_link.moc"
