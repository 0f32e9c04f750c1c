// Faults found by fuzzing and by feeding the program unusual input, kept from coming back.

#include "cp1251.h"
#include "listing.h"
#include "obextestsupport.h"
#include "workingfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTest>

class ObexRegressions : public QObject
{
    Q_OBJECT

private slots:
    void nameStartingWithColonStaysInItsFolder();
    void everySingleByteNameSavesUnderItsOwnName();
    void uploadAnnouncesTheLengthItSends();
    void xmlReferencesInNamesAreResolved_data();
    void xmlReferencesInNamesAreResolved();
};

// QDir::filePath took ":abc" for a Qt resource and dropped the folder, so a phone
// file of that name could not be saved (found by fuzz_listing).
void ObexRegressions::nameStartingWithColonStaysInItsFolder()
{
    const auto rows = parseListing("<file name=\":abc\" size=\"3\"/>");
    QCOMPARE(rows.size(), 2);
    const auto local = safeLocalName(rows[1].name);
    QVERIFY(local);
    QCOMPARE(localFilePath(QStringLiteral("/pc/folder"), *local), QStringLiteral("/pc/folder/:abc"));
    QCOMPARE(localFilePath(QStringLiteral("/pc/folder/"), *local), QStringLiteral("/pc/folder/:abc"));
    QCOMPARE(localFilePath(QString(), *local), QStringLiteral("./:abc"));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QSaveFile file(localFilePath(dir.path(), *local));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write("abc"), 3);
    QVERIFY(file.commit());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral(":abc")});
}

// Every byte a phone name can hold either makes a PC file of its own inside the
// chosen folder or is refused; none reaches another folder or overwrites another name.
void ObexRegressions::everySingleByteNameSavesUnderItsOwnName()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    int saved = 0;
    for (int b = 0; b < 256; ++b) {
        const QByteArray name(1, char(b));
        const auto local = safeLocalName(name);
        const bool refused = b == 0 || b == '/' || b == '\\' || b == '.';
        QCOMPARE(!local, refused);
        if (!local)
            continue;
        const QString path = localFilePath(dir.path(), *local);
        QCOMPARE(QFileInfo(path).absolutePath(), QFileInfo(dir.path()).absoluteFilePath());
        QSaveFile file(path);
        QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(QStringLiteral("byte %1").arg(b)));
        file.write(name);
        QVERIFY(file.commit());
        ++saved;
    }
    const QStringList files = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    QCOMPARE(files.size(), saved);
    for (const QString &fileName : files) {
        QFile file(dir.filePath(QStringLiteral("./") + fileName));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(Cp1251::decode(file.readAll()), fileName);
    }
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

// A file named a&b.txt is listed as a&amp;b.txt; taken literally, the name could be
// neither fetched nor deleted (found by the byte-value round trip).
void ObexRegressions::xmlReferencesInNamesAreResolved_data()
{
    QTest::addColumn<QByteArray>("listed");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("kind");
    QTest::newRow("named") << QByteArray("a&amp;b &lt;1&gt; &quot;x&quot; &apos;y&apos;.mid")
                           << QByteArray("a&b <1> \"x\" 'y'.mid") << int(EntryKind::MidFile);
    QTest::newRow("decimal") << QByteArray("&#65;&#1072;.bmp") << QByteArray("A\xE0.bmp") << int(EntryKind::BmpFile);
    QTest::newRow("hexadecimal") << QByteArray("&#x41;&#X430;.jar") << QByteArray("A\xE0.jar")
                                 << int(EntryKind::JarFile);
    QTest::newRow("no such character") << QByteArray("&#x4E2D;&bogus;&amp") << QByteArray("&#x4E2D;&bogus;&amp")
                                       << int(EntryKind::OtherFile);
    QTest::newRow("plain") << QByteArray("R&D") << QByteArray("R&D") << int(EntryKind::OtherFile);
}

void ObexRegressions::xmlReferencesInNamesAreResolved()
{
    QFETCH(QByteArray, listed);
    QFETCH(QByteArray, name);
    QFETCH(int, kind);
    const auto rows = parseListing("<folder name=\"Sms &amp; more\"/><file name=\"" + listed + "\" size=\"3\"/>");
    QCOMPARE(rows.size(), 3);
    QCOMPARE(rows[1].name, QByteArray("Sms & more"));
    QCOMPARE(rows[2].name, name);
    QCOMPARE(int(rows[2].kind), kind);
}

QTEST_GUILESS_MAIN(ObexRegressions)
#include "tst_obex_regressions.moc"
