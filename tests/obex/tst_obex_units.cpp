// The parts of the file exchange that need no phone: name code page, request
// limits, listing rows, response data, memory figures, staging and working files.

#include "checksum.h"
#include "cp1251.h"
#include "listing.h"
#include "messages.h"
#include "obexrequests.h"
#include "obexresponses.h"
#include "staging.h"
#include "testchecksum.h"
#include "testprocess.h"
#include "workingfiles.h"

#include <QBuffer>
#include <QDir>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

ListingRow row(const char *name, EntryKind kind, const char *size = "", const char *date = "", const char *time = "")
{
    return ListingRow{name, kind, QString::fromUtf8(size), QString::fromUtf8(date), QString::fromUtf8(time)};
}

} // namespace

class ObexUnits : public QObject
{
    Q_OBJECT

private slots:
    void codePageMatchesSystemConverter();
    void codePageRefusesCharactersWithoutCode();
    void requestsStayInsideTheirBuffers();
    void nameEncodingOnTheWire();

    void listingRootAndParentRow();
    void listingKinds();
    void listingSizesDatesTimes();
    void listingKeepsLastKnownValues();
    void listingSurvivesUnterminatedValues();
    void listingOfThePhoneFormat();

    void responseDataFromHeaders();
    void responseDataFallsBackToFixedCuts();
    void memoryFigures();

    void stagingLengthsAndRecords();
    void workingDirectoryFollowsInstallation();
    void plainFileNames();
    void everyNoticeHasBothLanguages();
};

void ObexUnits::codePageMatchesSystemConverter()
{
    QStringDecoder system("windows-1251");
    if (!system.isValid())
        QSKIP("no system Windows-1251 converter");
    for (int b = 0; b < 256; ++b) {
        if (b == 0x98)
            continue;
        const QByteArray byte(1, char(b));
        QStringDecoder decoder("windows-1251");
        const QString expected = decoder.decode(byte);
        QCOMPARE(Cp1251::decode(byte), expected);
        QCOMPARE(Cp1251::encode(expected), std::optional<QByteArray>(byte));
    }
    QCOMPARE(Cp1251::decode(hex("CF F0 E8 E2 E5 F2 2E 74 78 74")), QStringLiteral("Привет.txt"));
    QCOMPARE(Cp1251::decode(hex("A8 B8 B9")), QStringLiteral("Ёё№"));
}

void ObexUnits::codePageRefusesCharactersWithoutCode()
{
    QVERIFY(!Cp1251::encode(QStringLiteral("日本.txt")));
    QVERIFY(!Cp1251::encode(QStringLiteral("smile\U0001F600")));
    QVERIFY(!Cp1251::encode(QString(QChar(0xFFFD))));
    QCOMPARE(Cp1251::decode(hex("98")), QString(QChar(0xFFFD)));
    QCOMPARE(*Cp1251::encode(QStringLiteral("Фото")), hex("D4 EE F2 EE"));
}

void ObexUnits::requestsStayInsideTheirBuffers()
{
    ReferenceChecksum crc;
    const QByteArray n42(42, 'x'), n43(43, 'x'), n44(44, 'x');
    QCOMPARE(ObexRequest::enterFolderBlock(2, n42, crc)->size(), 101);
    QVERIFY(!ObexRequest::enterFolderBlock(2, n43, crc));
    QCOMPARE(ObexRequest::makeFolderBlock(2, n42, crc)->size(), 101);
    QVERIFY(!ObexRequest::makeFolderBlock(2, n43, crc));
    QCOMPARE(ObexRequest::getFileBlock(2, n43, crc)->size(), 101);
    QVERIFY(!ObexRequest::getFileBlock(2, n44, crc));
    QCOMPARE(ObexRequest::deleteBlock(2, n43, crc)->size(), 101);
    QVERIFY(!ObexRequest::deleteBlock(2, n44, crc));

    const QByteArray fullRecord(500, 'r');
    QCOMPARE(ObexRequest::uploadFirstBlock(2, QByteArray(239, 'n'), 100000, fullRecord, crc)->size(), 1001);
    QVERIFY(!ObexRequest::uploadFirstBlock(2, QByteArray(240, 'n'), 100000, fullRecord, crc));
    QVERIFY(!ObexRequest::uploadFirstBlock(2, "a", 1 << 24, fullRecord, crc));
}

