// Every OBEX request on the wire, byte for byte, against a scripted phone on a
// pseudo-terminal; and how the operations judge the phone's answers.

#include "cp1251.h"
#include "obextestsupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QByteArray Ack = hex("16 02 14 01 FE");

QByteArray blockCrc(const QByteArray &blockWithoutCrc)
{
    ReferenceChecksum crc;
    const quint16 c = crc.CrcCalc(blockWithoutCrc.mid(2));
    return blockWithoutCrc + char(c & 0xFF) + char(c >> 8);
}

// Frames of at most 32 payload bytes, as the program cuts a block.
QByteArray frames(const QByteArray &block)
{
    QByteArray out;
    for (qsizetype offset = 0; offset < block.size(); offset += 32) {
        const QByteArray piece = block.mid(offset, 32);
        out += char(0x16);
        out += char(piece.size());
        out += char(0x16 ^ piece.size());
        out += piece;
    }
    return out;
}

QByteArray listingResponse(const QByteArray &xml)
{
    QByteArray response = hex("A0 00 00 48 00 00") + xml;
    response[1] = char(response.size() >> 8);
    response[2] = char(response.size() & 0xFF);
    response[4] = char((xml.size() + 3) >> 8);
    response[5] = char((xml.size() + 3) & 0xFF);
    return response;
}

QByteArray withHeader(char code, char headerId, const QByteArray &data)
{
    QByteArray response;
    response += code;
    response += char((data.size() + 6) >> 8);
    response += char((data.size() + 6) & 0xFF);
    response += headerId;
    response += char((data.size() + 3) >> 8);
    response += char((data.size() + 3) & 0xFF);
    return response + data;
}

const QByteArray MemoryTotal = hex("A0 00 0C 4C 00 09 01 04 00 0F FF FF"); // 1048575 bytes
const QByteArray MemoryFree = hex("A0 00 0C 4C 00 09 02 04 00 08 00 00"); // 524288 bytes

// The staging file loses its name while it is open: "/.../temp.tmp (deleted)".
bool stagingFileOpen()
{
    for (const QFileInfo &fd : QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System | QDir::Files)) {
        if (fd.symLinkTarget().contains(QStringLiteral("/temp.tmp")))
            return true;
    }
    return false;
}

// No copy of an upload stays in the working folder once the upload has ended.
bool stagingFileLeft(const QTemporaryDir &dir)
{
    return QFileInfo::exists(dir.filePath(QStringLiteral("temp.tmp")));
}

// A file to send, written into the folder the transfer stages in.
QString sourceFile(FilesOnPhone &f, const QTemporaryDir &dir, const QString &name, const QByteArray &content)
{
    f.files.setWorkingDirectory(dir.path());
    QFile file(dir.filePath(name));
    if (file.open(QIODevice::WriteOnly))
        file.write(content);
    return file.fileName();
}

} // namespace

class ObexWire : public QObject
{
    Q_OBJECT

private slots:
    void enterFolderAtSequenceTwo();
    void enterFolderAtSequenceOne();
    void refusedEnterLeavesPathStack();
    void parentFolderAtSequenceTwo();
    void parentWithLostLinkAcknowledgement();
    void parentOnEmptyPathStack();
    void continuationAtSequenceFive();
    void continuationWithLostAcknowledgement();

    void listingRequestAtSequenceOne();
    void totalMemoryAtSequenceThree();
    void listingInThreePackets();
    void listingWithLostAcknowledgement();
    void memoryWithoutSuccessKeepsLabels();
    void pathLineFollowsTheMoves();

    void getFileAtSequenceSeven();
    void getFileInSeveralPackets_data();
    void getFileInSeveralPackets();
    void getFileRefusedIsFailure();
    void longNamesRefusedBeforeSending();

    void makeFolderAndReturn();
    void refusedMakeFolderStaysPut();
    void deleteOneLetterName();
    void moveCommand_data();
    void moveCommand();
    void moveOfLongPathsSendsNothing();

    void uploadSmallFile();
    void uploadStagingCases_data();
    void uploadStagingCases();
    void uploadCyrillicName();
    void uploadRefusedMidway();
    void uploadEndedByLinkFailure();
    void uploadSizeQuestion();
    void uploadRefusedLocally();
};

