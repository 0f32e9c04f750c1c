#include "sumletcontrol.h"

#include "componentregistry.h"

#include <sumlet/sumlet.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <dlfcn.h>

using namespace sumlet;

namespace {

QString hresultText(HRESULT hr)
{
    return QStringLiteral("0x") + QString::number(static_cast<quint32>(hr), 16).toUpper().rightJustified(8, u'0');
}

// Opens a library file. A library whose code has run stays loaded for the rest
// of the process: Qt may still hold data that lives in it.
void *openLibrary(const QString &path, QString *reason)
{
    dlerror();
    void *handle = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *error = dlerror();
        *reason = error ? QString::fromLocal8Bit(error) : path + QStringLiteral(": cannot be opened");
        return nullptr;
    }
    return handle;
}

// The entry point of that name in a library file; null, with the reason, when the file
// does not open or has no such entry point (it is then closed again).
template<typename Function>
Function entryPoint(const QString &path, const char *name, QString *reason)
{
    void *handle = openLibrary(path, reason);
    if (!handle)
        return nullptr;
    const auto function = reinterpret_cast<Function>(dlsym(handle, name));
    if (!function) {
        dlclose(handle);
        *reason = QStringLiteral("%1 is not a component library (it has no %2)").arg(path, QLatin1String(name));
    }
    return function;
}

// Creates the control from a library file and checks that it computes the
// known checksum, so that a foreign file under the class identifier is refused.
IDispatch *createFrom(const QString &path, QString *reason)
{
    const auto getClassObject = entryPoint<DllGetClassObjectFn>(path, "DllGetClassObject", reason);
    if (!getClassObject)
        return nullptr;
    IClassFactory *factory = nullptr;
    HRESULT hr = getClassObject(&CLSID_Sumlet, &IID_IClassFactory, reinterpret_cast<void **>(&factory));
    if (failed(hr) || !factory) {
        *reason = QStringLiteral("%1 does not provide the Sumlet control (error %2)").arg(path, hresultText(hr));
        return nullptr;
    }
    IDispatch *dispatch = nullptr;
    hr = factory->CreateInstance(nullptr, DIID__DSumlet, reinterpret_cast<void **>(&dispatch));
    factory->Release();
    if (failed(hr) || !dispatch) {
        *reason = QStringLiteral("%1 cannot create the Sumlet control (error %2)").arg(path, hresultText(hr));
        return nullptr;
    }
    static const char check[] = "123456789";
    BSTR data{check, 9};
    VARIANT args[] = {variantByRef(&data), variantI2(9)};
    VARIANT result{};
    hr = dispatch->Invoke(DISPID_CrcCalc, DISPPARAMS{args, 2}, &result, nullptr);
    if (failed(hr) || result.vt != VT_I4 || result.lVal != 0x906E) {
        dispatch->Release();
        *reason = QStringLiteral("%1 does not compute the expected checksum").arg(path);
        return nullptr;
    }
    return dispatch;
}

// Registers a library as its installer would, by calling its DllRegisterServer.
bool registerLibrary(const QString &path, QString *reason)
{
    const auto registerServer = entryPoint<DllRegisterServerFn>(path, "DllRegisterServer", reason);
    if (!registerServer)
        return false;
    const HRESULT hr = registerServer();
    if (failed(hr)) {
        *reason = QStringLiteral("registering %1 failed with error %2; the component registry %3 could not be "
                                 "written")
                      .arg(path, hresultText(hr), QDir::toNativeSeparators(ComponentRegistry::defaultPath()));
        return false;
    }
    return true;
}

QString registeredLibrary(QString *reason)
{
    ComponentRegistry registry;
    if (!registry.load(reason))
        return QString();
    return registry.inprocServer(CLSID_Sumlet);
}

} // namespace

QStringList SumletControl::installedCopies()
{
    if (!QCoreApplication::instance())
        return {};
    const QDir programDir(QCoreApplication::applicationDirPath());
    return {
        programDir.filePath(QString::fromLatin1(libraryFileName)),
        QDir::cleanPath(
            programDir.filePath(QStringLiteral(SUMLET_DIR_FROM_BINDIR "/") + QString::fromLatin1(libraryFileName))),
    };
}

std::unique_ptr<SumletControl> SumletControl::create(QString *errorMessage)
{
    return create(errorMessage, installedCopies());
}