void ObexUnits::nameEncodingOnTheWire()
{
    QCOMPARE(ObexRequest::nameHeader(""), hex("01 00 05 00 00"));
    QCOMPARE(ObexRequest::nameHeader("a"), hex("01 00 07 00 61 00 00"));
    QCOMPARE(ObexRequest::nameHeader(hex("C0")), hex("01 00 07 00 C0 00 00"));
}

void ObexUnits::listingRootAndParentRow()
{
    const auto sub = parseListing("<file name=\"a.txt\" size=\"1\"/>");
    QCOMPARE(sub.first(), row("../          ", EntryKind::Parent));
    QCOMPARE(sub.size(), 2);

    QVERIFY(parseListing("<folder name=\"Bitmap\"/>").first().kind != EntryKind::Parent);
    QVERIFY(parseListing("<folder name=\"Ringing tone\"/>").first().kind != EntryKind::Parent);
    // A mention anywhere counts, even inside a file name.
    QVERIFY(parseListing("<file name=\"Bitmap1.bmp\" size=\"1\"/>").first().kind != EntryKind::Parent);
    QCOMPARE(parseListing("").size(), 1);
    QVERIFY(isRootListing("xx Ringing tone xx"));
    QVERIFY(!isRootListing("bitmap"));
}

void ObexUnits::listingKinds()
{
    const QByteArray text = "\n"
                            "<folder name=\"Bitmap\"/><folder name=\"Ringing tone\"/><folder name=\"java\"/>"
                            "<folder name=\"Animation\"/><folder name=\"Sms\"/><folder name=\"Internet\"/>"
                            "<folder name=\"bitmap\"/><folder name=\"Games\"/>"
                            "<file name=\"a.bmp\"/><file name=\"b.mid\"/><file name=\"c.jar\"/><file name=\"d.jad\"/>"
                            "<file name=\"e.bmx\"/><file name=\"PIC.BMP\"/><file name=\"bmp\"/><file name=\"md\"/>"
                            "<file name=\"b\"/><file name=\"notes.txt\"/>";
    const QList<EntryKind> expected = {
        EntryKind::BitmapFolder, EntryKind::RingingToneFolder, EntryKind::JavaFolder, EntryKind::AnimationFolder,
        EntryKind::SmsFolder,    EntryKind::InternetFolder,    EntryKind::Folder,     EntryKind::Folder,
        EntryKind::BmpFile,      EntryKind::MidFile,           EntryKind::JarFile,    EntryKind::JadFile,
        EntryKind::BmxFile,      EntryKind::OtherFile,         EntryKind::BmpFile,    EntryKind::OtherFile,
        EntryKind::OtherFile,    EntryKind::OtherFile};
    const auto rows = parseListing(text);
    QCOMPARE(rows.size(), expected.size());
    for (int i = 0; i < rows.size(); ++i)
        QCOMPARE(rows[i].kind, expected[i]);
    QCOMPARE(rows[13].name, QByteArray("PIC.BMP"));
    for (int i = 0; i < 8; ++i)
        QVERIFY(isFolderKind(rows[i].kind));
    for (int i = 8; i < rows.size(); ++i)
        QVERIFY(isFileKind(rows[i].kind));
}

