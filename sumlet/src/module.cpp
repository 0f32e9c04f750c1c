#include "module.h"

#include "componentregistry.h"
#include "sumletctrl.h"
#include "sumletproppage.h"

#include <QDir>
#include <QFileInfo>

#include <atomic>
#include <dlfcn.h>

namespace sumlet {

namespace {

std::atomic<long> moduleLocks{0};

// ---------------------------------------------------------------- string table

struct StringEntry
{
    std::uint32_t id;
    const char *text;
};

constexpr StringEntry stringTable[] = {
    {IDS_SUMLET, "Sumlet Control"},
    {IDS_SUMLET_PPG, "Sumlet Property Page"},
    {IDS_SUMLET_PPG_CAPTION, "General"},
};

const char *stringEntry(std::uint32_t id)
{
    for (const StringEntry &entry : stringTable) {
        if (entry.id == id)
            return entry.text;
    }
    return nullptr;
}

// ---------------------------------------------------------------- type library

constexpr ParamDesc crcCalcParams[] = {{"Data", VT_BSTR}, {"Len", VT_I2}};
constexpr ParamDesc twoValueParams[] = {{"Byte1", VT_I2}, {"Byte2", VT_I2}};
constexpr ParamDesc oneValueParams[] = {{"Byte", VT_I2}};

constexpr MethodDesc sumletMethods[] = {
    {DISPID_CrcCalc, "CrcCalc", crcCalcParams, 2, VT_I4}, {DISPID_Xor, "Xor", twoValueParams, 2, VT_I2},
    {DISPID_Not, "Not", oneValueParams, 1, VT_I2},        {DISPID_And, "And", twoValueParams, 2, VT_I2},
    {DISPID_ABOUTBOX, "AboutBox", nullptr, 0, VT_EMPTY},
};

constexpr InterfaceDesc interfaces[] = {
    {DIID__DSumlet, "_DSumlet", "Dispatch interface for Sumlet Control", TYPEFLAG_FHIDDEN | TYPEFLAG_FDISPATCHABLE,
     sumletMethods, std::size(sumletMethods)},
    {DIID__DSumletEvents, "_DSumletEvents", "Event interface for Sumlet Control", TYPEFLAG_FDISPATCHABLE, nullptr, 0},
};

constexpr CoClassDesc coclasses[] = {
    {CLSID_Sumlet, "Sumlet", "Sumlet Control", TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL, DIID__DSumlet,
     DIID__DSumletEvents},
};

constexpr TypeLibDesc typeLib = {
    LIBID_SUMLETLib,
    "SUMLETLib",
    1,
    0,
    0x0409,
    "Sumlet.hlp",
    "Sumlet ActiveX Control module",
    interfaces,
    std::size(interfaces),
    coclasses,
    std::size(coclasses),
};

// ---------------------------------------------------------------- classes

constexpr GUID sumletPropertyPages[] = {CLSID_SumletPropPage};

constexpr std::uint32_t sumletMiscStatus = OLEMISC_SETCLIENTSITEFIRST | OLEMISC_INVISIBLEATRUNTIME | OLEMISC_INSIDEOUT
    | OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE;
static_assert(sumletMiscStatus == 132241);

constexpr ClassRegistrationDesc classes[] = {
    {CLSID_Sumlet, "CSumletCtrl", "SUMLET.SumletCtrl.1", IDS_SUMLET, IDB_SUMLET, "Apartment", sumletMiscStatus, true,
     &LIBID_SUMLETLib, 1, 0, sumletPropertyPages, std::size(sumletPropertyPages)},
    {CLSID_SumletPropPage, "CSumletPropPage", "SUMLET.SumletPropPage.1", IDS_SUMLET_PPG, 0, "Apartment", 0, false,
     nullptr, 0, 0, nullptr, 0},
};

constexpr VersionRecord versionRecord = {
    {1, 0, 0, 1},
    {1, 0, 0, 1},
    "1, 0, 0, 1",
    "1, 0, 0, 1",
    "Sumlet ActiveX Control Module",
    "Sumlet ActiveX Control Module",
    "Sumlet",
    "Sumlet.OCX",
    "Вычисляет CRC для связи с мобильным телефоном Siemens",
    0x0409,
    0x04B0,
    "",
};

constexpr ModuleDesc module = {&typeLib, classes, std::size(classes), &versionRecord};

// ---------------------------------------------------------------- class factories

template<HRESULT (*Create)(const GUID &, void **)>
class ClassFactory final : public IClassFactory
{
public:
    HRESULT QueryInterface(const GUID &iid, void **object) override
    {
        if (!object)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_IClassFactory) {
            *object = static_cast<IClassFactory *>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // The factories are static; their references only keep the module loaded.
    ULONG AddRef() override
    {
        lockModule();
        return 2;
    }
    ULONG Release() override
    {
        unlockModule();
        return 1;
    }
    HRESULT CreateInstance(IUnknown *outer, const GUID &iid, void **object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        return Create(iid, object);
    }
    HRESULT LockServer(bool lock) override
    {
        if (lock)
            lockModule();
        else
            unlockModule();
        return S_OK;
    }
};

ClassFactory<&CSumletCtrl::create> controlFactory;
ClassFactory<&CSumletPropPage::create> propertyPageFactory;

// ---------------------------------------------------------------- registration

QString text(const char *utf8)
{
    return QString::fromUtf8(utf8);
}

QString guidString(const GUID &guid)
{
    return QString::fromStdString(formatGuid(guid));
}

QString versionText(int major, int minor)
{
    return QStringLiteral("%1.%2").arg(major).arg(minor);
}

QStringList typeLibSections()
{
    QStringList sections{ComponentRegistry::typeLibSection(typeLib.libid, typeLib.majorVersion, typeLib.minorVersion)};
    for (const InterfaceDesc &interface : interfaces)
        sections.append(ComponentRegistry::interfaceSection(interface.iid));
    return sections;
}

QStringList classSections()
{
    QStringList sections;
    for (const ClassRegistrationDesc &entry : classes) {
        sections.append(ComponentRegistry::clsidSection(entry.clsid));
        sections.append(ComponentRegistry::progIdSection(text(entry.progId)));
    }
    return sections;
}

void writeTypeLib(ComponentRegistry &registry, const QString &library)
{
    const QString section = typeLibSections().first();
    registry.removeSection(section);
    registry.setValue(section, QStringLiteral("Name"), text(typeLib.name));
    registry.setValue(section, QStringLiteral("HelpString"), text(typeLib.helpString));
    registry.setValue(section, QStringLiteral("Locale"),
                      QStringLiteral("0x%1").arg(typeLib.lcid, 4, 16, QLatin1Char('0')));
    registry.setValue(section, QStringLiteral("Path"), library);
    registry.setValue(section, QStringLiteral("HelpDir"), QFileInfo(library).absolutePath());
    registry.setValue(section, QStringLiteral("HelpFile"), text(typeLib.helpFile));
    registry.setValue(section, QStringLiteral("Flags"), QStringLiteral("0"));
    for (const InterfaceDesc &interface : interfaces) {
        const QString key = ComponentRegistry::interfaceSection(interface.iid);
        registry.removeSection(key);
        registry.setValue(key, QStringLiteral("Name"), text(interface.name));
        registry.setValue(key, QStringLiteral("ProxyStubClsid32"), guidString(CLSID_PSDispatch));
        registry.setValue(key, QStringLiteral("TypeLib"), guidString(typeLib.libid));
        registry.setValue(key, QStringLiteral("Version"), versionText(typeLib.majorVersion, typeLib.minorVersion));
    }
}

void writeClasses(ComponentRegistry &registry, const QString &library)
{
    for (const ClassRegistrationDesc &entry : classes) {
        const QString section = ComponentRegistry::clsidSection(entry.clsid);
        const QString typeName = loadString(entry.typeNameStringId);
        registry.removeSection(section);
        registry.setValue(section, QStringLiteral("TypeName"), typeName);
        registry.setValue(section, QStringLiteral("Implementation"), text(entry.implementationClass));
        registry.setValue(section, QStringLiteral("ProgID"), text(entry.progId));
        registry.setValue(section, QStringLiteral("InprocServer32"), library);
        registry.setValue(section, QStringLiteral("ThreadingModel"), text(entry.threadingModel));
        if (entry.isControl) {
            registry.setValue(section, QStringLiteral("Control"), QStringLiteral("1"));
            registry.setValue(section, QStringLiteral("MiscStatus"), QString::number(entry.miscStatus));
        }
        if (entry.toolboxBitmapId) {
            registry.setValue(section, QStringLiteral("ToolboxBitmap32"),
                              QStringLiteral("%1, %2").arg(library).arg(entry.toolboxBitmapId));
        }
        if (entry.typeLib) {
            registry.setValue(section, QStringLiteral("TypeLib"), guidString(*entry.typeLib));
            registry.setValue(section, QStringLiteral("Version"), versionText(entry.typeLibMajor, entry.typeLibMinor));
        }
        if (entry.propertyPageCount) {
            registry.setValue(section, QStringLiteral("PropertyPages"), QString::number(entry.propertyPageCount));
            for (std::uint32_t i = 0; i < entry.propertyPageCount; ++i) {
                registry.setValue(section, QStringLiteral("PropertyPage%1").arg(i + 1),
                                  guidString(entry.propertyPages[i]));
            }
        }
        const QString progId = ComponentRegistry::progIdSection(text(entry.progId));
        registry.removeSection(progId);
        registry.setValue(progId, QStringLiteral("TypeName"), typeName);
        registry.setValue(progId, QStringLiteral("CLSID"), guidString(entry.clsid));
    }
}

bool removeSections(ComponentRegistry &registry, const QStringList &sections)
{
    bool any = false;
    for (const QString &section : sections)
        any = any || registry.hasSection(section);
    if (!any)
        return true;
    return registry.update(
        [&](ComponentRegistry &current) {
            for (const QString &section : sections)
                current.removeSection(section);
        },
        nullptr);
}

} // namespace

void lockModule()
{
    ++moduleLocks;
}

void unlockModule()
{
    --moduleLocks;
}

long moduleLockCount()
{
    return moduleLocks.load();
}

const ModuleDesc &moduleDescriptor()
{
    return module;
}

HRESULT getClassObject(const GUID &clsid, const GUID &iid, void **object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (clsid == CLSID_Sumlet)
        return controlFactory.QueryInterface(iid, object);
    if (clsid == CLSID_SumletPropPage)
        return propertyPageFactory.QueryInterface(iid, object);
    return CLASS_E_CLASSNOTAVAILABLE;
}

const char *stringResource(std::uint32_t id)
{
    return stringEntry(id);
}

QString loadString(std::uint32_t id)
{
    return QString::fromUtf8(stringEntry(id));
}

QString iconResource(int size)
{
    return size <= 16 ? QStringLiteral(":/sumlet/sumlet16.xpm") : QStringLiteral(":/sumlet/sumlet32.xpm");
}

QString toolboxBitmapResource()
{
    return QStringLiteral(":/sumlet/toolbox.xpm");
}

namespace {
// A symbol of this file that no other library can stand in for.
void addressInThisLibrary() {}
} // namespace

QString libraryFilePath()
{
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void *>(&addressInThisLibrary), &info) || !info.dli_fname || !*info.dli_fname)
        return QString();
    return QDir::cleanPath(QFileInfo(QString::fromLocal8Bit(info.dli_fname)).absoluteFilePath());
}

} // namespace sumlet

