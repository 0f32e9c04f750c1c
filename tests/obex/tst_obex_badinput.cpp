// Names with every byte value, through the emulated phone and back: uploaded from
// a PC file of that name, listed, downloaded into a PC folder, deleted. A name the
// phone cannot store is refused with a message before anything is sent, a name the
// phone refuses leaves nothing behind, and every other name arrives byte for byte.

#include "cp1251.h"
#include "obextestsupport.h"
#include "workingfiles.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

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

class ObexBadInput : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyByteValueInANameRoundTrips();

private:
    PhonesimSession s;
};

void ObexBadInput::initTestCase()
{
    QVERIFY(QDir(s.dir.path()).mkpath(QStringLiteral("back")));
    QVERIFY(s.connect());
}

void ObexBadInput::everyByteValueInANameRoundTrips()
{
    const QString pc = s.dir.filePath(QStringLiteral("pc"));
    const QString flash = s.dir.filePath(QStringLiteral("flash"));
    QList<int> stored;
    for (int byte = 1; byte < 256; ++byte) {
        if (byte == '/')
            continue; // no PC file name holds it
        const QByteArray name = phoneNameFor(byte);
        const QString pcName = Cp1251::decode(name);
        const QString source = localFilePath(pc, pcName);
        {
            QFile file(source);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(contentFor(byte));
        }
        const qsizetype puts = s.sim.logLines(QStringLiteral("PUT")).size();
        const qsizetype refusals = s.events.refusals.size();
        const PutResult result = s.files->PutFile(source);
        const QString what = QStringLiteral("byte 0x%1").arg(byte, 2, 16, QChar(u'0'));

        if (byte == 0x98) {
            // No character of the code page: refused on the PC with a message.
            QVERIFY2(result == PutResult::NotSent, qPrintable(what));
            QCOMPARE(s.events.refusals.size(), refusals + 1);
            QCOMPARE(s.events.refusals.last(), Refusal::NameNotEncodable);
            QCOMPARE(s.sim.logLines(QStringLiteral("PUT")).size(), puts);
        } else if (phoneRefuses(byte)) {
            QVERIFY2(result == PutResult::Refused, qPrintable(what));
            QVERIFY2(QDir(flash).entryList(QDir::Files).isEmpty() || !QFile::exists(localFilePath(flash, pcName)),
                     qPrintable(what));
        } else {
            QVERIFY2(result == PutResult::Sent, qPrintable(what));
            QFile onPhone(localFilePath(flash, pcName));
            QVERIFY2(onPhone.open(QIODevice::ReadOnly), qPrintable(what));
            QCOMPARE(onPhone.readAll(), contentFor(byte));
            stored << byte;
        }
        // The source is never touched.
        QFile again(source);
        QVERIFY(again.open(QIODevice::ReadOnly));
        QCOMPARE(again.readAll(), contentFor(byte));
    }
    // All but '/', the 31 controls, DEL, '\' and 0x98.
    QCOMPARE(stored.size(), 255 - 1 - 31 - 1 - 1 - 1);

    // The listing, read as XML, names each file with the bytes it was stored under, XML
    // references (&amp; and the like) resolved.
    const FolderListing listing = s.files->RefreshListing();
    QVERIFY(parseListingXml(listing.text));
    QList<QByteArray> listed;
    for (const ListingRow &row : listing.rows)
        listed << row.name;
    for (int byte : stored) {
        QVERIFY2(listed.contains(phoneNameFor(byte)), qPrintable(QString::number(byte, 16)));
    }

    // Downloaded into a PC folder under the same name, then deleted on the phone.
    const QString back = s.dir.filePath(QStringLiteral("back"));
    for (int byte : stored) {
        const QByteArray name = phoneNameFor(byte);
        const auto content = s.files->GetFile(name);
        QVERIFY2(content, qPrintable(QString::number(byte, 16)));
        QCOMPARE(*content, contentFor(byte));
        const auto local = safeLocalName(name);
        QVERIFY(local);
        QSaveFile save(localFilePath(back, *local));
        QVERIFY(save.open(QIODevice::WriteOnly));
        save.write(*content);
        QVERIFY(save.commit());
        QVERIFY(s.files->DeleteObject(name));
    }
    QCOMPARE(QDir(back).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), stored.size());
    QVERIFY(QDir(flash).entryList(QDir::Files | QDir::Hidden | QDir::System).isEmpty());
}

QTEST_GUILESS_MAIN(ObexBadInput)
#include "tst_obex_badinput.moc"
