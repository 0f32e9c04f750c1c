// The parts of the file exchange that need no phone: name code page, request
// limits, listing rows, response data, memory figures, staging and working files.

#include "checksum.h"
#include "cp1251.h"
#include "listing.h"
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

// The row with the values of its own tag: a byte count and a local modification time.
ListingRow withOwn(ListingRow row, std::optional<quint64> bytes, QDateTime modified)
{
    row.byteCount = bytes;
    row.modified = modified;
    return row;
}

QDateTime local(int year, int month, int day, int hour, int minute, int second)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second));
}

QList<QByteArray> names(const QList<ListingRow> &rows)
{
    QList<QByteArray> list;
    for (const ListingRow &row : rows)
        list << row.name;
    return list;
}

QByteArray inListing(const QByteArray &entries)
{
    return "<?xml version=\"1.0\"?>\r\n<!DOCTYPE folder-listing SYSTEM \"obex-folder-listing.dtd\">\r\n"
           "<folder-listing version=\"1.0\">\r\n"
        + entries + "</folder-listing>\r\n";
}

} // namespace

class ObexUnits : public QObject
{
    Q_OBJECT

private slots:
    void codePageMatchesSystemConverter();
    void codePageRefusesCharactersWithoutCode();
    void requestsStayWithinThePacketLimit();
    void nameEncodingOnTheWire();

    void listingRootAndParentRow();
    void listingKinds();
    void listingSizesDatesTimes();
    void listingKeepsLastKnownValues();
    void listingSurvivesUnterminatedValues();
    void listingOfThePhoneFormat();
    void listingReadAsXml_data();
    void listingReadAsXml();
    void listingXmlNamesByteForByte_data();
    void listingXmlNamesByteForByte();
    void listingTypedValues();

    void responseDataFromHeaders();
    void responseDataFallsBackToFixedCuts();
    void memoryFigures();
    void transferLengthAndLimits_data();
    void transferLengthAndLimits();

    void stagingLengthsAndRecords();
    void workingDirectoryFollowsInstallation();
    void plainFileNames();
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

void ObexUnits::requestsStayWithinThePacketLimit()
{
    ReferenceChecksum crc;
    // Packets of 254 bytes; the block adds 7.
    const QByteArray n122(122, 'x'), n123(123, 'x'), n124(124, 'x');
    QCOMPARE(ObexRequest::enterFolderBlock(2, n122, crc)->size(), 261);
    QVERIFY(!ObexRequest::enterFolderBlock(2, n123, crc));
    QCOMPARE(ObexRequest::makeFolderBlock(2, n122, crc)->size(), 261);
    QVERIFY(!ObexRequest::makeFolderBlock(2, n123, crc));
    QCOMPARE(ObexRequest::getFileBlock(2, n123, crc)->size(), 261);
    QVERIFY(!ObexRequest::getFileBlock(2, n124, crc));
    QCOMPARE(ObexRequest::deleteBlock(2, n123, crc)->size(), 261);
    QVERIFY(!ObexRequest::deleteBlock(2, n124, crc));
    // The names that fitted the old 101-byte buffer keep their blocks.
    QCOMPARE(ObexRequest::enterFolderBlock(2, QByteArray(42, 'x'), crc)->size(), 101);
    QCOMPARE(ObexRequest::getFileBlock(2, QByteArray(43, 'x'), crc)->size(), 101);

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
    // Read by keywords, a mention anywhere counts, even inside a file name.
    QVERIFY(parseListingKeywords("<file name=\"Bitmap1.bmp\" size=\"1\"/>").first().kind != EntryKind::Parent);
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
    QCOMPARE(
        rows[0],
        withOwn(row("Bitmap", EntryKind::BitmapFolder, "", "12.04.2003", "15:30"), {}, local(2003, 4, 12, 15, 30, 5)));
    QCOMPARE(
        rows[1],
        withOwn(row("pic.bmp", EntryKind::BmpFile, "1536b", "01.01.2004", "01:02"), 1536, local(2004, 1, 1, 1, 2, 3)));

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
    QCOMPARE(rows[1],
             withOwn(row("Later", EntryKind::Folder, "", "03.02.2001", "04:05"), {}, local(2001, 2, 3, 4, 5, 6)));
    // first.txt finds a.txt's size further on; b.txt finds nothing and keeps the last.
    QCOMPARE(rows[2], row("first.txt", EntryKind::OtherFile, "10b", "07.06.2005", "08:09"));
    QCOMPARE(
        rows[3],
        withOwn(row("a.txt", EntryKind::OtherFile, "10b", "07.06.2005", "08:09"), 10, local(2005, 6, 7, 8, 9, 10)));
    QCOMPARE(rows[4], row("b.txt", EntryKind::OtherFile, "10b", "07.06.2005", "08:09"));

    // Nothing parsed yet: empty values, the size column shows just the unit.
    const auto bare = parseListingKeywords("<file name=\"Bitmap.x\"/>");
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
    const QByteArray text = inListing("<folder name=\"Music\" modified=\"20031224T235900\"/>\r\n"
                                      "<file name=\"\xCF\xF0\xE8\xE2\xE5\xF2.mid\" size=\"2048\" "
                                      "modified=\"20040229T120000\"/>\r\n");
    const auto xml = parseListingXml(text);
    QVERIFY(xml);
    QCOMPARE(parseListing(text), *xml);
    const QList<ListingRow> rows = *xml;
    QCOMPARE(rows.size(), 3);
    QCOMPARE(rows[1],
             withOwn(row("Music", EntryKind::Folder, "", "24.12.2003", "23:59"), {}, local(2003, 12, 24, 23, 59, 0)));
    QCOMPARE(rows[2].kind, EntryKind::MidFile);
    QCOMPARE(Cp1251::decode(rows[2].name), QStringLiteral("Привет.mid"));
    QCOMPARE(rows[2].size, QStringLiteral("2048b"));
    QCOMPARE(rows[2].date, QStringLiteral("29.02.2004"));
    QCOMPARE(rows[2].byteCount, std::optional<quint64>(2048));
    QCOMPARE(rows[2].modified, local(2004, 2, 29, 12, 0, 0));
    // The window shows the same rows as the keyword reading did.
    QCOMPARE(parseListingKeywords(text), rows);
}

void ObexUnits::listingReadAsXml_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("asXml");
    QTest::addColumn<QList<QByteArray>>("rowNames");
    QTest::addColumn<QStringList>("sizes");
    const QByteArray parent = ParentRowText;

