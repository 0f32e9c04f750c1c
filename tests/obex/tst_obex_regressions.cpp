// Faults found by fuzzing and by feeding the program unusual input, kept from coming back.

#include "listing.h"
#include "obextestsupport.h"
#include "workingfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

class ObexRegressions : public QObject
{
    Q_OBJECT

private slots:
    void nameStartingWithColonStaysInItsFolder();
    void uploadAnnouncesTheLengthItSends();
    void hostileDownloadsFail_data();
    void hostileDownloadsFail();
    void listingPastItsLengthIsDropped();
    void longNamesReachThePhone();
};

namespace {

// A GET response: code, packet length, then the headers.
QByteArray response(const char *code, const QByteArray &headers)
{
    QByteArray packet = hex(code) + QByteArray(2, char(0)) + headers;
    packet[1] = char(packet.size() >> 8);
    packet[2] = char(packet.size() & 0xFF);
    return packet;
}

QByteArray lengthHeader(int length)
{
    return hex("C3 00 00") + char(length >> 8) + char(length & 0xFF);
}

QByteArray bodyHeader(const QByteArray &data, char id = 0x48)
{
    return QByteArray(1, id) + char((data.size() + 3) >> 8) + char((data.size() + 3) & 0xFF) + data;
}

} // namespace

// QDir::filePath took ":abc" for a Qt resource and dropped the folder, so a phone
// file of that name could not be saved (found by fuzz_listing).
void ObexRegressions::nameStartingWithColonStaysInItsFolder()
{
    QCOMPARE(localFilePath(QStringLiteral("/pc/folder"), QStringLiteral(":abc")), QStringLiteral("/pc/folder/:abc"));
    QCOMPARE(localFilePath(QStringLiteral("/pc/folder/"), QStringLiteral(":abc")), QStringLiteral("/pc/folder/:abc"));
    QCOMPARE(localFilePath(QString(), QStringLiteral(":abc")), QStringLiteral("./:abc"));
}

// A source whose length the file system does not tell in advance (files under
// /proc report 0) was announced in the Length header with the staged length of an
// empty file while its whole content followed (found uploading unusual sources).
void ObexRegressions::uploadAnnouncesTheLengthItSends()
{
    const QString source = QStringLiteral("/proc/version");
    QFile probe(source);
    if (!probe.open(QIODevice::ReadOnly))
        QSKIP("no /proc here");
    const QByteArray content = probe.readAll();
    QVERIFY(!content.isEmpty());
    QCOMPARE(QFileInfo(source).size(), 0);

    PhonesimSession session;
    QVERIFY(session.connect());
    PhoneFiles &files = *session.files;
    const PhoneSim &sim = session.sim;

    QCOMPARE(files.PutFile(source), PutResult::Sent);
    QFile onPhone(session.flash() + QStringLiteral("/version"));
    QVERIFY(onPhone.open(QIODevice::ReadOnly));
    QCOMPARE(onPhone.readAll(), content);
    const qint64 staged = content.size() + 3 * (content.size() / 497 + 1);
    const QStringList puts = sim.logLines(QStringLiteral("PUT name=version"));
    QCOMPARE(puts.size(), 1);
    QVERIFY2(puts.first().startsWith(QStringLiteral("PUT name=version length=%1 ").arg(staged)),
             qPrintable(puts.first()));
}

