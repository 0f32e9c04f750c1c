// The settings store as the user may find it: written by hand, by another program
// or damaged. Start-up must still get a port number 1..9 and an RTS state from it,
// and saving must not fail in a way that loses the other setting.

#include "storedsettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

namespace {

bool writeStore(const QByteArray &content)
{
    QDir().mkpath(QFileInfo(StoredSettings::fileName()).path());
    QFile file(StoredSettings::fileName());
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

} // namespace

class SettingsJunk : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { QFile::remove(StoredSettings::fileName()); }

    void junkValues_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("raised");
        QTest::newRow("empty file") << QByteArray() << 1 << false;
        QTest::newRow("no section") << QByteArray("comport=Com 4\nrts= 1\n") << 1 << false;
        QTest::newRow("plain") << QByteArray("[options]\ncomport=Com 4\nrts=\" 1\"\n") << 4 << true;
        // The store drops blanks around an unquoted value: "rts= 1" reads as "1".
        QTest::newRow("blank dropped") << QByteArray("[options]\ncomport= Com 4\nrts= 1\n") << 4 << false;
        QTest::newRow("empty values") << QByteArray("[options]\ncomport=\nrts=\n") << 1 << false;
        QTest::newRow("a list") << QByteArray("[options]\ncomport=Com 5, Com 6\nrts=1, 2\n") << 1 << false;
        QTest::newRow("byte array") << QByteArray("[options]\ncomport=@ByteArray(Com 3)\nrts=@ByteArray(\\xff\\xfe)\n")
                                    << 3 << false;
        QTest::newRow("broken variant") << QByteArray(
            "[options]\ncomport=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x10junk)\nrts=@Variant(\\xff)\n")
                                        << 1 << false;
        // Bytes that are no UTF-8 count as one character each.
        QTest::newRow("not UTF-8") << QByteArray("[options]\ncomport=\xC3\x28\xFF\xFE\x39\nrts=\xFF\x31\n") << 9
                                   << true;
        QTest::newRow("Cyrillic") << QByteArray("[options]\ncomport=\xD0\xA1\xD0\xBE\xD0\xBC 8\nrts=\xD0\xB4\xD0\xB0\n")
                                  << 8 << false;
        QTest::newRow("very long") << QByteArray("[options]\ncomport=Com 2" + QByteArray(1 << 20, '7') + "\nrts= 0\n")
                                   << 2 << false;
        QTest::newRow("nul bytes") << QByteArray("[options]\ncomport=Com ") + '\0' + " 5\nrts= " + '\0' + "\n"
                                   << 1 << false;
    }

    void junkValues()
    {
        QFETCH(QByteArray, content);
        QVERIFY(writeStore(content));
        QTEST(StoredSettings::portNumberFrom(StoredSettings::comport()), "port");
        QTEST(StoredSettings::rtsFrom(StoredSettings::rts()), "raised");

        // Saving one setting keeps the other one readable and gives back what was saved.
        const bool raised = StoredSettings::rtsFrom(StoredSettings::rts());
        StoredSettings::saveComport(StoredSettings::portText(6));
        QCOMPARE(StoredSettings::portNumberFrom(StoredSettings::comport()), 6);
        QCOMPARE(StoredSettings::rtsFrom(StoredSettings::rts()), raised);
    }

    // A folder where the store should be: the defaults, and saving fails quietly.
    void storeThatIsAFolder()
    {
        QVERIFY(QDir().mkpath(StoredSettings::fileName()));
        QCOMPARE(StoredSettings::comport(), QStringLiteral("Com 1"));
        QCOMPARE(StoredSettings::rts(), QStringLiteral(" 0"));
        StoredSettings::saveComport(QStringLiteral("Com 3"));
        QVERIFY(QFileInfo(StoredSettings::fileName()).isDir());
        QVERIFY(QDir(StoredSettings::fileName()).removeRecursively());
    }
};

QTEST_GUILESS_MAIN(SettingsJunk)
#include "tst_ui_settings_junk.moc"
