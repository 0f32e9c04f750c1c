// The program's binding to the component: finding it by class identifier,
// registering the installed copy when needed, refusing broken files with a
// message, and the checksum through the program's interface.

#include "sumlettesting.h"

#include "componentregistry.h"
#include "sumletcontrol.h"

#include <QFile>
#include <QFileInfo>

#include <dlfcn.h>

using namespace sumlet;

namespace {

void registerAt(const QString &registryFile, const QString &library)
{
    ComponentRegistry registry(registryFile);
    QVERIFY(registry.update(
        [&](ComponentRegistry &current) {
            current.setValue(ComponentRegistry::clsidSection(CLSID_Sumlet), "InprocServer32", library);
        },
        nullptr));
}

QString registered(const QString &registryFile)
{
    ComponentRegistry registry(registryFile);
    if (!registry.load(nullptr))
        return QStringLiteral("<unreadable>");
    return QFileInfo(registry.inprocServer(CLSID_Sumlet)).canonicalFilePath();
}

QString canonical(const QString &path)
{
    return QFileInfo(path).canonicalFilePath();
}

} // namespace

class TestSumletClient : public QObject
{
    Q_OBJECT

private slots:
    // Which library the program takes: the registered one when it loads, else the
    // installed copy, which is then registered.
    void lookUp_data()
    {
        QTest::addColumn<QString>("registeredFile"); // "" leaves the class unregistered
        QTest::addColumn<QByteArray>("content"); // of the registered file; null: none
        QTest::addColumn<bool>("keepsRegistered");
        QTest::newRow("not registered") << QString() << QByteArray() << false;
        QTest::newRow("registered file missing") << "removed/libsumlet.so" << QByteArray() << false;
        QTest::newRow("registered file broken")
            << "broken/libsumlet.so" << QByteArray(1, '\x7F') + "ELF garbage" << false;
        QTest::newRow("another installation's copy") << "other/libsumlet.so" << readFile(builtLibrary()) << true;
    }

    void lookUp()
    {
        QFETCH(QString, registeredFile);
        QFETCH(QByteArray, content);
        QFETCH(bool, keepsRegistered);
        PrivateConfig config;
        const QString path = config.path() + u'/' + registeredFile;
        if (!content.isNull())
            QVERIFY(writeFile(path, content));
        if (!registeredFile.isEmpty())
            registerAt(config.registryFile(), path);
        QString error;
        auto control = SumletControl::create(&error, {config.path() + "/absent/libsumlet.so", builtLibrary()});
        QVERIFY2(control, qPrintable(error));
        const QString expected = keepsRegistered ? canonical(path) : canonical(builtLibrary());
        QCOMPARE(canonical(control->libraryPath()), expected);
        QCOMPARE(registered(config.registryFile()), expected);
        // Through the program's interface: bytes after a zero count, and longer data with
        // its first 32767 bytes (the length is a signed 16-bit count).
        const QByteArray withZeros("\x02\xFD\x01\0\0\x83", 6);
        QCOMPARE(control->CrcCalc(withZeros), referenceCrc(withZeros));
        const QByteArray big = randomBytes(40000, 1);
        QCOMPARE(control->CrcCalc(big), referenceCrc(big.left(32767)));
    }

    void failuresGiveMessages_data()
    {
        QTest::addColumn<QString>("registeredFile"); // "" leaves the class unregistered
        QTest::addColumn<QByteArray>("registeredContent");
        QTest::addColumn<QByteArray>("copyContent"); // "" : no installed copy
        QTest::addColumn<QStringList>("messageParts");

        const QByteArray garbage("not a library at all\n");
        QTest::newRow("nothing anywhere") << QString() << QByteArray() << QByteArray()
                                          << QStringList{"it is not registered in", "no copy of it was found at"};
        QTest::newRow("corrupt registered file, no copy")
            << "corrupt/libsumlet.so" << garbage << QByteArray() << QStringList{"corrupt/libsumlet.so"};
        QTest::newRow("corrupt copy") << QString() << QByteArray() << garbage << QStringList{"copy/libsumlet.so"};
    }

    void failuresGiveMessages()
    {
        QFETCH(QString, registeredFile);
        QFETCH(QByteArray, registeredContent);
        QFETCH(QByteArray, copyContent);
        QFETCH(QStringList, messageParts);

        PrivateConfig config;
        const QString path = config.path() + u'/' + registeredFile;
        if (!registeredContent.isNull())
            QVERIFY(writeFile(path, registeredContent));
        if (!registeredFile.isEmpty())
            registerAt(config.registryFile(), path);
        const QString copy = config.path() + "/copy/libsumlet.so";
        if (!copyContent.isEmpty())
            QVERIFY(writeFile(copy, copyContent));

        QString error;
        QVERIFY(!SumletControl::create(&error, {copy}));
        QVERIFY2(error.startsWith("The checksum component (libsumlet.so) could not be loaded: "), qPrintable(error));
        for (const QString &part : messageParts)
            QVERIFY2(error.contains(part), qPrintable(error));
        QVERIFY(!SumletControl::create(nullptr, {copy}));
    }

    void registryCannotBeWritten()
    {
        QTemporaryDir scratch;
        const QString notAFolder = scratch.filePath("config");
        QVERIFY(writeFile(notAFolder, ""));
        PrivateConfig config(notAFolder);
        QString error;
        QVERIFY(!SumletControl::create(&error, {builtLibrary()}));
        QVERIFY2(error.contains("0x80040200") && error.contains("components.ini"), qPrintable(error));

        // A library without the component's entry points is not taken for it.
        Dl_info info{};
        QVERIFY(dladdr(reinterpret_cast<void *>(&qVersion), &info));
        PrivateConfig fresh;
        registerAt(fresh.registryFile(), QString::fromLocal8Bit(info.dli_fname));
        QVERIFY(!SumletControl::create(&error, {}));
        QVERIFY2(error.contains("is not a component library"), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestSumletClient)
#include "tst_sumletclient.moc"