// The phone's Length header and the bytes that arrived disagreed, and the download was
// taken as good: a file cut short would be written and, on a move, deleted on the phone.
// A phone that kept answering Continue kept the program asking for ever; now the
// transfer stops once it passes the announced Length, or once the answers stop
// bringing data.
void ObexRegressions::hostileDownloadsFail_data()
{
    QTest::addColumn<QList<QByteArray>>("responses");
    QTest::addColumn<int>("requests"); // the request and the continuations up to the overrun
    QTest::newRow("shorter, in one response") << QList{response("A0", lengthHeader(10) + bodyHeader("hello"))} << 1;
    QTest::newRow("shorter, over two") << QList{response("90", lengthHeader(10) + bodyHeader("hello")),
                                                response("A0", bodyHeader("abc", 0x49))}
                                       << 2;
    QTest::newRow("longer") << QList{response("90", lengthHeader(4) + bodyHeader("hel")),
                                     response("A0", bodyHeader("lo!", 0x49))}
                            << 2;
    QTest::newRow("past the announced Length without end")
        << QList{response("90", lengthHeader(8) + bodyHeader("abcd"))}
            + QList<QByteArray>(100, response("90", bodyHeader("efgh")))
        << 3;
    QTest::newRow("Continue without data without end") << QList<QByteArray>(100, hex("90 00 03")) << 65;
}

void ObexRegressions::hostileDownloadsFail()
{
    QFETCH(QList<QByteArray>, responses);
    QFETCH(int, requests);
    FilesOnPhone f;
    for (const QByteArray &answer : responses)
        f.phone.respond(answer);
    QVERIFY(!f.files.GetFile("cut.bin"));
    f.phone.settle();
    QCOMPARE(f.phone.blocks().size(), requests);
}

void ObexRegressions::listingPastItsLengthIsDropped()
{
    FilesOnPhone f;
    const QByteArray listing = "<folder-listing><file name=\"a.txt\" size=\"1\"/></folder-listing>";
    f.phone.respond(response("90", lengthHeader(20) + bodyHeader(listing.left(20))));
    f.phone.respond(response("90", bodyHeader(listing.mid(20))));
    f.phone.respond(hex("A0 00 0C 4C 00 09 01 04 00 10 00 00"));
    f.phone.respond(hex("A0 00 0C 4C 00 09 02 04 00 08 00 00"));
    const FolderListing shown = f.files.RefreshListing();
    QVERIFY(shown.text.isEmpty());
    QCOMPARE(shown.rows.size(), 1);
    QCOMPARE(shown.rows.first().kind, EntryKind::Parent);
    // The memory figures are still read.
    QCOMPARE(f.files.totalMemory(), std::optional<quint32>(0x100000));
    QCOMPARE(f.files.freeMemory(), std::optional<quint32>(0x80000));
}

// Names longer than the old 101-byte request buffer allowed (42 characters for folders,
// 43 for files) could be listed but not entered, fetched or deleted.
void ObexRegressions::longNamesReachThePhone()
{
    PhonesimSession session;
    const QByteArray folder(122, 'F');
    const QByteArray file = QByteArray(119, 'n') + ".txt";
    QVERIFY(QDir(session.flash()).mkpath(QString::fromLatin1(folder)));
    {
        QFile content(session.flash() + u'/' + QString::fromLatin1(folder) + u'/' + QString::fromLatin1(file));
        QVERIFY(content.open(QIODevice::WriteOnly));
        content.write("long name");
    }
    QVERIFY(session.connect());
    PhoneFiles &files = *session.files;

    QVERIFY(files.ObexSetPath(folder));
    QCOMPARE(files.PathStack().last(), folder);
    const FolderListing listing = files.RefreshListing();
    QCOMPARE(listing.rows.last().name, file);
    QCOMPARE(files.GetFile(file), std::optional<QByteArray>("long name"));
    QVERIFY(files.DeleteObject(file));
    QVERIFY(!QFile::exists(session.flash() + u'/' + QString::fromLatin1(folder) + u'/' + QString::fromLatin1(file)));
    QVERIFY(files.ObexSetPathUp());
    QVERIFY(files.makeFolderAndReturn(QByteArray(122, 'M')));
    QVERIFY(QFileInfo(session.flash() + u'/' + QString(122, u'M')).isDir());
    QVERIFY(session.events.refusals.isEmpty());
}

QTEST_GUILESS_MAIN(ObexRegressions)
#include "tst_obex_regressions.moc"
