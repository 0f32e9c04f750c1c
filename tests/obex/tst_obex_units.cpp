// The parts of the file exchange that need no phone: name code page, request
// limits, listing rows, response data, memory figures and working files.

#include "bfbbytes.h"
#include "cp1251.h"
#include "listing.h"
#include "obexresponses.h"
#include "phonefamily.h"
#include "recordedexchanges.h"
#include "testprocess.h"
#include "workingfiles.h"

#include <QDir>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTest>

namespace {

// The last two: the values of its own tag, a byte count and a local modification time.
ListingRow row(const char *name, EntryKind kind, const char *size = "", const char *date = "", const char *time = "",
               std::optional<quint64> bytes = {}, const QDateTime &modified = {})
{
    return ListingRow{name,  kind,    QString::fromUtf8(size), QString::fromUtf8(date), QString::fromUtf8(time),
                      bytes, modified};
}

QList<QByteArray> names(const QList<ListingRow> &rows)
{
    QList<QByteArray> list;
    for (const ListingRow &row : rows)
        list << row.name;
    return list;
}

// Each row as its name and its size column.
QStringList shown(const QList<ListingRow> &rows)
{
    QStringList lines;
    for (const ListingRow &row : rows)
        lines << QString::fromLatin1(row.name + ' ') + row.size;
    return lines;
}

QByteArray inListing(const QByteArray &entries)
{
    return "<?xml version=\"1.0\"?>\r\n<!DOCTYPE folder-listing SYSTEM \"obex-folder-listing.dtd\">\r\n"
           "<folder-listing version=\"1.0\">\r\n"
        + entries + "</folder-listing>\r\n";
}

// The text of the folder listing in a recording: the data of the listing GET's answer
// and of the answers to its continuations.
QByteArray recordedListing(const char *file)
{
    ObexResponse::GetDataCollector collector(ObexResponse::GetDataCollector::Transfer::Listing);
    bool listing = false;
    for (const RecordedExchange &exchange : loadRecording(QLatin1String(file))) {
        listing = listing || exchange.request.startsWith(hex("83 00 1C 42"));
        if (listing)
            collector.addResponse(exchange.answer);
    }
    return collector.data();
}

} // namespace

class ObexUnits : public QObject
{
    Q_OBJECT

private slots:
    void codePage()
    {
        QStringDecoder system("windows-1251");
        if (!system.isValid())
            QSKIP("no system Windows-1251 converter");
        for (int b = 0; b < 256; ++b) {
            const QByteArray byte(1, char(b));
            const QString expected = b == 0x98 ? QString(QChar(0xFFFD)) : QStringDecoder("windows-1251").decode(byte);
            QCOMPARE(Cp1251::decode(byte), expected);
            if (b != 0x98)
                QCOMPARE(Cp1251::encode(expected), std::optional<QByteArray>(byte));
        }
        for (const QString &without :
             {QStringLiteral("日本.txt"), QStringLiteral("smile\U0001F600"), QString(QChar(0xFFFD))})
            QVERIFY(!Cp1251::encode(without));
    }

    void listingKinds()
    {
        const QList<std::pair<QByteArray, EntryKind>> entries = {
            {"folder Bitmap", EntryKind::BitmapFolder}, {"folder Ringing tone", EntryKind::RingingToneFolder},
            {"folder java", EntryKind::JavaFolder},     {"folder Animation", EntryKind::AnimationFolder},
            {"folder Sms", EntryKind::SmsFolder},       {"folder Internet", EntryKind::InternetFolder},
            {"folder bitmap", EntryKind::Folder},       {"folder Games", EntryKind::Folder},
            {"file a.bmp", EntryKind::BmpFile},         {"file b.mid", EntryKind::MidFile},
            {"file c.jar", EntryKind::JarFile},         {"file d.jad", EntryKind::JadFile},
            {"file e.bmx", EntryKind::BmxFile},         {"file PIC.BMP", EntryKind::OtherFile},
            {"file bmp", EntryKind::BmpFile},           {"file md", EntryKind::OtherFile},
            {"file notes.txt", EntryKind::OtherFile},
        };
        QByteArray text;
        for (const auto &[entry, kind] : entries) {
            const qsizetype space = entry.indexOf(' ');
            text += '<' + entry.left(space) + " name=\"" + entry.mid(space + 1) + "\"/>";
        }
        const auto rows = parseListing(text);
        QCOMPARE(rows.size(), entries.size());
        for (int i = 0; i < rows.size(); ++i) {
            QCOMPARE(rows[i].kind, entries[i].second);
            QCOMPARE(isFolderKind(rows[i].kind), entries[i].first.startsWith("folder"));
            QCOMPARE(isFileKind(rows[i].kind), entries[i].first.startsWith("file"));
        }
    }