void ObexUnits::listingSizesDatesTimes()
{
    // Folders come first, whatever the order in the text.
    const auto rows = parseListing("<file name=\"pic.bmp\" size=\"1536\" modified=\"20040101T010203\"/>"
                                   "<folder name=\"Bitmap\" modified=\"20030412T153005\"/>");
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows[0], row("Bitmap", EntryKind::BitmapFolder, "", "12.04.2003", "15:30"));
    QCOMPARE(rows[1], row("pic.bmp", EntryKind::BmpFile, "1536b", "01.01.2004", "01:02"));

    const auto single = parseListing("<folder name=\"Bitmap\" modified=\"20030412T153005\"/>");
    QCOMPARE(single[0].date, QStringLiteral("12.04.2003"));
    QCOMPARE(single[0].time, QStringLiteral("15:30"));
}

void ObexUnits::listingKeepsLastKnownValues()
{
    const auto rows = parseListing("<folder name=\"Bitmap\"/>"
                                   "<file name=\"first.txt\"/>"
                                   "<file name=\"a.txt\" size=\"10\" modified=\"20050607T080910\"/>"
                                   "<file name=\"b.txt\"/>"
                                   "<folder name=\"Later\" modified=\"20010203T040506\"/>");
    // Searches run past an entry's end: the folder takes the next modified value.
    QCOMPARE(rows[0], row("Bitmap", EntryKind::BitmapFolder, "", "07.06.2005", "08:09"));
    QCOMPARE(rows[1], row("Later", EntryKind::Folder, "", "03.02.2001", "04:05"));
    // first.txt finds a.txt's size further on; b.txt finds nothing and keeps the last.
    QCOMPARE(rows[2], row("first.txt", EntryKind::OtherFile, "10b", "07.06.2005", "08:09"));
    QCOMPARE(rows[3], row("a.txt", EntryKind::OtherFile, "10b", "07.06.2005", "08:09"));
    QCOMPARE(rows[4], row("b.txt", EntryKind::OtherFile, "10b", "07.06.2005", "08:09"));

    // Nothing parsed yet: empty values, the size column shows just the unit.
    const auto bare = parseListing("<file name=\"Bitmap.x\"/>");
    QCOMPARE(bare[0], row("Bitmap.x", EntryKind::OtherFile, "b", "", ""));
}

void ObexUnits::listingSurvivesUnterminatedValues()
{
    QCOMPARE(parseListing("<folder name=\"Bitmap")[0].name, QByteArray("Bitmap"));
    const auto file = parseListing("Bitmap <file name=\"x.bmp\" size=\"12");
    QCOMPARE(file[0], row("x.bmp", EntryKind::BmpFile, "12b"));
    const auto cut = parseListing("Bitmap <file name=\"y\" size=\"3\" modified=\"2003");
    QCOMPARE(cut[0].date, QStringLiteral("..2003"));
    QCOMPARE(cut[0].time, QStringLiteral(":"));
    QCOMPARE(parseListing("Bitmap folder name=")[0].name, QByteArray());
    QCOMPARE(parseListing("Bitmap file name=\"")[0].name, QByteArray());
}

void ObexUnits::listingOfThePhoneFormat()
{
    const QByteArray text =
        "<?xml version=\"1.0\"?>\r\n"
        "<!DOCTYPE folder-listing SYSTEM \"obex-folder-listing.dtd\">\r\n"
        "<folder-listing version=\"1.0\">\r\n"
        "<folder name=\"Music\" modified=\"20031224T235900\"/>\r\n"
        "<file name=\"\xCF\xF0\xE8\xE2\xE5\xF2.mid\" size=\"2048\" modified=\"20040229T120000\"/>\r\n"
        "</folder-listing>\r\n";
    const auto rows = parseListing(text);
    QCOMPARE(rows.size(), 3);
    QCOMPARE(rows[1], row("Music", EntryKind::Folder, "", "24.12.2003", "23:59"));
    QCOMPARE(rows[2].kind, EntryKind::MidFile);
    QCOMPARE(Cp1251::decode(rows[2].name), QStringLiteral("Привет.mid"));
    QCOMPARE(rows[2].size, QStringLiteral("2048b"));
    QCOMPARE(rows[2].date, QStringLiteral("29.02.2004"));
}