void ObexWire::enterFolderAtSequenceTwo()
{
    FilesOnPhone f;
    f.setSequence(2);
    f.phone.respond("A0 00 03");
    QVERIFY(f.files.ObexSetPath("Bitmap"));
    f.phone.settle();
    QCOMPARE(f.phone.received(),
             hex("16 1D 0B 03 FC 02 00 16 85 00 16 02 00 01 00 11 00 42 00 69 00 74 00 6D 00 61 00 70"
                 " 00 00 10 C6")
                 + Ack);
    QCOMPARE(f.files.PathStack(), QList<QByteArray>{"Bitmap"});
    QCOMPARE(f.link.bfbSequence(), 3);
}

void ObexWire::enterFolderAtSequenceOne()
{
    FilesOnPhone f;
    f.setSequence(1);
    f.phone.respond("A0 00 03");
    QVERIFY(f.files.ObexSetPath("Bitmap"));
    f.phone.settle();
    const QByteArray block = blockCrc(hex("02 FD 01 00 16 85 00 16 02 00 01 00 11 00 42 00 69 00 74 00 6D"
                                          " 00 61 00 70 00 00"));
    QCOMPARE(f.phone.received(), hex("16 1D 0B") + block + Ack);
}

void ObexWire::refusedEnterLeavesPathStack()
{
    FilesOnPhone f;
    f.phone.respond("C4 00 03");
    QVERIFY(!f.files.ObexSetPath("Missing"));
    QVERIFY(f.files.PathStack().isEmpty());
    QCOMPARE(f.files.pathLine(), QStringLiteral("Mobile:\\"));
}

void ObexWire::parentFolderAtSequenceTwo()
{
    FilesOnPhone f;
    f.setSequence(1);
    f.phone.respond("A0 00 03");
    f.phone.respond("A0 00 03");
    QVERIFY(f.files.ObexSetPath("Bitmap"));
    f.phone.settle();
    const qsizetype before = f.phone.received().size();
    QVERIFY(f.files.ObexSetPathUp());
    f.phone.settle();
    QCOMPARE(f.phone.received().mid(before), hex("16 0C 1A 03 FC 02 00 05 85 00 05 03 00 4F 23") + Ack);
    QVERIFY(f.files.PathStack().isEmpty());
}

void ObexWire::parentWithLostLinkAcknowledgement()
{
    FilesOnPhone f;
    f.phone.respond("A0 00 03");
    QVERIFY(f.files.ObexSetPath("Bitmap"));
    f.phone.settle();
    const qsizetype before = f.phone.received().size();
    // The phone's acknowledgement is lost; its response is taken and acknowledged.
    f.phone.refuseLink(hex("A0 00 03"));
    QVERIFY(f.files.ObexSetPathUp());
    f.phone.settle();
    QCOMPARE(f.phone.received().mid(before), hex("16 0C 1A 03 FC 02 00 05 85 00 05 03 00 4F 23") + Ack);
    QVERIFY(f.files.PathStack().isEmpty());
}

void ObexWire::parentOnEmptyPathStack()
{
    FilesOnPhone f;
    f.phone.respond("A0 00 03");
    QVERIFY(f.files.ObexSetPathUp());
    QVERIFY(f.files.PathStack().isEmpty());
    // A phone that will not go up leaves the path as it was.
    f.phone.respond("A0 00 03");
    f.phone.respond("C3 00 03");
    QVERIFY(f.files.ObexSetPath("Bitmap"));
    QVERIFY(f.files.ObexSetPathUp());
    QCOMPARE(f.files.PathStack(), QList<QByteArray>{"Bitmap"});
}

void ObexWire::continuationAtSequenceFive()
{
    FilesOnPhone f;
    f.setSequence(5);
    f.phone.ackOnly();
    QVERIFY(f.files.RequestNextPart());
    f.phone.settle();
    QCOMPARE(f.phone.received(), hex("16 0A 1C 03 FC 05 00 03 83 00 03 D6 17"));
    QCOMPARE(f.link.bfbSequence(), 6);
}

void ObexWire::continuationWithLostAcknowledgement()
{
    FilesOnPhone f;
    f.phone.refuseLink(hex("90 00 03"));
    QVERIFY(f.files.RequestNextPart());
    QCOMPARE(f.link.ReceiveReply().packet, hex("90 00 03"));
    QVERIFY(f.events.losses.isEmpty());
}