    // Text that is no XML is read by keywords, as the phone's first programs did.
    void listingByKeywords()
    {
        const auto rows = parseListing("<folder name=\"Bitmap\"/>"
                                       "<file name=\"first.txt\"/>"
                                       "<file name=\"a.txt\" size=\"10\" modified=\"20050607T080910\"/>"
                                       "<file name=\"b.txt\"/>"
                                       "<folder name=\"Later\" modified=\"20010203T040506\"/>");
        // Searches run past an entry's end: the folder takes the next modified value.
        QCOMPARE(rows[0], row("Bitmap", EntryKind::BitmapFolder, "", "07.06.2005", "08:09"));
        QCOMPARE(rows[1],
                 row("Later", EntryKind::Folder, "", "03.02.2001", "04:05", {},
                     QDateTime(QDate(2001, 2, 3), QTime(4, 5, 6))));
        // first.txt finds a.txt's size further on; b.txt finds nothing and keeps the last.
        QCOMPARE(rows[2], row("first.txt", EntryKind::OtherFile, "10b", "07.06.2005", "08:09"));
        QCOMPARE(rows[3],
                 row("a.txt", EntryKind::OtherFile, "10b", "07.06.2005", "08:09", 10,
                     QDateTime(QDate(2005, 6, 7), QTime(8, 9, 10))));
        QCOMPARE(rows[4], row("b.txt", EntryKind::OtherFile, "10b", "07.06.2005", "08:09"));
        // Nothing parsed yet: empty values, the size column shows just the unit.
        QCOMPARE(parseListingKeywords("<file name=\"Bitmap.x\"/>")[0], row("Bitmap.x", EntryKind::OtherFile, "b"));
        // References in names are resolved as in XML; what names no character stays as it stands.
        const auto referenced =
            parseListingKeywords("<folder name=\"Sms &amp; more\"/><file name=\"a&lt;1&gt;&quot;&apos; "
                                 "&#65;&#1072;&#x41;&#X430; &#x4E2D;&bogus;&amp R&D.mid\"/>");
        QCOMPARE(names(referenced),
                 (QList<QByteArray>{"Sms & more",
                                    "a<1>\"' A\xE0"
                                    "A\xE0 &#x4E2D;&bogus;&amp R&D.mid"}));
        QCOMPARE(referenced[1].kind, EntryKind::MidFile);

        // Values cut short by the end of the text.
        QCOMPARE(parseListing("<folder name=\"Bitmap")[0].name, QByteArray("Bitmap"));
        QCOMPARE(parseListing("Bitmap <file name=\"x.bmp\" size=\"12")[0], row("x.bmp", EntryKind::BmpFile, "12b"));
        const auto cut = parseListing("Bitmap <file name=\"y\" size=\"3\" modified=\"2003");
        QCOMPARE(cut[0].date, QStringLiteral("..2003"));
        QCOMPARE(cut[0].time, QStringLiteral(":"));
        QCOMPARE(parseListing("Bitmap file name=\"")[0].name, QByteArray());
        QCOMPARE(parseListing("").size(), 0);
    }