    QTest::newRow("file named with size=")
        << inListing("<file name=\"a size=12345.txt\" size=\"7\" modified=\"20040101T010203\"/>\r\n") << true
        << QList<QByteArray>{parent, "a size=12345.txt"} << QStringList{"", "7b"};
    QTest::newRow("file named with folder name=")
        << inListing("<file name=\"folder name=x\" size=\"3\"/>\r\n") << true
        << QList<QByteArray>{parent, "folder name=x"} << QStringList{"", "3b"};
    QTest::newRow("root by its folders") << inListing(
        "<folder name=\"Bitmap\"/><folder name=\"Ringing tone\"/><file name=\"a.txt\" size=\"1\"/>")
                                         << true << QList<QByteArray>{"Bitmap", "Ringing tone", "a.txt"}
                                         << QStringList{"", "", "1b"};
    QTest::newRow("subfolder holding a file named Bitmap1.bmp")
        << inListing("<file name=\"Bitmap1.bmp\" size=\"1\"/>") << true << QList<QByteArray>{parent, "Bitmap1.bmp"}
        << QStringList{"", "1b"};
    QTest::newRow("parent-folder element beside a folder Bitmap")
        << inListing("<parent-folder/><folder name=\"Bitmap\"/>") << true << QList<QByteArray>{parent, "Bitmap"}
        << QStringList{"", ""};
    QTest::newRow("entries without size take no other entry's")
        << inListing("<file name=\"a\" size=\"5\"/><file name=\"b\"/>") << true << QList<QByteArray>{parent, "a", "b"}
        << QStringList{"", "5b", ""};
    QTest::newRow("single quotes, any attribute order")
        << QByteArray("<folder-listing><file size='9' name='q.mid'/></folder-listing>") << true
        << QList<QByteArray>{parent, "q.mid"} << QStringList{"", "9b"};
    QTest::newRow("folders before files") << inListing("<file name=\"f\"/><folder name=\"d\"/>") << true
                                          << QList<QByteArray>{parent, "d", "f"} << QStringList{"", "", ""};
    QTest::newRow("other elements and nameless entries ignored")
        << QByteArray("<folder-listing><x name=\"no\"/><file size=\"1\"/><file name=\"y\"/></folder-listing>") << true
        << QList<QByteArray>{parent, "y"} << QStringList{"", ""};
    QTest::newRow("undeclared entity kept as it stands") << inListing("<file name=\"R&D;x\" size=\"2\"/>") << true
                                                         << QList<QByteArray>{parent, "R&D;x"} << QStringList{"", "2b"};
    QTest::newRow("raw ampersand: not XML, read by keywords")
        << inListing("<file name=\"a&b\" size=\"1\"/>") << false << QList<QByteArray>{parent, "a&b"}
        << QStringList{"", "1b"};
    QTest::newRow("control byte: not XML, read by keywords")
        << inListing("<file name=\"a\x01\" size=\"4\"/>") << false << QList<QByteArray>{parent, "a\x01"}
        << QStringList{"", "4b"};
    QTest::newRow("cut short: read by keywords") << inListing("<file name=\"a\" size=\"4\"/>").chopped(21) << false
                                                 << QList<QByteArray>{parent, "a"} << QStringList{"", "4b"};
}