std::unique_ptr<SumletControl> SumletControl::create(QString *errorMessage, const QStringList &copies)
{
    QStringList reasons;
    QString reason;
    const QString registered = registeredLibrary(&reason);
    QString refused;
    if (!reason.isEmpty()) {
        reasons.append(reason);
    } else if (registered.isEmpty()) {
        reasons.append(QStringLiteral("it is not registered in %1")
                           .arg(QDir::toNativeSeparators(ComponentRegistry::defaultPath())));
    } else if (!QFileInfo(registered).isFile()) {
        reasons.append(QStringLiteral("the registered file %1 does not exist").arg(registered));
    } else if (IDispatch *dispatch = createFrom(registered, &reason)) {
        return std::unique_ptr<SumletControl>(new SumletControl(dispatch, registered));
    } else {
        reasons.append(reason);
        refused = QFileInfo(registered).canonicalFilePath();
    }

    bool foundCopy = false;
    for (const QString &copy : copies) {
        const QFileInfo info(copy);
        if (!info.isFile() || info.canonicalFilePath() == refused)
            continue;
        foundCopy = true;
        reason.clear();
        if (!registerLibrary(info.absoluteFilePath(), &reason)) {
            reasons.append(reason);
            continue;
        }
        const QString now = registeredLibrary(&reason);
        if (now.isEmpty()) {
            reasons.append(reason.isEmpty() ? QStringLiteral("%1 did not register itself").arg(copy) : reason);
            continue;
        }
        if (IDispatch *dispatch = createFrom(now, &reason))
            return std::unique_ptr<SumletControl>(new SumletControl(dispatch, now));
        reasons.append(reason);
    }
    if (!foundCopy) {
        QStringList looked;
        for (const QString &copy : copies)
            looked.append(QDir::toNativeSeparators(copy));
        reasons.append(looked.isEmpty()
                           ? QStringLiteral("no copy of it was installed with the program")
                           : QStringLiteral("no copy of it was found at %1").arg(looked.join(QStringLiteral(" or "))));
    }
    if (errorMessage) {
        *errorMessage = QStringLiteral("The checksum component (%1) could not be loaded: %2.")
                            .arg(QString::fromLatin1(libraryFileName), reasons.join(QStringLiteral("; ")));
    }
    return nullptr;
}

SumletControl::SumletControl(IDispatch *control, QString libraryPath)
    : dispatch(control), library(std::move(libraryPath))
{}

SumletControl::~SumletControl()
{
    dispatch->Release();
}

bool SumletControl::invoke(int dispid, VARIANT *args, unsigned count, VARIANT *result)
{
    const HRESULT hr = dispatch->Invoke(dispid, DISPPARAMS{args, count}, result, nullptr);
    if (failed(hr)) {
        qWarning("sumlet: call %d failed with error 0x%08X", dispid, static_cast<unsigned>(hr));
        return false;
    }
    return true;
}

qint16 SumletControl::invokeI2(int dispid, VARIANT *args, unsigned count)
{
    VARIANT result{};
    if (!invoke(dispid, args, count, &result) || result.vt != VT_I2)
        return 0;
    return result.iVal;
}

quint16 SumletControl::CrcCalc(const QByteArray &data)
{
    BSTR bytes{data.constData(), static_cast<std::int32_t>(qMin<qsizetype>(data.size(), 0x7FFFFFFF))};
    VARIANT args[] = {variantByRef(&bytes), variantI2(static_cast<qint16>(qMin<qsizetype>(data.size(), 32767)))};
    VARIANT result{};
    if (!invoke(DISPID_CrcCalc, args, 2, &result) || result.vt != VT_I4)
        return 0;
    return static_cast<quint16>(result.lVal);
}

qint16 SumletControl::Xor(qint16 byte1, qint16 byte2)
{
    VARIANT args[] = {variantI2(byte1), variantI2(byte2)};
    return invokeI2(DISPID_Xor, args, 2);
}

qint16 SumletControl::Not(qint16 byte)
{
    VARIANT args[] = {variantI2(byte)};
    return invokeI2(DISPID_Not, args, 1);
}

qint16 SumletControl::And(qint16 byte1, qint16 byte2)
{
    VARIANT args[] = {variantI2(byte1), variantI2(byte2)};
    return invokeI2(DISPID_And, args, 2);
}

bool SumletControl::AboutBox()
{
    return invoke(DISPID_ABOUTBOX, nullptr, 0, nullptr);
}
