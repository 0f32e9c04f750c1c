// The sumlet component seen from outside: loaded with dlopen() from the build's
// bin folder and driven only through its exported entry points and interfaces.

#include "sumlettesting.h"

#include "componentregistry.h"

#include <QFile>
#include <QFileInfo>

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
    void initTestCase()
    {
        library = dlopen(QFile::encodeName(builtLibrary()).constData(), RTLD_NOW | RTLD_LOCAL);
        QVERIFY2(library, dlerror());
        registerServer = reinterpret_cast<DllRegisterServerFn>(dlsym(library, "DllRegisterServer"));
        unregisterServer = reinterpret_cast<DllUnregisterServerFn>(dlsym(library, "DllUnregisterServer"));
        getClassObject = reinterpret_cast<DllGetClassObjectFn>(dlsym(library, "DllGetClassObject"));
        canUnloadNow = reinterpret_cast<DllCanUnloadNowFn>(dlsym(library, "DllCanUnloadNow"));
        QVERIFY(registerServer && unregisterServer && getClassObject && canUnloadNow);
    }

    void init()
    {
        config = std::make_unique<PrivateConfig>();
        Ref<IClassFactory> factory;
        QCOMPARE(getClassObject(&CLSID_Sumlet, &IID_IClassFactory, factory.out()), S_OK);
        QCOMPARE(factory->CreateInstance(nullptr, DIID__DSumlet, reinterpret_cast<void **>(&control)), S_OK);
    }

    void cleanup()
    {
        if (control)
            control->Release();
        control = nullptr;
        config.reset();
    }

    void crcCalc_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("len");
        QTest::addColumn<int>("expected");
        const QByteArray digits("123456789");
        // The check value; a result of 0x8000 or more comes back positive.
        QTest::newRow("check value") << digits << 9 << 0x906E;
        QTest::newRow("zero") << digits << 0 << 0;
        QTest::newRow("minus one") << digits << -1 << 0;
        QTest::newRow("most negative") << digits << -32768 << 0;
        QTest::newRow("empty data") << QByteArray() << 5 << 0;
        QTest::newRow("prefix") << digits << 4 << int(referenceCrc("1234"));
        // A Len beyond the data covers only the bytes that are there.
        QTest::newRow("beyond the data") << digits << 200 << 0x906E;
        const QByteArray zeros = QByteArray("12") + QByteArray(2, '\0') + "34";
        QTest::newRow("zero bytes count") << zeros << 6 << int(referenceCrc(zeros));
        for (int length : {1, 33, 32767})
            QTest::addRow("%d random bytes", length) << randomBytes(length, quint32(length)) << length
                                                     << int(referenceCrc(randomBytes(length, quint32(length))));
        const QByteArray big = randomBytes(40000, 1);
        QTest::newRow("at most 32767 bytes") << big << 32767 << int(referenceCrc(big.left(32767)));
    }

    void crcCalc()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, len);
        VARIANT result{};
        QCOMPARE(call(DISPID_CrcCalc,
                      {variantBstr(data.constData(), std::int32_t(data.size())), variantI2(qint16(len))}, &result),
                 S_OK);
        QCOMPARE(result.vt, VT_I4);
        QTEST(int(result.lVal), "expected");
    }

    void bitOperations_data()
    {
        QTest::addColumn<int>("dispid");
        QTest::addColumn<QList<int>>("arguments");
        QTest::addColumn<int>("expected");
        QTest::newRow("Xor frame length") << DISPID_Xor << QList<int>{0x16, 0xFF} << 0xE9;
        QTest::newRow("Xor signed") << DISPID_Xor << QList<int>{-1, 0x7FFF} << -32768;
        QTest::newRow("Not 16") << DISPID_Not << QList<int>{0x16} << -23;
        QTest::newRow("And signed") << DISPID_And << QList<int>{-1, -32768} << -32768;
    }

    void bitOperations()
    {
        QFETCH(int, dispid);
        QFETCH(QList<int>, arguments);
        QFETCH(int, expected);
        VARIANT args[2] = {variantI2(qint16(arguments.value(0))), variantI2(qint16(arguments.value(1)))};
        VARIANT result{};
        QCOMPARE(control->Invoke(dispid, DISPPARAMS{args, std::uint32_t(arguments.size())}, &result, nullptr), S_OK);
        QCOMPARE(result.vt, VT_I2);
        QCOMPARE(int(result.iVal), expected);
    }

    void badCallsAreRefused()
    {
        // The program passes Data by reference; integers may arrive by reference or as
        // 32-bit values too. Nothing passed is changed.
        BSTR data{"123456789", 9};
        qint16 len = 9;
        VARIANT result{};
        QCOMPARE(call(DISPID_CrcCalc, {variantByRef(&data), variantByRef(&len)}, &result), S_OK);
        QCOMPARE(result.lVal, 0x906E);
        QCOMPARE(data.length, 9);
        QCOMPARE(call(DISPID_And, {variantI4(0xFF), variantI4(0x0F)}, &result), S_OK);
        QCOMPARE(result.iVal, 0x0F);

        std::uint32_t argError = 99;
        QCOMPARE(call(DISPID_And, {variantI4(0xFF), variantI4(0x10000)}, &result, &argError), DISP_E_OVERFLOW);
        QCOMPARE(argError, 1u);
        QCOMPARE(call(DISPID_CrcCalc, {variantByRef(static_cast<BSTR *>(nullptr)), variantI2(1)}, &result, &argError),
                 DISP_E_TYPEMISMATCH);
        QCOMPARE(argError, 0u);
        QCOMPARE(call(DISPID_CrcCalc, {variantBstr("1", 1), variantBstr("1", 1)}, &result, &argError),
                 DISP_E_TYPEMISMATCH);
        QCOMPARE(argError, 1u);
        QCOMPARE(call(DISPID_Not, {variantByRef(static_cast<qint16 *>(nullptr))}, &result), DISP_E_TYPEMISMATCH);
        QCOMPARE(call(DISPID_CrcCalc, {variantBstr("1", -1), variantI2(1)}, &result), DISP_E_TYPEMISMATCH);
        QCOMPARE(call(DISPID_CrcCalc, {variantBstr(nullptr, 4), variantI2(4)}, &result), DISP_E_TYPEMISMATCH);
        QCOMPARE(call(99, {}, &result), DISP_E_MEMBERNOTFOUND);
        QCOMPARE(call(DISPID_Xor, {variantI2(1)}, &result), DISP_E_BADPARAMCOUNT);
    }

    void objectsAndUnloading()
    {
        // The fixture's control keeps the module in use, and so does a server lock.
        QCOMPARE(canUnloadNow(), S_FALSE);
        control->Release();
        control = nullptr;
        QCOMPARE(canUnloadNow(), S_OK);
        {
            Ref<IClassFactory> factory;
            QCOMPARE(getClassObject(&CLSID_Sumlet, &IID_IClassFactory, factory.out()), S_OK);
            QCOMPARE(factory->LockServer(true), S_OK);
        }
        QCOMPARE(canUnloadNow(), S_FALSE);
        {
            Ref<IClassFactory> factory;
            QCOMPARE(getClassObject(&CLSID_SumletPropPage, &IID_IClassFactory, factory.out()), S_OK);
            QCOMPARE(factory->LockServer(false), S_OK);
        }
        QCOMPARE(canUnloadNow(), S_OK);
        Ref<IClassFactory> nothing;
        QCOMPARE(getClassObject(&LIBID_SUMLETLib, &IID_IClassFactory, nothing.out()), CLASS_E_CLASSNOTAVAILABLE);
        QVERIFY(!nothing.p);
    }

    // Registration leaves other entries as they were; registering again changes nothing,
    // unregistering leaves only the others.
    void registerAndUnregister()
    {
        const QString other = QStringLiteral("CLSID\\{00000000-1111-2222-3333-444444444444}");
        QVERIFY(writeFile(config->registryFile(),
                          "; written by hand\n[CLSID\\{00000000-1111-2222-3333-444444444444}]\n"
                          "InprocServer32=/opt/other/libother.so\nNote=back\\\\slash and \\n break\n"));
        QCOMPARE(registerServer(), S_OK);
        ComponentRegistry registry(config->registryFile());
        QVERIFY(registry.load(nullptr));
        const QString registered = registry.inprocServer(CLSID_Sumlet);
        QVERIFY(QFileInfo(registered).isAbsolute());
        QCOMPARE(QFileInfo(registered).canonicalFilePath(), QFileInfo(builtLibrary()).canonicalFilePath());
        const QByteArray first = readFile(config->registryFile());
        QCOMPARE(registerServer(), S_OK);
        QCOMPARE(readFile(config->registryFile()), first);

        QCOMPARE(unregisterServer(), S_OK);
        QCOMPARE(unregisterServer(), S_OK);
        QVERIFY(registry.load(nullptr));
        QCOMPARE(registry.sectionNames(), QStringList{other});
        QCOMPARE(registry.value(other.toLower(), "inprocserver32"), "/opt/other/libother.so");
        QCOMPARE(registry.value(other, "Note"), "back\\slash and \n break");
        QVERIFY(readFile(config->registryFile()).startsWith("; written by hand\n"));
    }

    void registryThatCannotBeWritten()
    {
        // The configuration folder is a plain file: nothing can be created under it.
        QTemporaryDir scratch;
        const QString notAFolder = scratch.filePath("config");
        QVERIFY(writeFile(notAFolder, {}));
        {
            PrivateConfig blocked(notAFolder);
            QCOMPARE(registerServer(), SELFREG_E_TYPELIB);
            QCOMPARE(unregisterServer(), S_OK); // nothing registered there
        }
        QCOMPARE(QFileInfo(notAFolder).size(), 0);

        // The registry's name taken by a folder: it can be neither read nor rewritten.
        QCOMPARE(registerServer(), S_OK);
        QVERIFY(QFile::remove(config->registryFile()));
        QVERIFY(QDir().mkpath(config->registryFile()));
        QCOMPARE(registerServer(), SELFREG_E_TYPELIB);
        QCOMPARE(unregisterServer(), SELFREG_E_TYPELIB);
        QVERIFY(QFileInfo(config->registryFile()).isDir());
    }

private:
    HRESULT call(DISPID dispid, std::initializer_list<VARIANT> args, VARIANT *result, std::uint32_t *argError = nullptr)
    {
        return control->Invoke(dispid, DISPPARAMS{args.begin(), static_cast<std::uint32_t>(args.size())}, result,
                               argError);
    }

    void *library = nullptr;
    DllRegisterServerFn registerServer = nullptr;
    DllUnregisterServerFn unregisterServer = nullptr;
    DllGetClassObjectFn getClassObject = nullptr;
    DllCanUnloadNowFn canUnloadNow = nullptr;
    IDispatch *control = nullptr;
    std::unique_ptr<PrivateConfig> config;
};

QTEST_GUILESS_MAIN(TestSumlet)
#include "tst_sumlet.moc"
