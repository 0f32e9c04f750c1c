// The sumlet component seen from outside: loaded with dlopen() from the build's
// bin folder and driven only through its exported entry points and interfaces.

#include "sumlettesting.h"

#include "componentregistry.h"
#include "crc16.h"

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTabWidget>
#include <QTimer>

#include <dlfcn.h>

using namespace sumlet;

namespace {

template<typename Interface>
struct Ref
{
    Interface *p = nullptr;
    Ref() = default;
    Ref(const Ref &) = delete;
    ~Ref()
    {
        if (p)
            p->Release();
    }
    void **out() { return reinterpret_cast<void **>(&p); }
    Interface *operator->() const { return p; }
};

} // namespace

class TestSumlet : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void crcCheckValueAndTable();
    void crcMatchesBitwiseReference();
    void crcLength_data();
    void crcLength();
    void crcCoversZeroBytes();
    void bitOperations_data();
    void bitOperations();
    void byReferenceArguments();
    void dispatchRefusesBadCalls();
    void namesResolveToDispatchIds();
    void objectsAndUnloading();
    void descriptors();
    void registerAndUnregister();
    void registrationKeepsOtherEntries();
    void registrationIntoUnwritableLocation();
    void unregistrationWhenRegistryIsUnreadable();
    void aboutBoxIsModalWithItsTexts();
    void propertyPageAndPropertiesVerb();
    void designTimeDrawing();

private:
    HRESULT call(DISPID dispid, std::initializer_list<VARIANT> args, VARIANT *result,
                 std::uint32_t *argError = nullptr);
    qint32 crc(const QByteArray &data, qint16 len);
    qint16 bitCall(DISPID dispid, std::initializer_list<qint16> values);
    HRESULT createControl(const GUID &iid, void **object);

    void *library = nullptr;
    DllRegisterServerFn registerServer = nullptr;
    DllUnregisterServerFn unregisterServer = nullptr;
    DllGetClassObjectFn getClassObject = nullptr;
    DllCanUnloadNowFn canUnloadNow = nullptr;
    SumletGetModuleFn getModule = nullptr;
    SumletLoadStringFn loadString = nullptr;
    IDispatch *control = nullptr;
    std::unique_ptr<PrivateConfig> config;
};

void TestSumlet::initTestCase()
{
    QVERIFY2(QFileInfo::exists(builtLibrary()), qPrintable(builtLibrary()));
    library = dlopen(QFile::encodeName(builtLibrary()).constData(), RTLD_NOW | RTLD_LOCAL);
    QVERIFY2(library, dlerror());
    registerServer = reinterpret_cast<DllRegisterServerFn>(dlsym(library, "DllRegisterServer"));
    unregisterServer = reinterpret_cast<DllUnregisterServerFn>(dlsym(library, "DllUnregisterServer"));
    getClassObject = reinterpret_cast<DllGetClassObjectFn>(dlsym(library, "DllGetClassObject"));
    canUnloadNow = reinterpret_cast<DllCanUnloadNowFn>(dlsym(library, "DllCanUnloadNow"));
    getModule = reinterpret_cast<SumletGetModuleFn>(dlsym(library, "SumletGetModule"));
    loadString = reinterpret_cast<SumletLoadStringFn>(dlsym(library, "SumletLoadString"));
    QVERIFY(registerServer && unregisterServer && getClassObject && canUnloadNow && getModule && loadString);
}

void TestSumlet::init()
{
    config = std::make_unique<PrivateConfig>();
    QCOMPARE(createControl(DIID__DSumlet, reinterpret_cast<void **>(&control)), S_OK);
}

void TestSumlet::cleanup()
{
    if (control)
        control->Release();
    control = nullptr;
    config.reset();
}

HRESULT TestSumlet::createControl(const GUID &iid, void **object)
{
    Ref<IClassFactory> factory;
    const HRESULT hr = getClassObject(&CLSID_Sumlet, &IID_IClassFactory, factory.out());
    if (failed(hr))
        return hr;
    return factory->CreateInstance(nullptr, iid, object);
}

HRESULT TestSumlet::call(DISPID dispid, std::initializer_list<VARIANT> args, VARIANT *result, std::uint32_t *argError)
{
    return control->Invoke(dispid, DISPPARAMS{args.begin(), static_cast<std::uint32_t>(args.size())}, result, argError);
}