void ObexWire::listingRequestAtSequenceOne()
{
    FilesOnPhone f;
    f.setSequence(1);
    f.phone.respond(listingResponse("<folder name=\"Bitmap\"/>"));
    f.phone.respond(MemoryTotal);
    f.phone.respond(MemoryFree);
    const FolderListing listing = f.files.RefreshListing();
    f.phone.settle();
    const QByteArray expected =
        hex("16 20 36 03 FC 01 00 1C 83 00 1C 42 00 19") + "x-obex/folder-listing" + hex("16 03 15 00 F0 F1") + Ack;
    QVERIFY(f.phone.received().startsWith(expected));
    QCOMPARE(listing.text, QByteArray("<folder name=\"Bitmap\"/>"));
    QCOMPARE(listing.rows.size(), 1);
    QCOMPARE(f.events.sequence, 1);
    QCOMPARE(f.files.totalMemory(), std::optional<quint32>(1048575));
    QCOMPARE(f.events.log,
             (QStringList{"started listing 0", "received listing 1", "memory total 1048575", "memory free 524288",
                          "finished listing 1"}));
}

void ObexWire::totalMemoryAtSequenceThree()
{
    FilesOnPhone f;
    f.setSequence(2);
    f.phone.respond(listingResponse(""));
    f.phone.respond(MemoryTotal);
    f.phone.respond(MemoryFree);
    f.files.GetFolderListing();
    f.phone.settle();
    const QList<QByteArray> blocks = f.phone.blocks();
    QCOMPARE(blocks.size(), 3);
    QCOMPARE(blocks[1], hex("03 FC 03 00 09 83 00 09 4C 00 06 32 01 01 2F B2"));
    QVERIFY(f.phone.received().contains(hex("16 10 06 03 FC 03 00 09 83 00 09 4C 00 06 32 01 01 2F B2")));
    QCOMPARE(blocks[2], blockCrc(hex("03 FC 04 00 09 83 00 09 4C 00 06 32 01 02")));
}

void ObexWire::listingInThreePackets()
{
    FilesOnPhone f;
    f.phone.respond(withHeader(char(0x90), 0x48, "<folder name=\"Sms\"/>"));
    f.phone.respond(withHeader(char(0x90), 0x48, "<file name=\"a.mid\" size=\"5\"/>"));
    f.phone.respond(withHeader(char(0xA0), 0x49, "<file name=\"b.jar\" size=\"7\"/>"));
    f.phone.respond(MemoryTotal);
    f.phone.respond(MemoryFree);
    const FolderListing listing = f.files.RefreshListing();
    QCOMPARE(listing.text,
             QByteArray("<folder name=\"Sms\"/><file name=\"a.mid\" size=\"5\"/>"
                        "<file name=\"b.jar\" size=\"7\"/>"));
    QCOMPARE(listing.rows.size(), 4);
    QCOMPARE(listing.rows[3].name, QByteArray("b.jar"));
    QCOMPARE(f.events.logged("received"), QStringList({"received listing 1", "received listing 2"}));
    QCOMPARE(f.events.logged("finished"), QStringList{"finished listing 3"});
    // Listing, two continuations, two memory queries.
    QCOMPARE(f.phone.blocks().size(), 5);
    QCOMPARE(f.phone.blocks()[1], blockCrc(hex("03 FC 02 00 03 83 00 03")));
}

void ObexWire::listingWithLostAcknowledgement()
{
    FilesOnPhone f;
    f.phone.refuseLink(listingResponse("<folder name=\"Bitmap\"/>"));
    f.phone.respond(MemoryTotal);
    f.phone.respond(MemoryFree);
    const FolderListing listing = f.files.RefreshListing();
    f.phone.settle();
    QCOMPARE(listing.text, QByteArray("<folder name=\"Bitmap\"/>"));
    QCOMPARE(f.events.logged("finished"), QStringList{"finished listing 1"});
    // The listing and the two memory queries, each response acknowledged once.
    QCOMPARE(f.phone.blocks().size(), 3);
    QCOMPARE(f.phone.acknowledgements(), 3);
}

void ObexWire::memoryWithoutSuccessKeepsLabels()
{
    FilesOnPhone f;
    f.phone.respond(listingResponse("Bitmap"));
    f.phone.respond(MemoryTotal);
    f.phone.respond(MemoryFree);
    f.files.RefreshListing();
    f.phone.respond(listingResponse("Bitmap"));
    f.phone.respond("C0 00 03");
    f.phone.respond(hex("D0 A0 03"));
    const FolderListing listing = f.files.RefreshListing();
    QCOMPARE(listing.text, QByteArray("Bitmap"));
    QCOMPARE(f.events.logged("memory"), QStringList({"memory total 1048575", "memory free 524288"}));
    QCOMPARE(f.files.totalMemory(), std::optional<quint32>(1048575));
    QCOMPARE(f.files.freeMemory(), std::optional<quint32>(524288));
    QVERIFY(f.events.refusals.isEmpty());
}