void ObexUnits::responseDataFromHeaders()
{
    using ObexResponse::GetDataCollector;
    GetDataCollector single(GetDataCollector::Transfer::File);
    single.addResponse(hex("A0 00 10 C3 00 00 00 05 48 00 08") + "hello");
    QCOMPARE(single.data(), QByteArray("hello"));

    // Data in every response, the final one included, whatever the header layout.
    GetDataCollector file(GetDataCollector::Transfer::File);
    file.addResponse(hex("90 00 0E C3 00 00 00 09 48 00 06") + "abc");
    file.addResponse(hex("90 00 08 48 00 05") + "de");
    file.addResponse(hex("90 00 03"));
    file.addResponse(hex("A0 00 0A 49 00 07") + "fghi");
    QCOMPARE(file.data(), QByteArray("abcdefghi"));
    QCOMPARE(file.responseCount(), 4);

    GetDataCollector listing(GetDataCollector::Transfer::Listing);
    listing.addResponse(hex("90 00 09 48 00 06") + "<a>");
    listing.addResponse(hex("A0 00 09 49 00 06") + "<b>");
    QCOMPARE(listing.data(), QByteArray("<a><b>"));

    QCOMPARE(*ObexResponse::bodyData(hex("A0 00 03")), QByteArray());
    QCOMPARE(*ObexResponse::bodyData(hex("A0 00 0B CB 00 00 00 01 97 05 48 00 03")), QByteArray());
}

void ObexUnits::responseDataFallsBackToFixedCuts()
{
    using ObexResponse::GetDataCollector;
    // Body lengths that run past the end do not parse.
    const QByteArray badFirst = hex("90 00 20 C3 00 00 00 09 48 00 FF") + "abc";
    const QByteArray badNext = hex("90 00 20 48 00 FF") + "def";
    const QByteArray badFinal = hex("A0 00 20 49 00 FF") + "ghi";

    GetDataCollector file(GetDataCollector::Transfer::File);
    file.addResponse(badFirst);
    file.addResponse(badNext);
    file.addResponse(badFinal);
    QCOMPARE(file.data(), QByteArray("abcdef"));

    GetDataCollector listing(GetDataCollector::Transfer::Listing);
    listing.addResponse(badFirst);
    listing.addResponse(hex("90 00 20 48 00 FF 00 00 00 00 00") + "xyz");
    QCOMPARE(listing.data(), QByteArray("abcxyz"));

    // Short or empty replies neither crash nor add anything.
    GetDataCollector shortOnes(GetDataCollector::Transfer::File);
    shortOnes.addResponse(hex("C4"));
    shortOnes.addResponse(QByteArray());
    QCOMPARE(shortOnes.data(), QByteArray());
}

void ObexUnits::memoryFigures()
{
    using ObexResponse::memoryFigure;
    QCOMPARE(memoryFigure(hex("A0 00 0C 4C 00 09 01 04 00 10 00 00")), std::optional<quint32>(0x100000));
    QCOMPARE(memoryFigure(hex("A0 00 0C 4C 00 09 01 04 00 0F FF FF")), std::optional<quint32>(1048575));
    // 16 MiB and more are read whole from a four-byte parameter.
    QCOMPARE(memoryFigure(hex("A0 00 0C 4C 00 09 02 04 01 00 00 05")), std::optional<quint32>(0x1000005));
    // Without parseable headers the three bytes at offsets 9 to 11 count.
    QCOMPARE(memoryFigure(hex("A0 00 0C 4C 00 FF 01 04 07 12 34 56")), std::optional<quint32>(0x123456));
    QVERIFY(!memoryFigure(hex("C4 00 03")));
    QVERIFY(!memoryFigure(hex("C0 A0 0C 4C 00 09 01 04 00 10 00 00")));
    QVERIFY(!memoryFigure(hex("A0 00 03")));
    QVERIFY(!memoryFigure(QByteArray()));
}

