// The program's binding to the component: finding it by class identifier,
// registering the installed copy when needed, refusing broken files with a
// message, and calling every method by dispatch identifier.

#include "sumlettesting.h"

#include "componentregistry.h"
#include "sumletcontrol.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <dlfcn.h>

using namespace sumlet;

namespace {

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

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
    return registry.inprocServer(CLSID_Sumlet);
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
    void initTestCase();

    void methodsThroughChecksumInterface();
    void registersInstalledCopyWhenUnregistered();
    void usesTheRegisteredLibrary();
    void registeredFileMissing();
    void brokenRegisteredFileIsReplacedByInstalledCopy();
    void failuresGiveMessages_data();
    void failuresGiveMessages();
    void registryCannotBeWritten();
    void registerLookUpUnregister();
    void installedCopyLocations();
    void aboutBox();
    void registryFileFormat();
};

void TestSumletClient::initTestCase()
{
    QVERIFY2(QFileInfo::exists(builtLibrary()), qPrintable(builtLibrary()));
}

void TestSumletClient::methodsThroughChecksumInterface()
{
    PrivateConfig config;
    QString error;
    std::unique_ptr<SumletControl> control = SumletControl::create(&error, {builtLibrary()});
    QVERIFY2(control, qPrintable(error));
    Checksum &checksum = *control;
    QCOMPARE(checksum.CrcCalc("123456789"), quint16(0x906E));
    QCOMPARE(checksum.CrcCalc(QByteArray()), quint16(0));
    const QByteArray withZeros("\x02\xFD\x01\0\0\x83", 6);
    QCOMPARE(checksum.CrcCalc(withZeros), referenceCrc(withZeros));
    // Len is a signed 16-bit count: longer data counts with its first 32767 bytes.
    QByteArray big(40000, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(i * 7);
    QCOMPARE(checksum.CrcCalc(big), referenceCrc(big.left(32767)));
    QCOMPARE(checksum.Xor(0x16, 0x0A), qint16(0x1C));
    QCOMPARE(checksum.Xor(0x16, 0x20), qint16(0x36));
    QCOMPARE(control->Not(0), qint16(-1));
    QCOMPARE(control->Not(0x16), qint16(-23));
    QCOMPARE(control->And(0xFF, 0x0F), qint16(0x0F));
}

void TestSumletClient::registersInstalledCopyWhenUnregistered()
{
    PrivateConfig config;
    QVERIFY(!QFileInfo::exists(config.registryFile()));
    QString error;
    auto control = SumletControl::create(&error, {config.path() + "/absent/libsumlet.so", builtLibrary()});
    QVERIFY2(control, qPrintable(error));
    QCOMPARE(canonical(registered(config.registryFile())), canonical(builtLibrary()));
    QCOMPARE(canonical(control->libraryPath()), canonical(builtLibrary()));
    QCOMPARE(control->CrcCalc("123456789"), quint16(0x906E));
}

void TestSumletClient::usesTheRegisteredLibrary()
{
    PrivateConfig config;
    // Another installation registered its own copy: that one is used.
    const QString other = config.path() + "/other/libsumlet.so";
    QDir().mkpath(config.path() + "/other");
    QVERIFY(QFile::copy(builtLibrary(), other));
    QString error;
    QVERIFY2(SumletControl::create(&error, {other}), qPrintable(error));
    QCOMPARE(registered(config.registryFile()), other);

    auto control = SumletControl::create(&error, {builtLibrary()});
    QVERIFY2(control, qPrintable(error));
    QCOMPARE(control->libraryPath(), other);
    QCOMPARE(registered(config.registryFile()), other);
}

void TestSumletClient::registeredFileMissing()
{
    PrivateConfig config;
    registerAt(config.registryFile(), config.path() + "/removed/libsumlet.so");
    QString error;
    auto control = SumletControl::create(&error, {builtLibrary()});
    QVERIFY2(control, qPrintable(error));
    QCOMPARE(canonical(registered(config.registryFile())), canonical(builtLibrary()));
}

void TestSumletClient::brokenRegisteredFileIsReplacedByInstalledCopy()
{
    PrivateConfig config;
    const QString broken = config.path() + "/broken/libsumlet.so";
    writeFile(broken,
              QByteArray("\x7F"
                         "ELF garbage",
                         12));
    registerAt(config.registryFile(), broken);
    QString error;
    auto control = SumletControl::create(&error, {builtLibrary()});
    QVERIFY2(control, qPrintable(error));
    QCOMPARE(canonical(control->libraryPath()), canonical(builtLibrary()));
    QCOMPARE(canonical(registered(config.registryFile())), canonical(builtLibrary()));
}

void TestSumletClient::failuresGiveMessages_data()
{
    QTest::addColumn<QString>("registeredFile"); // "" leaves the class unregistered
    QTest::addColumn<QByteArray>("registeredContent");
    QTest::addColumn<QByteArray>("copyContent"); // "" : no installed copy
    QTest::addColumn<QStringList>("messageParts");

    const QByteArray garbage("not a library at all\n");
    QTest::newRow("nothing anywhere") << QString() << QByteArray() << QByteArray()
                                      << QStringList{"it is not registered in", "no copy of it was found at"};
    QTest::newRow("registered file missing, no copy")
        << "gone/libsumlet.so" << QByteArray() << QByteArray() << QStringList{"the registered file", "does not exist"};
    QTest::newRow("corrupt registered file, no copy")
        << "corrupt/libsumlet.so" << garbage << QByteArray() << QStringList{"corrupt/libsumlet.so"};
    QTest::newRow("empty registered file, no copy")
        << "empty/libsumlet.so" << QByteArray("") << QByteArray() << QStringList{"empty/libsumlet.so"};
    QTest::newRow("corrupt copy") << QString() << QByteArray() << garbage << QStringList{"copy/libsumlet.so"};
}

void TestSumletClient::failuresGiveMessages()
{
    QFETCH(QString, registeredFile);
    QFETCH(QByteArray, registeredContent);
    QFETCH(QByteArray, copyContent);
    QFETCH(QStringList, messageParts);

    PrivateConfig config;
    if (!registeredFile.isEmpty()) {
        const QString path = config.path() + '/' + registeredFile;
        if (!registeredContent.isNull())
            writeFile(path, registeredContent);
        registerAt(config.registryFile(), path);
    }
    const QString copy = config.path() + "/copy/libsumlet.so";
    if (!copyContent.isEmpty())
        writeFile(copy, copyContent);

    QString error;
    QVERIFY(!SumletControl::create(&error, {copy}));
    QVERIFY2(error.startsWith("The checksum component (libsumlet.so) could not be loaded: "), qPrintable(error));
    for (const QString &part : messageParts)
        QVERIFY2(error.contains(part), qPrintable(error));
    QVERIFY(!SumletControl::create(nullptr, {copy}));
}

void TestSumletClient::registryCannotBeWritten()
{
    QTemporaryDir scratch;
    const QString notAFolder = scratch.filePath("config");
    writeFile(notAFolder, "");
    PrivateConfig config(notAFolder);
    QString error;
    QVERIFY(!SumletControl::create(&error, {builtLibrary()}));
    QVERIFY2(error.contains("0x80040200"), qPrintable(error));
    QVERIFY2(error.contains("components.ini"), qPrintable(error));

    // A library without the component's entry points is not taken for it.
    Dl_info info{};
    QVERIFY(dladdr(reinterpret_cast<void *>(&qVersion), &info));
    PrivateConfig fresh;
    registerAt(fresh.registryFile(), QString::fromLocal8Bit(info.dli_fname));
    QVERIFY(!SumletControl::create(&error, {}));
    QVERIFY2(error.contains("is not a component library"), qPrintable(error));
}

void TestSumletClient::registerLookUpUnregister()
{
    PrivateConfig config;
    QString error;
    auto control = SumletControl::create(&error, {builtLibrary()});
    QVERIFY2(control, qPrintable(error));
    control.reset();

    void *library = dlopen(QFile::encodeName(builtLibrary()).constData(), RTLD_NOW | RTLD_LOCAL);
    QVERIFY(library);
    const auto unregisterServer = reinterpret_cast<DllUnregisterServerFn>(dlsym(library, "DllUnregisterServer"));
    const auto canUnloadNow = reinterpret_cast<DllCanUnloadNowFn>(dlsym(library, "DllCanUnloadNow"));
    QVERIFY(unregisterServer && canUnloadNow);
    QCOMPARE(canUnloadNow(), S_OK); // the control was released
    QCOMPARE(unregisterServer(), S_OK);
    ComponentRegistry registry(config.registryFile());
    QVERIFY(registry.load(nullptr));
    QCOMPARE(registry.sectionNames(), QStringList());
    // Created afresh, it registers itself again.
    QVERIFY2(SumletControl::create(&error, {builtLibrary()}), qPrintable(error));
    QVERIFY(!registered(config.registryFile()).isEmpty());
}

void TestSumletClient::installedCopyLocations()
{
    const QString programDir = QCoreApplication::applicationDirPath();
    const QStringList copies = SumletControl::installedCopies();
    QCOMPARE(copies.size(), 2);
    QCOMPARE(copies[0], programDir + "/libsumlet.so");
    QCOMPARE(copies[1], QDir::cleanPath(programDir + "/../lib/tarvel/libsumlet.so"));

    // The tests run beside the built component, as the program does in the build tree.
    PrivateConfig config;
    QString error;
    auto control = SumletControl::create(&error);
    QVERIFY2(control, qPrintable(error));
    QCOMPARE(control->Xor(0x16, 0x0A), qint16(0x1C));
}

void TestSumletClient::aboutBox()
{
    PrivateConfig config;
    QString error;
    auto control = SumletControl::create(&error, {builtLibrary()});
    QVERIFY2(control, qPrintable(error));
    bool seen = false;
    whenModalOpens([&](QWidget *dialog) {
        seen = dialog->windowTitle() == "About Sumlet Control";
        QTest::mouseClick(dialog->findChild<QPushButton *>(), Qt::LeftButton);
    });
    QVERIFY(control->AboutBox());
    QVERIFY(seen);
}

void TestSumletClient::registryFileFormat()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("sub/components.ini");
    ComponentRegistry registry(path);
    QVERIFY(registry.load(nullptr)); // missing file: empty
    QVERIFY(registry.sectionNames().isEmpty());
    QVERIFY(registry.update(
        [](ComponentRegistry &current) {
            current.setValue("CLSID\\{A}", "InprocServer32", "/a path/with = sign\\and\nnewline");
            current.setValue("CLSID\\{A}", "ThreadingModel", "Apartment");
            current.setValue("CLSID\\{B}", "InprocServer32", "/b");
            current.setValue("clsid\\{a}", "threadingmodel", "Both");
        },
        nullptr));
    ComponentRegistry reread(path);
    QVERIFY(reread.load(nullptr));
    QCOMPARE(reread.sectionNames(), QStringList({"CLSID\\{A}", "CLSID\\{B}"}));
    QCOMPARE(reread.value("CLSID\\{A}", "InprocServer32"), "/a path/with = sign\\and\nnewline");
    QCOMPARE(reread.value("CLSID\\{A}", "ThreadingModel"), "Both");
    QVERIFY(!QFileInfo::exists(path + ".lock"));

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY(text.startsWith("; Tarvel component registry"));
    QVERIFY(text.contains("\n[CLSID\\{A}]\nInprocServer32=/a path/with = sign\\\\and\\nnewline\n"));

    reread.removeSection("CLSID\\{A}");
    QVERIFY(reread.save(nullptr));
    QVERIFY(registry.load(nullptr));
    QCOMPARE(registry.sectionNames(), QStringList{"CLSID\\{B}"});
}

QTEST_MAIN(TestSumletClient)
#include "tst_sumletclient.moc"