void ObexWire::pathLineFollowsTheMoves()
{
    FilesOnPhone f;
    for (int i = 0; i < 3; ++i)
        f.phone.respond(i == 0 ? listingResponse("Bitmap") : MemoryTotal);
    QCOMPARE(f.files.enterRootAndRefresh().pathLine, QStringLiteral("Mobile:\\Root\\"));
    f.phone.respond("A0 00 03");
    f.phone.respond("A0 00 03");
    QVERIFY(f.files.ObexSetPath("Bitmap"));
    QVERIFY(f.files.ObexSetPath("Sub"));
    QCOMPARE(f.files.pathLine(), QStringLiteral("Mobile:\\Root\\Bitmap\\Sub\\"));
    f.phone.respond("A0 00 03");
    QVERIFY(f.files.ObexSetPathUp());
    QCOMPARE(f.files.pathLine(), QStringLiteral("Mobile:\\Root\\Bitmap\\"));
    // Cyrillic folder names show decoded.
    f.phone.respond("A0 00 03");
    QVERIFY(f.files.ObexSetPath(*Cp1251::encode(QStringLiteral("Фото"))));
    QCOMPARE(f.files.pathLine(), QStringLiteral("Mobile:\\Root\\Bitmap\\Фото\\"));
}

void ObexWire::getFileAtSequenceSeven()
{
    FilesOnPhone f;
    f.setSequence(7);
    f.phone.respond(hex("A0 00 11 C3 00 00 00 05 48 00 08") + QByteArray("\x00\xFF\x01\x02\x03", 5));
    const auto content = f.files.GetFile("pic.bmp");
    f.phone.settle();
    QCOMPARE(f.phone.received(),
             hex("16 1D 0B 03 FC 07 00 16 83 00 16 01 00 13 00 70 00 69 00 63 00 2E 00 62 00 6D 00 70"
                 " 00 00 BA 25")
                 + Ack);
    QVERIFY(content);
    QCOMPARE(*content, QByteArray("\x00\xFF\x01\x02\x03", 5));
    QCOMPARE(f.events.log, QStringList({"started download 0", "received download 1", "finished download 1"}));
}

void ObexWire::getFileInSeveralPackets_data()
{
    QTest::addColumn<QList<QByteArray>>("responses");
    QTest::addColumn<QByteArray>("content");
    const QByteArray first = hex("90 00 10 C3 00 00 00 0C 48 00 07") + "abcd";
    QTest::newRow("data in the final response")
        << QList<QByteArray>{first, withHeader(char(0x90), 0x48, "efg"), withHeader(char(0xA0), 0x49, "hijkl")}
        << QByteArray("abcdefghijkl");
    QTest::newRow("empty final response") << QList<QByteArray>{hex("90 00 10 C3 00 00 00 08 48 00 07") + "abcd",
                                                               withHeader(char(0x90), 0x48, "efgh"), hex("A0 00 03")}
                                          << QByteArray("abcdefgh");
    QTest::newRow("headers that do not parse") << QList<QByteArray>{hex("90 00 FF C3 00 00 00 0C 48 00 FF") + "abcd",
                                                                    hex("90 00 FF 48 00 FF") + "efgh", hex("A0 00 03")}
                                               << QByteArray("abcdefgh");
}

void ObexWire::getFileInSeveralPackets()
{
    QFETCH(QList<QByteArray>, responses);
    QFETCH(QByteArray, content);
    FilesOnPhone f;
    for (const QByteArray &response : responses)
        f.phone.respond(response);
    const auto got = f.files.GetFile("big.bin");
    QVERIFY(got);
    QCOMPARE(*got, content);
    QCOMPARE(f.phone.blocks().size(), 3);
    QCOMPARE(f.events.logged("received").last(), QStringLiteral("received download 2"));
    QCOMPARE(f.events.logged("finished"), QStringList{"finished download 3"});
}