qint32 TestSumlet::crc(const QByteArray &data, qint16 len)
{
    VARIANT result{};
    const HRESULT hr =
        call(DISPID_CrcCalc, {variantBstr(data.constData(), static_cast<std::int32_t>(data.size())), variantI2(len)},
             &result);
    if (hr != S_OK || result.vt != VT_I4)
        return -1;
    return result.lVal;
}

qint16 TestSumlet::bitCall(DISPID dispid, std::initializer_list<qint16> values)
{
    VARIANT args[2] = {};
    int count = 0;
    for (qint16 value : values)
        args[count++] = variantI2(value);
    VARIANT result{};
    const HRESULT hr = control->Invoke(dispid, DISPPARAMS{args, std::uint32_t(count)}, &result, nullptr);
    if (hr != S_OK || result.vt != VT_I2)
        return 0x5A5A;
    return result.iVal;
}

void TestSumlet::crcCheckValueAndTable()
{
    QCOMPARE(crc("123456789", 9), 0x906E); // also: a result of 0x8000 or more comes back positive
    QCOMPARE(crc16Table[1], quint16(0x1189));
    QCOMPARE(crc16Table[255], quint16(0x0F78));
    // One byte b leaves table[b ^ 0xFF] in the result: the component's own table entries.
    QCOMPARE(crc(QByteArray(1, char(0xFE)), 1), 0xFF00 ^ 0x1189);
    QCOMPARE(crc(QByteArray(1, char(0x00)), 1), 0xFF00 ^ 0x0F78);
    for (int entry = 0; entry < 256; ++entry) {
        quint16 expected = static_cast<quint16>(entry);
        for (int bit = 0; bit < 8; ++bit)
            expected = (expected & 1) ? (expected >> 1) ^ 0x8408 : expected >> 1;
        QCOMPARE(crc(QByteArray(1, char(entry ^ 0xFF)), 1), 0xFF00 ^ expected);
    }
}

void TestSumlet::crcMatchesBitwiseReference()
{
    QRandomGenerator random(4711);
    for (int length : {1, 2, 31, 32, 33, 101, 1000, 32767}) {
        QByteArray data(length, Qt::Uninitialized);
        for (char &byte : data)
            byte = static_cast<char>(random.bounded(256));
        const qint32 result = crc(data, static_cast<qint16>(length));
        QCOMPARE(result, referenceCrc(data));
        QVERIFY(result >= 0 && result <= 0xFFFF);
    }
}

void TestSumlet::crcLength_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("len");
    QTest::addColumn<int>("expected");
    const QByteArray digits("123456789");
    QTest::newRow("zero") << digits << 0 << 0;
    QTest::newRow("minus one") << digits << -1 << 0;
    QTest::newRow("most negative") << digits << -32768 << 0;
    QTest::newRow("empty data") << QByteArray() << 5 << 0;
    QTest::newRow("prefix") << digits << 4 << int(referenceCrc("1234"));
    // A Len beyond the data covers only the bytes that are there.
    QTest::newRow("beyond the data") << digits << 200 << 0x906E;
    const QByteArray big(40000, 'x');
    QTest::newRow("at most 32767 bytes") << big << 32767 << int(referenceCrc(big.left(32767)));
}

void TestSumlet::crcLength()
{
    QFETCH(QByteArray, data);
    QFETCH(int, len);
    QFETCH(int, expected);
    QCOMPARE(crc(data, static_cast<qint16>(len)), expected);
}

void TestSumlet::crcCoversZeroBytes()
{
    const QByteArray withZeros("12\0\0"
                               "34",
                               6);
    QCOMPARE(crc(withZeros, 6), referenceCrc(withZeros));
    QVERIFY(crc(withZeros, 6) != crc("1234", 4));
    const QByteArray zeros(64, '\0');
    QCOMPARE(crc(zeros, 64), referenceCrc(zeros));
    QVERIFY(crc(zeros, 64) != crc(zeros, 63));
    // Windows-1251 letters are bytes like any other: "Ящик" summed as it stands.
    const QByteArray cyrillic("\xDF\xF9\xE8\xEA");
    QCOMPARE(crc(cyrillic, 4), referenceCrc(cyrillic));
}