void ObexUnits::listingReadAsXml()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, asXml);
    QFETCH(QList<QByteArray>, rowNames);
    QFETCH(QStringList, sizes);
    QCOMPARE(parseListingXml(text).has_value(), asXml);
    const auto rows = parseListing(text);
    QCOMPARE(names(rows), rowNames);
    QStringList shown;
    for (const ListingRow &entry : rows)
        shown << entry.size;
    QCOMPARE(shown, sizes);
}

void ObexUnits::listingXmlNamesByteForByte_data()
{
    QTest::addColumn<QByteArray>("listed");
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("Windows-1251 letters")
        << QByteArray("\xCF\xF0\xE8\xE2\xE5\xF2.mid") << QByteArray("\xCF\xF0\xE8\xE2\xE5\xF2.mid");
    QTest::newRow("0x98, DEL and 0xFF") << QByteArray("\x98\x7F\xFF") << QByteArray("\x98\x7F\xFF");
    QTest::newRow("tab, line feed, carriage return") << QByteArray("a\tb\nc\r\nd") << QByteArray("a\tb\nc\r\nd");
    QTest::newRow("spaces") << QByteArray("  two  spaces ") << QByteArray("  two  spaces ");
    QTest::newRow("named references") << QByteArray("a&amp;b &lt;1&gt; &quot;x&quot; &apos;y&apos;")
                                      << QByteArray("a&b <1> \"x\" 'y'");
    QTest::newRow("numeric references in the code page")
        << QByteArray("&#65;&#1072;&#x430;&#10;") << QByteArray("A\xE0\xE0\n");
    QTest::newRow("reference outside the code page")
        << QByteArray("&#x4E2D;&#20013;") << QByteArray("&#x4E2D;&#x4E2D;");
}

void ObexUnits::listingXmlNamesByteForByte()
{
    QFETCH(QByteArray, listed);
    QFETCH(QByteArray, name);
    // Whatever the declaration says, the bytes are the phone's Windows-1251.
    for (const QByteArray &declaration :
         {QByteArray(), QByteArray("<?xml version=\"1.0\"?>"), QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"),
          QByteArray("<?xml version=\"1.0\" encoding=\"windows-1251\"?>")}) {
        const QByteArray text =
            declaration + "\r\n<folder-listing>\r\n<file name=\"" + listed + "\" size=\"1\"/>\r\n</folder-listing>\r\n";
        const auto rows = parseListingXml(text);
        QVERIFY2(rows, declaration.constData());
        QCOMPARE(names(*rows), (QList<QByteArray>{ParentRowText, name}));
    }
}