void ObexWire::getFileRefusedIsFailure()
{
    FilesOnPhone f;
    f.phone.respond("C4 00 03");
    QVERIFY(!f.files.GetFile("gone.txt"));
    // A transfer that the phone breaks off is a failure too, however much arrived.
    f.phone.respond(hex("90 00 0D C3 00 00 00 20 48 00 05") + "ab");
    f.phone.respond("D0 00 03");
    QVERIFY(!f.files.GetFile("half.txt"));
    QVERIFY(f.events.refusals.isEmpty());
}

void ObexWire::longNamesRefusedBeforeSending()
{
    FilesOnPhone f;
    // The longest names fill a 254-byte packet; the block is cut into 32-byte frames.
    f.phone.respond("A0 00 03");
    QVERIFY(f.files.GetFile(QByteArray(123, 'g')));
    f.phone.settle();
    const QByteArray block = f.phone.blocks().first();
    QCOMPARE(block.size(), 261);
    QCOMPARE(block.mid(3, 5), hex("00 FE 83 00 FE"));
    QCOMPARE(f.phone.received().left(3), hex("16 20 36"));
    QCOMPARE(f.phone.received().mid(8 * 35, 3), hex("16 05 13"));
    const qsizetype sent = f.phone.received().size();

    QVERIFY(!f.files.GetFile(QByteArray(124, 'g')));
    QVERIFY(!f.files.DeleteObject(QByteArray(124, 'd')));
    QVERIFY(!f.files.ObexSetPath(QByteArray(123, 's')));
    QVERIFY(!f.files.MakeFolder(QByteArray(123, 'm')));
    QVERIFY(!f.files.phoneName(QStringLiteral("日本")));
    f.phone.settle();
    QCOMPARE(f.phone.received().size(), sent);
    QCOMPARE(f.events.refusals,
             (QList<Refusal>{Refusal::FileNameTooLong, Refusal::FileNameTooLong, Refusal::FolderNameTooLong,
                             Refusal::FolderNameTooLong, Refusal::NameNotEncodable}));
}

void ObexWire::makeFolderAndReturn()
{
    FilesOnPhone f;
    f.setSequence(1);
    f.phone.respond("A0 00 03");
    f.phone.respond("A0 00 03");
    QVERIFY(f.files.makeFolderAndReturn("New"));
    f.phone.settle();
    const QList<QByteArray> blocks = f.phone.blocks();
    QCOMPARE(blocks.size(), 2);
    QCOMPARE(blocks[0], blockCrc(hex("02 FD 01 00 10 85 00 10 00 00 01 00 0B 00 4E 00 65 00 77 00 00")));
    QCOMPARE(blocks[1], hex("03 FC 02 00 05 85 00 05 03 00 4F 23"));
    QVERIFY(f.files.PathStack().isEmpty());

    f.phone.respond("A0 00 03");
    QVERIFY(f.files.MakeFolder(QByteArray(42, 'x')));
    f.phone.settle();
    QCOMPARE(f.phone.blocks().last().size(), 101);
    QCOMPARE(f.files.PathStack(), QList<QByteArray>{QByteArray(42, 'x')});
}

void ObexWire::refusedMakeFolderStaysPut()
{
    FilesOnPhone f;
    f.phone.respond("C1 00 03");
    QVERIFY(!f.files.makeFolderAndReturn("NewDir"));
    f.phone.settle();
    QCOMPARE(f.phone.blocks().size(), 1);
    QVERIFY(f.files.PathStack().isEmpty());
}

void ObexWire::deleteOneLetterName()
{
    FilesOnPhone f;
    f.setSequence(1);
    f.phone.respond("A0 00 03");
    f.phone.respond("C4 00 03");
    QVERIFY(f.files.DeleteObject("a"));
    QVERIFY(!f.files.DeleteObject("a"));
    f.phone.settle();
    QCOMPARE(f.phone.blocks()[0], blockCrc(hex("03 FC 01 00 0A 82 00 0A 01 00 07 00 61 00 00")));
    QCOMPARE(f.phone.blocks()[1], blockCrc(hex("03 FC 02 00 0A 82 00 0A 01 00 07 00 61 00 00")));
    QCOMPARE(f.phone.received().left(3), hex("16 11 07"));
}

