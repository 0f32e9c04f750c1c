// Round trips through the emulated phone on one connection (the real connect procedure,
// pauses shortened): files of every size and names with every byte value, uploaded,
// listed, downloaded and deleted, byte for byte.

#include "cp1251.h"
#include "obextestsupport.h"
#include "workingfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

namespace {

QByteArray contentFor(int byte)
{
    QByteArray content;
    for (int i = 0; i < byte * 3; ++i)
        content.append(char((byte * 31 + i * 7) & 0xFF));
    return content;
}

QByteArray phoneNameFor(int byte)
{
    return QByteArray("n") + char(byte) + QByteArray(".bin");
}

// Bytes the emulated phone refuses in names, as a phone's file system does.
bool phoneRefuses(int byte)
{
    return byte < 0x20 || byte == 0x7F || byte == '\\';
}

} // namespace

class ObexPhonesim : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyByteValueInANameRoundTrips();
    void roundTrips_data();
    void roundTrips();
    void uploadAnnouncesTheLengthItSends();
    void longNamesReachThePhone();

private:
    PhonesimSession s;
};

void ObexPhonesim::initTestCase()
{
    QVERIFY(s.connect());
}

// A name the phone cannot store is refused before anything is sent, a name the phone
// refuses leaves nothing behind, and every other name arrives byte for byte.
void ObexPhonesim::everyByteValueInANameRoundTrips()
{
    const QString pc = s.dir.filePath(QStringLiteral("pc"));
    QList<int> stored;
    for (int byte = 1; byte < 256; ++byte) {
        if (byte == '/')
            continue; // no PC file name holds it
        const QString pcName = Cp1251::decode(phoneNameFor(byte));
        const QString source = localFilePath(pc, pcName);
        QVERIFY(writeFile(source, contentFor(byte)));
        const qsizetype puts = s.sim.logLines(QStringLiteral("PUT")).size();
        const qsizetype refusals = s.events.refusals.size();
        const PutResult result = s.files->PutFile(source);
        const QString what = QStringLiteral("byte 0x%1").arg(byte, 2, 16, QChar(u'0'));
        if (byte == 0x98) {
            // No character of the code page: refused on the PC with a message.
            QVERIFY2(result == PutResult::NotSent, qPrintable(what));
            QCOMPARE(s.events.refusals.mid(refusals), QList<Refusal>{Refusal::NameNotEncodable});
            QCOMPARE(s.sim.logLines(QStringLiteral("PUT")).size(), puts);
        } else if (phoneRefuses(byte)) {
            QVERIFY2(result == PutResult::Refused, qPrintable(what));
        } else {
            QVERIFY2(result == PutResult::Sent, qPrintable(what));
            QCOMPARE(readFile(localFilePath(s.flash(), pcName)), contentFor(byte));
            stored << byte;
        }
        QCOMPARE(readFile(source), contentFor(byte)); // the source is never touched
    }
    // All but '/', the 31 controls, DEL, '\' and 0x98; the refused left nothing behind.
    QCOMPARE(stored.size(), 255 - 1 - 31 - 1 - 1 - 1);
    QCOMPARE(QDir(s.flash()).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), stored.size());

    // The listing, many packets long and read as XML, names each file with the bytes it
    // was stored under, XML references (&amp; and the like) resolved.
    const FolderListing listing = s.files->RefreshListing();
    QVERIFY(parseListingXml(listing.text));
    QList<QByteArray> listed;
    for (const ListingRow &row : listing.rows)
        listed << row.name;
    QVERIFY(s.events.log.contains(QStringLiteral("received listing 2")));

    // Downloaded into a PC folder under the same name, then deleted on the phone.
    const QString back = s.dir.filePath(QStringLiteral("back"));
    for (int byte : stored) {
        const QByteArray name = phoneNameFor(byte);
        QVERIFY2(listed.contains(name), qPrintable(QString::number(byte, 16)));
        const auto content = s.files->GetFile(name);
        QCOMPARE(content, std::optional<QByteArray>(contentFor(byte)));
        const auto local = safeLocalName(name);
        QVERIFY(local);
        QVERIFY(writeFile(localFilePath(back, *local), *content));
        QVERIFY(s.files->DeleteObject(name));
    }
    QCOMPARE(QDir(back).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), stored.size());
    QVERIFY(QDir(s.flash()).entryList(QDir::Files | QDir::Hidden | QDir::System).isEmpty());
}