void TestSumlet::bitOperations_data()
{
    QTest::addColumn<int>("dispid");
    QTest::addColumn<QList<int>>("arguments");
    QTest::addColumn<int>("expected");
    QTest::newRow("Xor 16 0A") << DISPID_Xor << QList<int>{0x16, 0x0A} << 0x1C;
    QTest::newRow("Xor frame length") << DISPID_Xor << QList<int>{0x16, 0xFF} << 0xE9;
    QTest::newRow("Xor signed") << DISPID_Xor << QList<int>{-1, 0x7FFF} << -32768;
    QTest::newRow("Not 0") << DISPID_Not << QList<int>{0} << -1;
    QTest::newRow("Not 16") << DISPID_Not << QList<int>{0x16} << -23;
    QTest::newRow("Not -32768") << DISPID_Not << QList<int>{-32768} << 32767;
    QTest::newRow("And FF 0F") << DISPID_And << QList<int>{0xFF, 0x0F} << 0x0F;
    QTest::newRow("And signed") << DISPID_And << QList<int>{-1, -32768} << -32768;
}

void TestSumlet::bitOperations()
{
    QFETCH(int, dispid);
    QFETCH(QList<int>, arguments);
    QFETCH(int, expected);
    const qint16 result = arguments.size() == 1 ? bitCall(dispid, {qint16(arguments[0])})
                                                : bitCall(dispid, {qint16(arguments[0]), qint16(arguments[1])});
    QCOMPARE(result, expected);
}

void TestSumlet::byReferenceArguments()
{
    // The program passes Data by reference; integers may arrive by reference too.
    BSTR data{"123456789", 9};
    qint16 len = 9;
    VARIANT result{};
    QCOMPARE(call(DISPID_CrcCalc, {variantByRef(&data), variantByRef(&len)}, &result), S_OK);
    QCOMPARE(result.vt, VT_I4);
    QCOMPARE(result.lVal, 0x906E);
    QCOMPARE(data.length, 9); // untouched
    QCOMPARE(len, 9);

    qint16 byte1 = 0x16;
    qint32 byte2 = 0x0A;
    QCOMPARE(call(DISPID_Xor, {variantByRef(&byte1), variantByRef(&byte2)}, &result), S_OK);
    QCOMPARE(result.vt, VT_I2);
    QCOMPARE(result.iVal, 0x1C);

    // 32-bit values in range are taken as 16-bit ones; others overflow.
    QCOMPARE(call(DISPID_And, {variantI4(0xFF), variantI4(0x0F)}, &result), S_OK);
    QCOMPARE(result.iVal, 0x0F);
    std::uint32_t argError = 99;
    QCOMPARE(call(DISPID_And, {variantI4(0xFF), variantI4(0x10000)}, &result, &argError), DISP_E_OVERFLOW);
    QCOMPARE(argError, 1u);

    // A null reference is refused, not followed.
    argError = 99;
    QCOMPARE(call(DISPID_CrcCalc, {variantByRef(static_cast<BSTR *>(nullptr)), variantI2(1)}, &result, &argError),
             DISP_E_TYPEMISMATCH);
    QCOMPARE(argError, 0u);
    QCOMPARE(call(DISPID_Not, {variantByRef(static_cast<qint16 *>(nullptr))}, &result), DISP_E_TYPEMISMATCH);
}

void TestSumlet::dispatchRefusesBadCalls()
{
    VARIANT result{};
    std::uint32_t argError = 99;
    QCOMPARE(call(99, {}, &result), DISP_E_MEMBERNOTFOUND);
    QCOMPARE(call(DISPID_Xor, {variantI2(1)}, &result), DISP_E_BADPARAMCOUNT);
    QCOMPARE(call(DISPID_ABOUTBOX, {variantI2(1)}, &result), DISP_E_BADPARAMCOUNT);
    QCOMPARE(call(DISPID_CrcCalc, {variantI2(1), variantI2(1)}, &result, &argError), DISP_E_TYPEMISMATCH);
    QCOMPARE(argError, 0u);
    QCOMPARE(call(DISPID_CrcCalc, {variantBstr("1", 1), variantBstr("1", 1)}, &result, &argError), DISP_E_TYPEMISMATCH);
    QCOMPARE(argError, 1u);
    QCOMPARE(call(DISPID_CrcCalc, {variantBstr("1", -1), variantI2(1)}, &result), DISP_E_TYPEMISMATCH);
    QCOMPARE(call(DISPID_CrcCalc, {variantBstr(nullptr, 4), variantI2(4)}, &result), DISP_E_TYPEMISMATCH);
    QCOMPARE(call(DISPID_CrcCalc, {variantBstr(nullptr, 0), variantI2(4)}, &result), S_OK);
    QCOMPARE(result.lVal, 0);
    // The result may be left out.
    QCOMPARE(call(DISPID_Not, {variantI2(1)}, nullptr), S_OK);
}