    void listingReadAsXml_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("asXml");
        QTest::addColumn<QStringList>("rows");
        QTest::newRow("file named with size=")
            << inListing("<file name=\"a size=12345.txt\" size=\"7\" modified=\"20040101T010203\"/>\r\n") << true
            << QStringList{"a size=12345.txt 7b"};
        QTest::newRow("parent-folder element beside a folder Bitmap")
            << inListing("<parent-folder/><folder name=\"Bitmap\"/>") << true << QStringList{"Bitmap "};
        QTest::newRow("entries without size take no other entry's")
            << inListing("<file name=\"a\" size=\"5\"/><file name=\"b\"/>") << true << QStringList{"a 5b", "b "};
        QTest::newRow("folders before files")
            << inListing("<file name=\"f\"/><folder name=\"d\"/>") << true << QStringList{"d ", "f "};
        QTest::newRow("undeclared entity kept as it stands")
            << inListing("<file name=\"R&D;x\" size=\"2\"/>") << true << QStringList{"R&D;x 2b"};
        QTest::newRow("raw ampersand: not XML, read by keywords")
            << inListing("<file name=\"a&b\" size=\"1\"/>") << false << QStringList{"a&b 1b"};
        QTest::newRow("cut short: read by keywords")
            << inListing("<file name=\"a\" size=\"4\"/>").chopped(21) << false << QStringList{"a 4b"};
    }

    void listingReadAsXml()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, asXml);
        QCOMPARE(parseListingXml(text).has_value(), asXml);
        QTEST(shown(parseListing(text)), "rows");
    }

    // A file named a&b.txt is listed as a&amp;b.txt; taken literally, the name could be
    // neither fetched nor deleted.
    void listingXmlNamesByteForByte_data()
    {
        QTest::addColumn<QByteArray>("listed");
        QTest::addColumn<QByteArray>("name");
        QTest::newRow("0x98, DEL and 0xFF") << QByteArray("\x98\x7F\xFF") << QByteArray("\x98\x7F\xFF");
        QTest::newRow("tab, line feed, carriage return") << QByteArray("a\tb\nc\r\nd") << QByteArray("a\tb\nc\r\nd");
        QTest::newRow("named references")
            << QByteArray("a&amp;b &lt;1&gt; &quot;x&quot; &apos;y&apos;") << QByteArray("a&b <1> \"x\" 'y'");
        QTest::newRow("numeric references in the code page")
            << QByteArray("&#65;&#1072;&#x430;&#10;") << QByteArray("A\xE0\xE0\n");
        QTest::newRow("reference outside the code page")
            << QByteArray("&#x4E2D;&#20013;") << QByteArray("&#x4E2D;&#x4E2D;");
    }

    void listingXmlNamesByteForByte()
    {
        QFETCH(QByteArray, listed);
        QFETCH(QByteArray, name);
        // Whatever the declaration says, the bytes are the phone's Windows-1251.
        for (const QByteArray &declaration : {QByteArray(), QByteArray("<?xml version=\"1.0\"?>"),
                                              QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"),
                                              QByteArray("<?xml version=\"1.0\" encoding=\"windows-1251\"?>")}) {
            const QByteArray text = declaration
                + "\r\n<folder-listing>\r\n<folder name=\"Sms &amp; more\"/><file name=\"" + listed
                + ".mid\" size=\"1\"/>\r\n</folder-listing>\r\n";
            const auto rows = parseListingXml(text);
            QVERIFY2(rows, declaration.constData());
            QCOMPARE(names(*rows), (QList<QByteArray>{"Sms & more", name + ".mid"}));
            QCOMPARE(rows->last().kind, EntryKind::MidFile);
        }
    }

    void listingTypedValues()
    {
        const auto rows =
            parseListingXml(inListing("<file name=\"a\" size=\"18446744073709551615\" modified=\"20040229T120000Z\"/>"
                                      "<file name=\"b\" size=\"12k\" modified=\"2004-02-29T12:00:00\"/>"
                                      "<file name=\"c\" size=\"\" modified=\"20041332T250000\"/>"
                                      "<file name=\"d\" size=\"99999999999999999999\"/>"));
        QVERIFY(rows);
        QCOMPARE(rows->size(), 4);
        QCOMPARE((*rows)[0].byteCount, std::optional<quint64>(18446744073709551615ULL));
        QCOMPARE((*rows)[0].modified, QDateTime(QDate(2004, 2, 29), QTime(12, 0), Qt::UTC));
        QCOMPARE((*rows)[1].size, QStringLiteral("12kb"));
        for (int i = 1; i <= 3; ++i) {
            QVERIFY(!(*rows)[i].byteCount);
            QVERIFY(!(*rows)[i].modified.isValid());
        }
        // Entries as recorded (M56v06 obex.listing, S75v12 obex.dir): indented on x55-x65,
        // CR LF line ends, the phone's permissions beside size and time; the texts in the
        // packets of the recorded listings. The M56's root names a folder "Tones&Alerts"
        // with a bare ampersand: no XML, read by keywords, the name byte for byte.
        const QByteArray m56Text = recordedListing("M56v06-listing.trace");
        QVERIFY(!parseListingXml(m56Text));
        const QList<ListingRow> m56 = parseListing(m56Text);
        QCOMPARE(m56.size(), 15); // the folders
        QCOMPARE(m56[0].name, QByteArray("PersistentData"));
        QVERIFY(isFolderKind(m56[0].kind));
        QCOMPARE(m56[0].modified, QDateTime(QDate(2003, 1, 1), QTime(0, 0)));
        QCOMPARE(m56[12].name, QByteArray("Tones&Alerts"));
        QCOMPARE(m56.last().name, QByteArray("Text module"));
        const auto s75 = parseListingXml(recordedListing("S75v12-data-listing.trace"));
        QVERIFY(s75);
        const auto pallet =
            std::find_if(s75->begin(), s75->end(), [](const ListingRow &r) { return r.name == "pallet.bmp"; });
        QVERIFY(pallet != s75->end());
        QVERIFY(!isFolderKind(pallet->kind));
        QCOMPARE(pallet->byteCount, std::optional<quint64>(3222));
        QCOMPARE(pallet->modified, QDateTime(QDate(2006, 11, 3), QTime(6, 20)));
    }

    void getData_data()
    {
        QTest::addColumn<bool>("listing");
        QTest::addColumn<QList<QByteArray>>("responses");
        QTest::addColumn<bool>("complete");
        QTest::addColumn<bool>("overrun");
        QTest::addColumn<QByteArray>("data");

        const QByteArray bareContinue = hex("90 00 03");
        // Data in every response, the final one included, whatever the header layout.
        QTest::newRow("data in every response")
            << false
            << QList{hex("90 00 0E C3 00 00 00 09 48 00 06") + "abc", hex("90 00 08 48 00 05") + "de", bareContinue,
                     hex("A0 00 0A 49 00 07") + "fghi"}
            << true << false << QByteArray("abcdefghi");
        QTest::newRow("no Length header") << false << QList{hex("90 00 08 48 00 05") + "ab", hex("A0 00 06 49 00 03")}
                                          << true << false << QByteArray("ab");
        QTest::newRow("headers beside the body")
            << false << QList{hex("A0 00 0B CB 00 00 00 01 97 05 48 00 03")} << true << false << QByteArray();
        // Body lengths that run past the end do not parse: fixed cuts, nothing from a later final,
        // and no Length is known.
        const QByteArray badFirst = hex("90 00 20 C3 00 00 00 09 48 00 FF") + "abc";
        QTest::newRow("file by fixed cuts")
            << false << QList{badFirst, hex("90 00 20 48 00 FF") + "def", hex("A0 00 20 49 00 FF") + "ghi"} << true
            << false << QByteArray("abcdef");
        QTest::newRow("listing by fixed cuts")
            << true << QList{badFirst, hex("90 00 20 48 00 FF 00 00 00 00 00") + "xyz"} << true << false
            << QByteArray("abcxyz");
        QTest::newRow("short and empty responses")
            << false << QList{hex("C4"), QByteArray()} << true << false << QByteArray();
        QList<QByteArray> stalled(64, bareContinue);
        QTest::newRow("Continue without data, 64 times")
            << false << stalled + QList{hex("A0 00 07 49 00 04") + "z"} << true << false << QByteArray("z");
        const QList<QByteArray> sixteenMiB(1024, hex("90 40 06 48 40 03") + QByteArray(0x4000, 'p'));
        QTest::newRow("16 MiB without Length")
            << false << sixteenMiB + QList{hex("A0 00 03")} << true << false << QByteArray(16 * 1024 * 1024, 'p');
        QTest::newRow("past 16 MiB without Length")
            << false << sixteenMiB + QList{hex("90 00 07 48 00 04 70")} << false << true << QByteArray();
    }

    void getData()
    {
        QFETCH(bool, listing);
        QFETCH(QList<QByteArray>, responses);
        QFETCH(bool, overrun);
        using ObexResponse::GetDataCollector;
        GetDataCollector collector(listing ? GetDataCollector::Transfer::Listing : GetDataCollector::Transfer::File);
        // Responses are added until the collector sees an overrun, as the transfer loop does.
        qsizetype added = 0;
        while (added < responses.size() && !collector.overrun())
            collector.addResponse(responses[added++]);
        QCOMPARE(added, responses.size());
        QTEST(collector.complete(), "complete");
        QCOMPARE(collector.overrun(), overrun);
        QTEST(collector.data(), "data");
        // An overrun transfer takes nothing more.
        collector.addResponse(hex("90 00 07 48 00 04 71"));
        if (overrun)
            QVERIFY(collector.data().isEmpty());
    }

    void memoryFigures_data()
    {
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<std::optional<quint32>>("figure");
        // 16 MiB and more are read whole from a four-byte parameter.
        QTest::newRow("past 16 MiB") << hex("A0 00 0C 4C 00 09 02 04 01 00 00 05") << std::optional<quint32>(0x1000005);
        // Without parseable headers the three bytes at offsets 9 to 11 count.
        QTest::newRow("headers that do not parse")
            << hex("A0 00 0C 4C 00 FF 01 04 07 12 34 56") << std::optional<quint32>(0x123456);
        QTest::newRow("no success code") << hex("C0 A0 0C 4C 00 09 01 04 00 10 00 00") << std::optional<quint32>();
        QTest::newRow("no figure") << hex("A0 00 03") << std::optional<quint32>();
        QTest::newRow("nothing") << QByteArray() << std::optional<quint32>();
    }

    void memoryFigures()
    {
        QFETCH(QByteArray, response);
        QTEST(ObexResponse::memoryFigure(response), "figure");
    }

    // The phone's largest packet, from its CONNECT answer; none, or a figure below the 255
    // bytes every OBEX peer takes, leaves the program's own sizes.
    void announcedMaxPacket_data()
    {
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<std::optional<int>>("maxPacket");
        // The family a phone of unknown model (found in OBEX mode) is taken for.
        QTest::addColumn<QString>("family");
        const auto recorded = [](const char *file) { return loadRecording(QLatin1String(file)).value(0).answer; };
        const QByteArray m56 = recorded("M56v06-connect.trace");
        QTest::newRow("M56v06") << m56 << std::optional<int>(474) << "x55/x60";
        QTest::newRow("S66v34") << recorded("S66v34-connect.trace") << std::optional<int>(1030) << "x65";
        QTest::newRow("S75v47") << recorded("S75v47-connect.trace") << std::optional<int>(8208) << "x75";
        QTest::newRow("EL71v45's 8203") << QByteArray(m56).replace(5, 2, hex("20 0B")) << std::optional<int>(8203)
                                        << "x75";
        QTest::newRow("S56v06 refused") << recorded("S56v06-connect.trace") << std::optional<int>() << "x55/x60";
        QTest::newRow("below 255") << QByteArray(m56).replace(5, 2, hex("00 10")) << std::optional<int>() << "x55/x60";
        QTest::newRow("cut short") << m56.left(6) << std::optional<int>() << "x55/x60";
    }

    void announcedMaxPacket()
    {
        QFETCH(QByteArray, response);
        const std::optional<int> maxPacket = ObexResponse::announcedMaxPacket(response);
        QTEST(maxPacket, "maxPacket");
        QTEST(QString::fromLatin1(phoneFamilyOfPacket(maxPacket).name), "family");
    }

    void workingDirectoryFollowsInstallation()
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
    }
};

QTEST_GUILESS_MAIN(ObexUnits)
#include "tst_obex_units.moc"