void ObexPhonesim::roundTrips_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("asked");
    for (int size : {0, 497, 994, 40000})
        QTest::addRow("%d bytes", size) << size << false;
    QTest::addRow("152676 bytes, 150 kB staged") << 152676 << false;
    QTest::addRow("152677 bytes, asked") << 152677 << true;
}

void ObexPhonesim::roundTrips()
{
    QFETCH(int, size);
    QFETCH(bool, asked);
    const QString fileName = QStringLiteral("f%1.bin").arg(size);
    const QByteArray content = randomBytes(size, quint32(size));
    QVERIFY(writeFile(s.local(fileName), content));

    QVERIFY(s.files->ObexSetPath("Bitmap"));
    const int questionsBefore = s.events.questions;
    QCOMPARE(s.files->PutFile(s.local(fileName)), PutResult::Sent);
    QCOMPARE(s.events.questions - questionsBefore, asked ? 1 : 0);
    QCOMPARE(readFile(s.flash() + QStringLiteral("/Bitmap/") + fileName), content);
    QCOMPARE(s.files->GetFile(fileName.toLatin1()), std::optional<QByteArray>(content));
    QVERIFY(s.files->ObexSetPathUp());
    QCOMPARE(s.files->PathStack(), QList<QByteArray>{"Root"});
    QVERIFY(PhoneLinkTestAccess::idleMonitorRunning(*s.link));
}

// A source whose length the file system does not tell in advance (files under
// /proc report 0) was announced in the Length header with the staged length of an
// empty file while its whole content followed (found uploading unusual sources).
void ObexPhonesim::uploadAnnouncesTheLengthItSends()
{
    const QString source = QStringLiteral("/proc/version");
    const QByteArray content = readFile(source);
    if (content == "<missing>")
        QSKIP("no /proc here");
    QVERIFY(!content.isEmpty());
    QCOMPARE(QFileInfo(source).size(), 0);
    QCOMPARE(s.files->PutFile(source), PutResult::Sent);
    QCOMPARE(readFile(s.flash() + QStringLiteral("/version")), content);
    const qint64 staged = content.size() + 3 * (content.size() / 497 + 1);
    const QStringList puts = s.sim.logLines(QStringLiteral("PUT name=version"));
    QCOMPARE(puts.size(), 1);
    QVERIFY2(puts.first().startsWith(QStringLiteral("PUT name=version length=%1 ").arg(staged)),
             qPrintable(puts.first()));
}

// Names longer than the old 101-byte request buffer allowed (42 characters for folders,
// 43 for files) could be listed but not entered, fetched or deleted.
void ObexPhonesim::longNamesReachThePhone()
{
    const QByteArray folder(122, 'F');
    const QByteArray file = QByteArray(119, 'n') + ".txt";
    const QString onPhone = s.flash() + u'/' + QString::fromLatin1(folder) + u'/' + QString::fromLatin1(file);
    QVERIFY(writeFile(onPhone, "long name"));
    s.events.refusals.clear();

    QVERIFY(s.files->ObexSetPath(folder));
    QCOMPARE(s.files->RefreshListing().rows.last().name, file);
    QCOMPARE(s.files->GetFile(file), std::optional<QByteArray>("long name"));
    QVERIFY(s.files->DeleteObject(file));
    QVERIFY(!QFile::exists(onPhone));
    QVERIFY(s.files->ObexSetPathUp());
    QVERIFY(s.files->makeFolderAndReturn(QByteArray(122, 'M')));
    QVERIFY(QFileInfo(s.flash() + u'/' + QString(122, u'M')).isDir());
    QVERIFY(s.events.refusals.isEmpty());
}

QTEST_GUILESS_MAIN(ObexPhonesim)
#include "tst_obex_phonesim.moc"