void TestSumlet::namesResolveToDispatchIds()
{
    const std::pair<const char *, DISPID> names[] = {
        {"CrcCalc", 1}, {"Xor", 2}, {"Not", 3}, {"And", 4}, {"AboutBox", -552}, {"crccalc", 1}, {"XOR", 2},
    };
    for (const auto &[name, expected] : names) {
        DISPID dispid = 0;
        QCOMPARE(control->GetIDsOfNames(name, &dispid), S_OK);
        QCOMPARE(dispid, expected);
    }
    DISPID dispid = 0;
    QCOMPARE(control->GetIDsOfNames("Or", &dispid), DISP_E_UNKNOWNNAME);
    QCOMPARE(dispid, DISPID_UNKNOWN);
    QCOMPARE(control->GetIDsOfNames(nullptr, &dispid), E_POINTER);
}

void TestSumlet::objectsAndUnloading()
{
    // The fixture's control keeps the module in use.
    QCOMPARE(canUnloadNow(), S_FALSE);
    for (const GUID &iid :
         {IID_IUnknown, IID_IDispatch, DIID__DSumlet, IID_IOleObject, IID_IViewObject, IID_ISpecifyPropertyPages}) {
        Ref<IUnknown> other;
        QCOMPARE(control->QueryInterface(iid, other.out()), S_OK);
        QVERIFY(other.p);
    }
    Ref<IUnknown> none;
    QCOMPARE(control->QueryInterface(IID_IClassFactory, none.out()), E_NOINTERFACE);
    QVERIFY(!none.p);

    control->Release();
    control = nullptr;
    QCOMPARE(canUnloadNow(), S_OK);

    {
        Ref<IClassFactory> factory;
        QCOMPARE(getClassObject(&CLSID_Sumlet, &IID_IClassFactory, factory.out()), S_OK);
        QCOMPARE(canUnloadNow(), S_FALSE);
        Ref<IDispatch> aggregated;
        QCOMPARE(factory->CreateInstance(reinterpret_cast<IUnknown *>(factory.p), IID_IDispatch, aggregated.out()),
                 CLASS_E_NOAGGREGATION);
        QCOMPARE(factory->LockServer(true), S_OK);
    }
    QCOMPARE(canUnloadNow(), S_FALSE); // the server lock
    {
        Ref<IClassFactory> factory;
        QCOMPARE(getClassObject(&CLSID_SumletPropPage, &IID_IClassFactory, factory.out()), S_OK);
        QCOMPARE(factory->LockServer(false), S_OK);
    }
    QCOMPARE(canUnloadNow(), S_OK);

    Ref<IClassFactory> nothing;
    QCOMPARE(getClassObject(&LIBID_SUMLETLib, &IID_IClassFactory, nothing.out()), CLASS_E_CLASSNOTAVAILABLE);
    QVERIFY(!nothing.p);
    QCOMPARE(getClassObject(&CLSID_Sumlet, &IID_IDispatch, nothing.out()), E_NOINTERFACE);
}