using namespace sumlet;

extern "C" {

HRESULT DllRegisterServer()
{
    const QString library = libraryFilePath();
    if (library.isEmpty())
        return SELFREG_E_TYPELIB;
    ComponentRegistry registry;
    if (!registry.update([&](ComponentRegistry &current) { writeTypeLib(current, library); }, nullptr))
        return SELFREG_E_TYPELIB;
    if (!registry.update([&](ComponentRegistry &current) { writeClasses(current, library); }, nullptr))
        return SELFREG_E_CLASS;
    return S_OK;
}

HRESULT DllUnregisterServer()
{
    ComponentRegistry registry;
    if (!registry.load(nullptr))
        return SELFREG_E_TYPELIB;
    if (!removeSections(registry, typeLibSections()))
        return SELFREG_E_TYPELIB;
    if (!removeSections(registry, classSections()))
        return SELFREG_E_CLASS;
    return S_OK;
}

HRESULT DllGetClassObject(const GUID *clsid, const GUID *iid, void **object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (!clsid || !iid)
        return E_INVALIDARG;
    return getClassObject(*clsid, *iid, object);
}

HRESULT DllCanUnloadNow()
{
    return moduleLockCount() == 0 ? S_OK : S_FALSE;
}

const ModuleDesc *SumletGetModule()
{
    return &module;
}

const char *SumletLoadString(std::uint32_t id)
{
    return stringEntry(id);
}

} // extern "C"