void ObexWire::moveCommand_data()
{
    QTest::addColumn<int>("sequence");
    QTest::addColumn<QList<QByteArray>>("from");
    QTest::addColumn<QList<QByteArray>>("to");
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<MoveResult>("result");
    const QList<QByteArray> a{"a.txt"};
    const QList<QByteArray> subB{"Sub", "b.txt"};
    const QByteArray renameBlock = hex("03 FC 05 00 30 82 00 30 4C 00 2D 34 04 6D 6F 76 65"
                                       " 35 0C 00 2F 00 61 00 2E 00 74 00 78 00 74"
                                       " 36 14 00 2F 00 53 00 75 00 62 00 2F 00 62 00 2E 00 74 00 78 00 74 A7 BC");
    QTest::addRow("moved") << 5 << a << subB << renameBlock << hex("A0 00 03") << MoveResult::Moved;
    QTest::addRow("missing") << 5 << a << subB << renameBlock << hex("C4 00 03") << MoveResult::NotFound;
    QTest::addRow("forbidden") << 5 << a << subB << renameBlock << hex("C3 00 03") << MoveResult::Refused;
    // Cyrillic names travel as UTF-16 units, not as Windows-1251 bytes.
    QTest::addRow("cyrillic, destination exists")
        << 2 << QList<QByteArray>{"Bitmap", "\xD4.bmp"} << QList<QByteArray>{"Bitmap", "\xDF.bmp"}
        << hex("03 FC 02 00 44 82 00 44 4C 00 41 34 04 6D 6F 76 65"
               " 35 1A 00 2F 00 42 00 69 00 74 00 6D 00 61 00 70 00 2F 04 24 00 2E 00 62 00 6D 00 70"
               " 36 1A 00 2F 00 42 00 69 00 74 00 6D 00 61 00 70 00 2F 04 2F 00 2E 00 62 00 6D 00 70 77 F7")
        << hex("CC 00 03") << MoveResult::DestinationExists;
}

void ObexWire::moveCommand()
{
    QFETCH(int, sequence);
    QFETCH(QList<QByteArray>, from);
    QFETCH(QList<QByteArray>, to);
    QFETCH(QByteArray, block);
    QFETCH(QByteArray, response);
    QFETCH(MoveResult, result);
    FilesOnPhone f;
    f.setSequence(sequence);
    f.phone.respond(response);
    QCOMPARE(f.files.MoveObject(from, to), result);
    f.phone.settle();
    QCOMPARE(f.phone.blocks(), QList<QByteArray>{block});
    QCOMPARE(f.phone.acknowledgements(), 1);
    QVERIFY(f.files.PathStack().isEmpty());
}

void ObexWire::moveOfLongPathsSendsNothing()
{
    FilesOnPhone f;
    // "/" and 126 characters fill the one-byte length of a path exactly.
    f.phone.respond("A0 00 03");
    QCOMPARE(f.files.MoveObject({QByteArray(126, 'a')}, {QByteArray(126, 'b')}), MoveResult::Moved);
    f.phone.settle();
    QCOMPARE(f.phone.blocks().size(), 1);
    QCOMPARE(f.phone.blocks().first().mid(17, 2), hex("35 FE"));
    const qsizetype sent = f.phone.received().size();

    QCOMPARE(f.files.MoveObject({QByteArray(127, 'a')}, {"b"}), MoveResult::PathTooLong);
    QCOMPARE(f.files.MoveObject({"a"}, {"Sub", QByteArray(123, 'b')}), MoveResult::PathTooLong);
    QCOMPARE(f.files.MoveObject({}, {"b"}), MoveResult::NotSent);
    QCOMPARE(f.files.MoveObject({"\x98"}, {"b"}), MoveResult::NotSent);
    f.phone.settle();
    QCOMPARE(f.phone.received().size(), sent);
    QCOMPARE(f.events.refusals, QList<Refusal>{Refusal::NameNotEncodable});
}

void ObexWire::uploadSmallFile()
{
    FilesOnPhone f;
    QTemporaryDir dir;
    QFile source(sourceFile(f, dir, QStringLiteral("a.txt"), QByteArrayLiteral("abc")));
    f.setSequence(4);
    f.phone.respond("A0 00 03");
    f.phone.respond("A0 00 03");
    QCOMPARE(f.files.PutFile(source.fileName()), PutResult::Sent);
    f.phone.settle();

    const QByteArray obex = hex("02 00 20 01 00 0F 00 61 00 2E 00 74 00 78 00 74 00 00 C3 00 00 00 06"
                                " 48 00 06 61 62 63 00 00 00");
    const QByteArray first = blockCrc(hex("03 FC 04 00 20") + obex);
    const QByteArray end = blockCrc(hex("03 FC 05 00 06 82 00 06 49 00 03"));
    QCOMPARE(first.size(), 39);
    QCOMPARE(end.size(), 13);
    QCOMPARE(f.phone.received(), frames(first) + Ack + frames(end) + Ack);
    QCOMPARE(f.events.log, QStringList({"started upload 3", "sent upload 1", "finished upload 1"}));
    QVERIFY(PhoneLinkTestAccess::idleMonitorRunning(f.link));
    QVERIFY(!stagingFileLeft(dir));
}