void TestSumlet::descriptors()
{
    QCOMPARE(formatGuid(CLSID_Sumlet), "{D30BA78E-E324-4908-98B4-13EE76559521}");
    QVERIFY(parseGuid("d30ba78e-e324-4908-98b4-13ee76559521") == CLSID_Sumlet);
    QVERIFY(!parseGuid("{D30BA78E-E324-4908-98B4-13EE7655952}"));
    QVERIFY(!parseGuid("{D30BA78E+E324-4908-98B4-13EE76559521}"));

    QCOMPARE(loadString(1), "Sumlet Control");
    QCOMPARE(loadString(2), "Sumlet Property Page");
    QCOMPARE(loadString(200), "General");
    QVERIFY(!loadString(3));

    // The module describes the two classes it registers.
    const ModuleDesc *module = getModule();
    QVERIFY(module);
    QCOMPARE(module->classCount, 2u);
    QVERIFY(module->classes[0].clsid == CLSID_Sumlet);
    QVERIFY(module->classes[1].clsid == CLSID_SumletPropPage);
    QVERIFY(module->typeLib->coclasses[0].defaultInterface == DIID__DSumlet);

    Ref<IOleObject> ole;
    QCOMPARE(control->QueryInterface(IID_IOleObject, ole.out()), S_OK);
    std::uint32_t status = 0;
    QCOMPARE(ole->GetMiscStatus(&status), S_OK);
    QCOMPARE(status, 132241u);
    Ref<ISpecifyPropertyPages> pages;
    QCOMPARE(control->QueryInterface(IID_ISpecifyPropertyPages, pages.out()), S_OK);
    GUID pageIds[2] = {};
    std::uint32_t count = 0;
    QCOMPARE(pages->GetPages(pageIds, 2, &count), S_OK);
    QCOMPARE(count, 1u);
    QVERIFY(pageIds[0] == CLSID_SumletPropPage);
}

void TestSumlet::registerAndUnregister()
{
    QCOMPARE(registerServer(), S_OK);
    ComponentRegistry registry(config->registryFile());
    QVERIFY(registry.load(nullptr));
    const QString builtPath = QFileInfo(builtLibrary()).absoluteFilePath();

    const QString controlKey = QStringLiteral("CLSID\\{D30BA78E-E324-4908-98B4-13EE76559521}");
    QCOMPARE(registry.value(controlKey, "TypeName"), "Sumlet Control");
    QCOMPARE(registry.value(controlKey, "ProgID"), "SUMLET.SumletCtrl.1");
    QCOMPARE(QFileInfo(registry.value(controlKey, "InprocServer32")).canonicalFilePath(),
             QFileInfo(builtPath).canonicalFilePath());
    QVERIFY(QFileInfo(registry.value(controlKey, "InprocServer32")).isAbsolute());
    QCOMPARE(registry.inprocServer(CLSID_Sumlet), registry.value(controlKey, "InprocServer32"));
    QCOMPARE(registry.value(controlKey, "ThreadingModel"), "Apartment");
    QCOMPARE(registry.value(controlKey, "MiscStatus"), "132241");
    QCOMPARE(registry.value(controlKey, "ToolboxBitmap32"), registry.inprocServer(CLSID_Sumlet) + ", 1");
    QCOMPARE(registry.value(controlKey, "TypeLib"), "{12016192-433E-444A-9CAC-A7B8ACB54EE2}");
    QCOMPARE(registry.value(controlKey, "Version"), "1.0");
    QCOMPARE(registry.value(controlKey, "PropertyPages"), "1");
    QCOMPARE(registry.value(controlKey, "PropertyPage1"), "{53CDDAC6-F94C-4838-A823-EBA7B6406106}");

    const QString pageKey = QStringLiteral("CLSID\\{53CDDAC6-F94C-4838-A823-EBA7B6406106}");
    QCOMPARE(registry.value(pageKey, "TypeName"), "Sumlet Property Page");
    QCOMPARE(registry.value(pageKey, "ProgID"), "SUMLET.SumletPropPage.1");
    QCOMPARE(registry.value(pageKey, "InprocServer32"), registry.inprocServer(CLSID_Sumlet));
    QCOMPARE(registry.value("ProgID\\SUMLET.SumletCtrl.1", "CLSID"), "{D30BA78E-E324-4908-98B4-13EE76559521}");
    QCOMPARE(registry.value("ProgID\\SUMLET.SumletPropPage.1", "CLSID"), "{53CDDAC6-F94C-4838-A823-EBA7B6406106}");

    const QString typeLibKey = QStringLiteral("TypeLib\\{12016192-433E-444A-9CAC-A7B8ACB54EE2}\\1.0");
    QCOMPARE(registry.value(typeLibKey, "Name"), "SUMLETLib");
    QCOMPARE(registry.value(typeLibKey, "HelpString"), "Sumlet ActiveX Control module");
    QCOMPARE(registry.value(typeLibKey, "Locale"), "0x0409");
    QCOMPARE(registry.value(typeLibKey, "HelpFile"), "Sumlet.hlp");
    QCOMPARE(registry.value(typeLibKey, "Path"), registry.inprocServer(CLSID_Sumlet));
    QCOMPARE(registry.value("Interface\\{274227A8-5259-45A5-A8A8-B7EB9EF46154}", "Name"), "_DSumlet");
    QCOMPARE(registry.value("Interface\\{65833FF6-405A-4E94-A047-E11B5513C9C9}", "Name"), "_DSumletEvents");

    // Registering again changes nothing.
    QFile file(config->registryFile());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray first = file.readAll();
    file.close();
    QCOMPARE(registerServer(), S_OK);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), first);
    file.close();

    QCOMPARE(unregisterServer(), S_OK);
    QVERIFY(registry.load(nullptr));
    QCOMPARE(registry.sectionNames(), QStringList());
    QCOMPARE(unregisterServer(), S_OK);
}