void ObexUnits::listingTypedValues()
{
    const auto rows =
        parseListingXml(inListing("<file name=\"a\" size=\"18446744073709551615\" modified=\"20040229T120000Z\"/>"
                                  "<file name=\"b\" size=\"12k\" modified=\"2004-02-29T12:00:00\"/>"
                                  "<file name=\"c\" size=\"\" modified=\"20041332T250000\"/>"
                                  "<file name=\"d\" size=\"99999999999999999999\"/>"));
    QVERIFY(rows);
    QCOMPARE(rows->size(), 5);
    QCOMPARE((*rows)[1].byteCount, std::optional<quint64>(18446744073709551615ULL));
    QCOMPARE((*rows)[1].modified, QDateTime(QDate(2004, 2, 29), QTime(12, 0), Qt::UTC));
    QCOMPARE((*rows)[2].size, QStringLiteral("12kb"));
    for (int i = 2; i <= 4; ++i) {
        QVERIFY(!(*rows)[i].byteCount);
        QVERIFY(!(*rows)[i].modified.isValid());
    }

    // Read by keywords, an entry shows the values found after it, but its own are only those of its tag.
    const auto keywords = parseListingKeywords("<file name=\"a size=12345.txt\"/>"
                                               "<file name=\"b\" size=\"7\" modified=\"20050607T080910\"/>");
    QCOMPARE(keywords[1], row("a size=12345.txt", EntryKind::OtherFile, "2345.txtb", "07.06.2005", "08:09"));
    QCOMPARE(keywords[2],
             withOwn(row("b", EntryKind::OtherFile, "7b", "07.06.2005", "08:09"), 7, local(2005, 6, 7, 8, 9, 10)));
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

void ObexUnits::transferLengthAndLimits_data()
{
    QTest::addColumn<QList<QByteArray>>("responses");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<bool>("overrun");
    QTest::addColumn<QByteArray>("data");

    const QByteArray bareContinue = hex("90 00 03");
    QTest::newRow("as long as announced")
        << QList<QByteArray>{hex("A0 00 10 C3 00 00 00 05 48 00 08") + "hello"} << true << false << QByteArray("hello");
    QTest::newRow("no Length header") << QList<QByteArray>{hex("90 00 08 48 00 05") + "ab", hex("A0 00 06 49 00 03")}
                                      << true << false << QByteArray("ab");
    QTest::newRow("shorter than announced")
        << QList<QByteArray>{hex("90 00 0F C3 00 00 00 0C 48 00 07") + "abcd", hex("A0 00 07 49 00 04") + "e"} << false
        << false << QByteArray("abcde");
    QTest::newRow("longer than announced")
        << QList<QByteArray>{hex("90 00 0D C3 00 00 00 03 48 00 05") + "ab", hex("90 00 08 48 00 05") + "cd"} << false
        << true << QByteArray();
    QList<QByteArray> stalled(64, bareContinue);
    QTest::newRow("Continue without data, 64 times")
        << stalled + QList<QByteArray>{hex("A0 00 07 49 00 04") + "z"} << true << false << QByteArray("z");
    stalled.append(bareContinue);
    QTest::newRow("Continue without data, 65 times") << stalled << false << true << QByteArray();

    QByteArray piece = hex("90 40 06 48 40 03");
    piece.append(QByteArray(0x4000, 'p'));
    const QList<QByteArray> sixteenMiB(1024, piece);
    QTest::newRow("16 MiB without Length")
        << sixteenMiB + QList<QByteArray>{hex("A0 00 03")} << true << false << QByteArray(16 * 1024 * 1024, 'p');
    QTest::newRow("past 16 MiB without Length")
        << sixteenMiB + QList<QByteArray>{hex("90 00 07 48 00 04 70")} << false << true << QByteArray();
}

void ObexUnits::transferLengthAndLimits()
{
    QFETCH(QList<QByteArray>, responses);
    QFETCH(bool, complete);
    QFETCH(bool, overrun);
    QFETCH(QByteArray, data);
    using ObexResponse::GetDataCollector;
    GetDataCollector collector(GetDataCollector::Transfer::File);
    // Responses are added until the collector sees an overrun, as the transfer loop does.
    qsizetype added = 0;
    while (added < responses.size() && !collector.overrun())
        collector.addResponse(responses[added++]);
    QCOMPARE(added, responses.size());
    QCOMPARE(collector.complete(), complete);
    QCOMPARE(collector.overrun(), overrun);
    QCOMPARE(collector.data(), data);
    // An overrun transfer takes nothing more.
    collector.addResponse(hex("90 00 07 48 00 04 71"));
    if (overrun)
        QVERIFY(collector.data().isEmpty());
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

QTEST_GUILESS_MAIN(ObexUnits)
#include "tst_obex_units.moc"