void ObexWire::uploadStagingCases_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<QList<int>>("bodyLengths"); // Body header lengths, End excluded
    QTest::newRow("empty") << 0 << QList<int>{3};
    QTest::newRow("496") << 496 << QList<int>{499};
    QTest::newRow("497") << 497 << QList<int>{500, 3};
    QTest::newRow("994") << 994 << QList<int>{500, 500, 3};
    QTest::newRow("1500") << 1500 << QList<int>{500, 500, 500, 12};
}

void ObexWire::uploadStagingCases()
{
    QFETCH(int, length);
    QFETCH(QList<int>, bodyLengths);
    FilesOnPhone f;
    QTemporaryDir dir;
    QByteArray content(length, '\0');
    for (int i = 0; i < length; ++i)
        content[i] = char(i * 31 + 7);
    QFile source(sourceFile(f, dir, QStringLiteral("f.bin"), content));
    for (int i = 1; i < bodyLengths.size(); ++i)
        f.phone.respond("90 00 03");
    f.phone.respond("90 00 03");
    f.phone.respond("A0 00 03");
    const qint64 stagingLength = length + 3 * (length / 497 + 1);

    QCOMPARE(f.files.PutFile(source.fileName()), PutResult::Sent);
    f.phone.settle();
    const QList<QByteArray> blocks = f.phone.blocks();
    QCOMPARE(blocks.size(), bodyLengths.size() + 1);
    QByteArray staged;
    for (int i = 0; i < bodyLengths.size(); ++i) {
        const QByteArray packet = blocks[i].mid(5, blocks[i].size() - 7);
        QCOMPARE(packet.at(0), char(0x02));
        // Block length and packet length agree.
        QCOMPARE(blocks[i].mid(3, 2), packet.mid(1, 2));
        int bodyAt = 3;
        if (i == 0) {
            QCOMPARE(packet.mid(3, 13), hex("01 00 0F 00 66 00 2E 00 62 00 69 00 6E"));
            QCOMPARE(packet.mid(18, 5),
                     hex("C3 00") + QByteArray::fromHex(QByteArray::number(stagingLength, 16).rightJustified(6, '0')));
            bodyAt = 23;
        }
        QCOMPARE(packet.at(bodyAt), char(0x48));
        const int bodyLength = quint8(packet.at(bodyAt + 1)) << 8 | quint8(packet.at(bodyAt + 2));
        QCOMPARE(bodyLength, bodyLengths[i]);
        // The record follows the header whole, its three zero bytes included.
        QCOMPARE(packet.size(), bodyAt + 3 + bodyLength);
        QVERIFY(packet.endsWith(QByteArray(3, '\0')));
        staged += packet.mid(bodyAt + 3, bodyLength - 3);
        if (i > 0 && i + 1 < bodyLengths.size())
            QCOMPARE(packet.left(6), hex("02 01 FA 48 01 F4"));
    }
    QCOMPARE(staged, content);
    QCOMPARE(blocks.last().mid(5, 6), hex("82 00 06 49 00 03"));
    QCOMPARE(f.events.logged("sent").size(), length / 497 + 1);
    QCOMPARE(f.events.logged("sent").last(), QStringLiteral("sent upload %1").arg(length / 497 + 1));

    // The same content from memory goes out byte for byte the same, and nothing is staged on disk.
    FilesOnPhone fromMemory;
    fromMemory.files.setWorkingDirectory(dir.path());
    for (int i = 0; i < bodyLengths.size(); ++i)
        fromMemory.phone.respond("90 00 03");
    fromMemory.phone.respond("A0 00 03");
    QCOMPARE(fromMemory.files.PutData("f.bin", content), PutResult::Sent);
    fromMemory.phone.settle();
    QCOMPARE(fromMemory.phone.received(), f.phone.received());
    QCOMPARE(fromMemory.events.log, f.events.log);
    QVERIFY(!stagingFileLeft(dir));
}