void TestSumlet::registrationKeepsOtherEntries()
{
    QVERIFY(QDir().mkpath(QFileInfo(config->registryFile()).absolutePath()));
    QFile file(config->registryFile());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("; written by hand\n[CLSID\\{00000000-1111-2222-3333-444444444444}]\n"
               "InprocServer32=/opt/other/libother.so\nNote=back\\\\slash and \\n break\n");
    file.close();

    QCOMPARE(registerServer(), S_OK);
    QCOMPARE(unregisterServer(), S_OK);
    ComponentRegistry registry(config->registryFile());
    QVERIFY(registry.load(nullptr));
    QCOMPARE(registry.sectionNames(), QStringList{"CLSID\\{00000000-1111-2222-3333-444444444444}"});
    QCOMPARE(registry.value("clsid\\{00000000-1111-2222-3333-444444444444}", "inprocserver32"),
             "/opt/other/libother.so");
    QCOMPARE(registry.value("CLSID\\{00000000-1111-2222-3333-444444444444}", "Note"), "back\\slash and \n break");
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().startsWith("; written by hand\n"));
}

void TestSumlet::registrationIntoUnwritableLocation()
{
    // The configuration folder is a plain file: nothing can be created under it.
    QTemporaryDir scratch;
    const QString notAFolder = scratch.filePath("config");
    QFile blocker(notAFolder);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    {
        PrivateConfig blocked(notAFolder);
        QCOMPARE(registerServer(), SELFREG_E_TYPELIB);
        QCOMPARE(unregisterServer(), S_OK); // nothing registered there
    }
    QCOMPARE(QFileInfo(notAFolder).size(), 0);

    // The registry file's name is taken by a folder.
    QVERIFY(QDir().mkpath(config->registryFile()));
    QCOMPARE(registerServer(), SELFREG_E_TYPELIB);
    QVERIFY(QFileInfo(config->registryFile()).isDir());

    // A read-only folder (only meaningful for a user without override rights).
    if (geteuid() != 0) {
        PrivateConfig readOnly;
        QVERIFY(QDir().mkpath(readOnly.path() + "/tarvel"));
        QFile::setPermissions(readOnly.path() + "/tarvel", QFile::ReadOwner | QFile::ExeOwner);
        QCOMPARE(registerServer(), SELFREG_E_TYPELIB);
        QFile::setPermissions(readOnly.path() + "/tarvel", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
}

void TestSumlet::unregistrationWhenRegistryIsUnreadable()
{
    QCOMPARE(registerServer(), S_OK);
    // The registry's name taken by a folder: it can be neither read nor rewritten.
    QVERIFY(QFile::remove(config->registryFile()));
    QVERIFY(QDir().mkpath(config->registryFile()));
    QCOMPARE(unregisterServer(), SELFREG_E_TYPELIB);
    QVERIFY(QDir(config->registryFile()).removeRecursively());
    QCOMPARE(unregisterServer(), S_OK);
}

void TestSumlet::aboutBoxIsModalWithItsTexts()
{
    QWidget mainWindow;
    mainWindow.show();
    QVERIFY(QTest::qWaitForWindowExposed(&mainWindow));
    mainWindow.activateWindow();

    bool checked = false;
    whenModalOpens([&](QWidget *dialog) {
        checked = true;
        QCOMPARE(dialog->windowTitle(), QStringLiteral("About Sumlet Control"));
        QVERIFY(dialog->isModal());
        QStringList texts;
        for (const QLabel *label : dialog->findChildren<QLabel *>()) {
            if (!label->text().isEmpty())
                texts.append(label->text());
            else
                QVERIFY(!label->pixmap().isNull());
        }
        QVERIFY(texts.contains("Sumlet Control, Version 1.0"));
        QVERIFY(
            texts.contains(QStringLiteral("Считает CRC для Siemens Mobile. Содержит функции вычисления XOR, AND...")));
        QCOMPARE(texts.size(), 3);
        const QList<QPushButton *> buttons = dialog->findChildren<QPushButton *>();
        QCOMPARE(buttons.size(), 1);
        QCOMPARE(buttons[0]->text(), "OK");
        QVERIFY(buttons[0]->isDefault());
        QVERIFY(dialog->width() > dialog->height() * 2);
        QTest::mouseClick(buttons[0], Qt::LeftButton);
    });
    VARIANT result = variantI4(7);
    QCOMPARE(call(DISPID_ABOUTBOX, {}, &result), S_OK);
    QVERIFY(checked);
    QCOMPARE(result.vt, VT_EMPTY);
    QVERIFY(!QApplication::activeModalWidget());
}

void TestSumlet::propertyPageAndPropertiesVerb()
{
    Ref<IClassFactory> factory;
    QCOMPARE(getClassObject(&CLSID_SumletPropPage, &IID_IClassFactory, factory.out()), S_OK);
    Ref<IPropertyPage> page;
    QCOMPARE(factory->CreateInstance(nullptr, IID_IPropertyPage, page.out()), S_OK);
    PROPPAGEINFO info{};
    QCOMPARE(page->GetPageInfo(&info), S_OK);
    QCOMPARE(info.title, "General");

    QWidget host;
    QCOMPARE(page->Activate(&host), S_OK);
    const QList<QLabel *> labels = host.findChildren<QLabel *>();
    QCOMPARE(labels.size(), 1);
    QCOMPARE(labels[0]->text(), "TODO: Place controls to manipulate properties of Sumlet Control on this dialog.");
    QCOMPARE(page->Deactivate(), S_OK);
    QVERIFY(host.findChildren<QLabel *>().isEmpty());

    Ref<IOleObject> ole;
    QCOMPARE(control->QueryInterface(IID_IOleObject, ole.out()), S_OK);
    bool checked = false;
    whenModalOpens([&](QWidget *frame) {
        checked = true;
        const QTabWidget *tabs = frame->findChild<QTabWidget *>();
        QVERIFY(tabs);
        QCOMPARE(tabs->count(), 1);
        QCOMPARE(tabs->tabText(0), "General");
        QVERIFY(frame->findChild<QLabel *>()->text().startsWith("TODO: Place controls"));
        static_cast<QDialog *>(frame)->reject();
    });
    QCOMPARE(ole->DoVerb(OLEIVERB_PROPERTIES, nullptr), S_OK);
    QVERIFY(checked);
    QCOMPARE(ole->DoVerb(42, nullptr), OLEOBJ_E_INVALIDVERB);
}

void TestSumlet::designTimeDrawing()
{
    Ref<IViewObject> view;
    QCOMPARE(control->QueryInterface(IID_IViewObject, view.out()), S_OK);
    QImage image(41, 21, QImage::Format_RGB32);
    {
        QPainter painter(&image);
        QCOMPARE(view->Draw(&painter, RECT{0, 0, 41, 21}), S_OK);
    }
    QCOMPARE(view->Draw(nullptr, RECT{0, 0, 1, 1}), E_POINTER);

    // In a form being designed the control shows itself in its site, following its size.
    QWidget site;
    site.resize(60, 30);
    site.show();
    QVERIFY(QTest::qWaitForWindowExposed(&site));
    Ref<IOleObject> ole;
    QCOMPARE(control->QueryInterface(IID_IOleObject, ole.out()), S_OK);
    QCOMPARE(ole->DoVerb(OLEIVERB_SHOW, &site), S_OK);
    QWidget *designView = site.findChild<QWidget *>("SumletDesignView");
    QVERIFY(designView);
    site.resize(80, 40);
    QCOMPARE(designView->size(), QSize(80, 40));
    QCOMPARE(ole->DoVerb(OLEIVERB_HIDE, nullptr), S_OK);
    QVERIFY(!site.findChild<QWidget *>("SumletDesignView"));
    QCOMPARE(ole->DoVerb(OLEIVERB_SHOW, nullptr), E_INVALIDARG);
}

QTEST_MAIN(TestSumlet)
#include "tst_sumlet.moc"