void ObexUnits::stagingLengthsAndRecords()
{
    QCOMPARE(Staging::stagedLength(0), 3);
    QCOMPARE(Staging::stagedLength(3), 6);
    QCOMPARE(Staging::stagedLength(496), 499);
    QCOMPARE(Staging::stagedLength(497), 503);
    QCOMPARE(Staging::stagedLength(994), 1003);
    QCOMPARE(Staging::stagedLength(152676), Staging::QuestionLength);
    QCOMPARE(Staging::stagedLength(152677), Staging::QuestionLength + 1);
    QCOMPARE(Staging::stagedLength(16676550), Staging::LengthLimit - 1);
    QCOMPARE(Staging::stagedLength(16676551), Staging::LengthLimit);

    const auto stage = [](QByteArray source) {
        QBuffer in(&source);
        QByteArray staged;
        QBuffer out(&staged);
        in.open(QIODevice::ReadOnly);
        out.open(QIODevice::WriteOnly);
        return Staging::write(in, out) ? staged : QByteArray("<failed>");
    };
    QByteArray source(994, '\0');
    for (int i = 0; i < source.size(); ++i)
        source[i] = char(i * 7);
    const QByteArray zeros(3, '\0');
    QCOMPARE(stage(source), source.left(497) + zeros + source.mid(497) + zeros + zeros);
    QCOMPARE(stage(QByteArray()), zeros);
}

void ObexUnits::workingDirectoryFollowsInstallation()
{
    const QString userData =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/tarvel");
    // An installed program: its folder may well be writable (root, a prefix in the
    // home folder), and still nothing is written there, not even a probe.
    QTemporaryDir installed;
    QCOMPARE(WorkingFiles::directoryFor(installed.path()), userData);
    QVERIFY(QDir(installed.path()).isEmpty());
    QVERIFY(QFileInfo(userData).isDir());

    QTemporaryDir buildTree;
    QVERIFY(writeFile(buildTree.filePath(QLatin1String(WorkingFiles::BuildTreeMarkerName)), {}));
    QCOMPARE(WorkingFiles::directoryFor(buildTree.path()), buildTree.path());
    QCOMPARE(WorkingFiles::directoryFor(buildTree.path() + QStringLiteral("/missing")), userData);

    // This test runs from the build's bin folder, which CMake marks.
    QCOMPARE(WorkingFiles::directory(), QCoreApplication::applicationDirPath());
    QCOMPARE(WorkingFiles::stagingFilePath(), QCoreApplication::applicationDirPath() + QStringLiteral("/temp.tmp"));
    QCOMPARE(WorkingFiles::dragOutDirectoryPath(), QCoreApplication::applicationDirPath() + QStringLiteral("/TempDir"));
}

void ObexUnits::plainFileNames()
{
    for (const QByteArray &bad :
         {QByteArray(), QByteArray("."), QByteArray(".."), QByteArray("a/b"), QByteArray("../x"), QByteArray("a\\b"),
          QByteArray("a\0b", 3), QByteArray("/etc/passwd")}) {
        QVERIFY2(!isPlainFileName(bad), bad.constData());
        QVERIFY(!safeLocalName(bad));
    }
    for (const QByteArray &good : {QByteArray("pic.bmp"), QByteArray("..."), QByteArray(".hidden"), QByteArray("a b")})
        QCOMPARE(*safeLocalName(good), QString::fromLatin1(good));
    QCOMPARE(*safeLocalName(hex("D4 EE F2 EE")), QStringLiteral("Фото"));
}

void ObexUnits::everyNoticeHasBothLanguages()
{
    for (int i = 0; i <= int(ObexNotice::DownloadFailed); ++i) {
        const auto notice = ObexNotice(i);
        QVERIFY(!russianText(notice).isEmpty());
        QCOMPARE(englishForRussian(russianText(notice)), std::optional<QString>(englishText(notice)));
    }
    QVERIFY(!englishForRussian(QStringLiteral("что-то ещё")));
}

QTEST_GUILESS_MAIN(ObexUnits)
#include "tst_obex_units.moc"