void ObexWire::uploadCyrillicName()
{
    FilesOnPhone f;
    QTemporaryDir dir;
    QFile source(sourceFile(f, dir, QStringLiteral("Фото.txt"), QByteArrayLiteral("x")));
    QCOMPARE(f.files.PutFile(source.fileName()), PutResult::Sent);
    f.phone.settle();
    QCOMPARE(f.phone.blocks()[0].mid(8, 21), hex("01 00 15 00 D4 00 EE 00 F2 00 EE 00 2E 00 74 00 78 00 74 00 00"));
}

void ObexWire::uploadRefusedMidway()
{
    FilesOnPhone f;
    QTemporaryDir dir;
    QFile source(sourceFile(f, dir, QStringLiteral("big.bin"), QByteArray(1500, 'z')));
    f.phone.respond("90 00 03");
    f.phone.respond("C4 00 03");
    QCOMPARE(f.files.PutFile(source.fileName()), PutResult::Refused);
    f.phone.settle();
    // First, one Next, the refusal acknowledged, then nothing: no End.
    QCOMPARE(f.phone.blocks().size(), 2);
    QCOMPARE(f.phone.acknowledgements(), 2);
    QVERIFY(f.phone.received().endsWith(Ack));
    QVERIFY(PhoneLinkTestAccess::idleMonitorRunning(f.link));
    QVERIFY(!stagingFileOpen());
    QVERIFY(!stagingFileLeft(dir));
}

void ObexWire::uploadEndedByLinkFailure()
{
    FilesOnPhone f;
    QTemporaryDir dir;
    QFile source(sourceFile(f, dir, QStringLiteral("big.bin"), QByteArray(1500, 'z')));
    f.phone.ackOnly(); // and then silence
    QVERIFY_THROWS_EXCEPTION(LinkLost, f.files.PutFile(source.fileName()));
    QCOMPARE(f.phone.blocks().size(), 1);
    QVERIFY(!stagingFileLeft(dir));
}

void ObexWire::uploadSizeQuestion()
{
    FilesOnPhone f;
    QTemporaryDir dir;
    QFile source(sourceFile(f, dir, QStringLiteral("large.bin"), QByteArray(152677, 'q')));
    f.events.answers = {false};
    QCOMPARE(f.files.PutFile(source.fileName()), PutResult::NotSent);
    QCOMPARE(f.events.questions, 1);
    f.phone.settle();
    QVERIFY(f.phone.received().isEmpty());
    QVERIFY(PhoneLinkTestAccess::idleMonitorRunning(f.link));
    QVERIFY(!stagingFileOpen());
    QVERIFY(!stagingFileLeft(dir));

    // One byte less stages exactly 150 kB and goes without a question.
    QVERIFY(source.resize(152676));
    for (int i = 0; i < 307; ++i)
        f.phone.respond("90 00 03");
    f.phone.respond("90 00 03");
    f.phone.respond("A0 00 03");
    QCOMPARE(f.files.PutFile(source.fileName()), PutResult::Sent);
    QCOMPARE(f.events.questions, 1);
    QCOMPARE(f.phone.blocks().size(), 307 + 1 + 1);
}

void ObexWire::uploadRefusedLocally()
{
    FilesOnPhone f;
    QTemporaryDir dir;
    f.files.setWorkingDirectory(dir.path());
    auto expectRefusal = [&f](const QString &path, Refusal refusal) {
        f.events.refusals.clear();
        QCOMPARE(f.files.PutFile(path), PutResult::NotSent);
        QCOMPARE(f.events.refusals, QList<Refusal>{refusal});
        QVERIFY(PhoneLinkTestAccess::idleMonitorRunning(f.link));
    };
    expectRefusal(dir.filePath(QStringLiteral("none.txt")), Refusal::SourceMissing);

    QFile huge(dir.filePath(QStringLiteral("huge.bin")));
    QVERIFY(huge.open(QIODevice::WriteOnly));
    QVERIFY(huge.resize(16676551)); // stages exactly 16 MiB; sparse on disk
    huge.close();
    expectRefusal(huge.fileName(), Refusal::StagingTooLarge);
    expectRefusal(sourceFile(f, dir, QString(240, u'n'), {}), Refusal::UploadNameTooLong);
    expectRefusal(sourceFile(f, dir, QStringLiteral("日本.txt"), {}), Refusal::NameNotEncodable);

    f.phone.settle();
    QVERIFY(f.phone.received().isEmpty());
    QVERIFY(!stagingFileOpen());
}

QTEST_GUILESS_MAIN(ObexWire)
#include "tst_obex_wire.moc"
