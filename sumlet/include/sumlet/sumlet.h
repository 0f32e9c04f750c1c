#pragma once

// Binary interface of the sumlet checksum component, shared by the component
// library and every client that loads it at run time.
//
// The component is an in-process object server in the manner of an ActiveX
// control: plain C++ interfaces whose layout is a table of virtual functions
// (IUnknown first), class factories, a dispatch interface that is called by
// dispatch identifier, and extern "C" entry points found with dlsym().
// Everything here is header-only; a client needs no link-time dependency.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sumlet {

// ---------------------------------------------------------------- result codes

using HRESULT = std::int32_t;
using DISPID = std::int32_t;
using ULONG = std::uint32_t;
using LCID = std::uint32_t;
using VARTYPE = std::uint16_t;

constexpr HRESULT makeHresult(std::uint32_t code)
{
    return static_cast<HRESULT>(code);
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = makeHresult(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = makeHresult(0x80004002);
inline constexpr HRESULT E_POINTER = makeHresult(0x80004003);
inline constexpr HRESULT E_FAIL = makeHresult(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = makeHresult(0x8000FFFF);
inline constexpr HRESULT E_OUTOFMEMORY = makeHresult(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = makeHresult(0x80070057);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = makeHresult(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = makeHresult(0x80040111);
inline constexpr HRESULT SELFREG_E_TYPELIB = makeHresult(0x80040200);
inline constexpr HRESULT SELFREG_E_CLASS = makeHresult(0x80040201);
inline constexpr HRESULT DISP_E_MEMBERNOTFOUND = makeHresult(0x80020003);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = makeHresult(0x80020005);
inline constexpr HRESULT DISP_E_UNKNOWNNAME = makeHresult(0x80020006);
inline constexpr HRESULT DISP_E_OVERFLOW = makeHresult(0x8002000A);
inline constexpr HRESULT DISP_E_BADPARAMCOUNT = makeHresult(0x8002000E);
inline constexpr HRESULT OLEOBJ_E_INVALIDVERB = makeHresult(0x80040181);

constexpr bool succeeded(HRESULT hr)
{
    return hr >= 0;
}
constexpr bool failed(HRESULT hr)
{
    return hr < 0;
}

// ---------------------------------------------------------------- identifiers

struct GUID
{
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];

    friend constexpr bool operator==(const GUID &a, const GUID &b)
    {
        if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
            return false;
        for (int i = 0; i < 8; ++i) {
            if (a.Data4[i] != b.Data4[i])
                return false;
        }
        return true;
    }
};
static_assert(sizeof(GUID) == 16);

namespace detail {
constexpr int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
} // namespace detail

// Accepts "{D30BA78E-E324-4908-98B4-13EE76559521}", braces optional, any letter case.
constexpr std::optional<GUID> parseGuid(std::string_view text)
{
    if (text.size() == 38 && text.front() == '{' && text.back() == '}')
        text = text.substr(1, 36);
    if (text.size() != 36)
        return std::nullopt;
    std::uint8_t bytes[16] = {};
    int byteIndex = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-')
                return std::nullopt;
            ++i;
            continue;
        }
        const int high = detail::hexDigit(text[i]);
        const int low = detail::hexDigit(text[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes[byteIndex++] = static_cast<std::uint8_t>(high * 16 + low);
        i += 2;
    }
    GUID guid{};
    guid.Data1 =
        (std::uint32_t(bytes[0]) << 24) | (std::uint32_t(bytes[1]) << 16) | (std::uint32_t(bytes[2]) << 8) | bytes[3];
    guid.Data2 = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
    guid.Data3 = static_cast<std::uint16_t>((bytes[6] << 8) | bytes[7]);
    for (int i = 0; i < 8; ++i)
        guid.Data4[i] = bytes[8 + i];
    return guid;
}

consteval GUID guidLiteral(std::string_view text)
{
    const std::optional<GUID> guid = parseGuid(text);
    if (!guid)
        throw "malformed GUID literal";
    return *guid;
}

// Upper-case, with braces: "{D30BA78E-E324-4908-98B4-13EE76559521}".
inline std::string formatGuid(const GUID &guid)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text = "{";
    auto put = [&](std::uint32_t value, int hexDigits) {
        for (int shift = (hexDigits - 1) * 4; shift >= 0; shift -= 4)
            text += digits[(value >> shift) & 0xF];
    };
    put(guid.Data1, 8);
    text += '-';
    put(guid.Data2, 4);
    text += '-';
    put(guid.Data3, 4);
    text += '-';
    put(guid.Data4[0], 2);
    put(guid.Data4[1], 2);
    text += '-';
    for (int i = 2; i < 8; ++i)
        put(guid.Data4[i], 2);
    text += '}';
    return text;
}

// Interfaces of the object model.
inline constexpr GUID IID_IUnknown = guidLiteral("{00000000-0000-0000-C000-000000000046}");
inline constexpr GUID IID_IClassFactory = guidLiteral("{00000001-0000-0000-C000-000000000046}");
inline constexpr GUID IID_IDispatch = guidLiteral("{00020400-0000-0000-C000-000000000046}");
inline constexpr GUID IID_IOleObject = guidLiteral("{00000112-0000-0000-C000-000000000046}");
inline constexpr GUID IID_IViewObject = guidLiteral("{0000010D-0000-0000-C000-000000000046}");
inline constexpr GUID IID_ISpecifyPropertyPages = guidLiteral("{B196B28B-BAB4-101A-B69C-00AA00341D07}");
inline constexpr GUID IID_IPropertyPage = guidLiteral("{B196B28D-BAB4-101A-B69C-00AA00341D07}");
inline constexpr GUID CLSID_PSDispatch = guidLiteral("{00020420-0000-0000-C000-000000000046}");

// The sumlet component.
inline constexpr GUID LIBID_SUMLETLib = guidLiteral("{12016192-433E-444A-9CAC-A7B8ACB54EE2}");
inline constexpr GUID DIID__DSumlet = guidLiteral("{274227A8-5259-45A5-A8A8-B7EB9EF46154}");
inline constexpr GUID DIID__DSumletEvents = guidLiteral("{65833FF6-405A-4E94-A047-E11B5513C9C9}");
inline constexpr GUID CLSID_Sumlet = guidLiteral("{D30BA78E-E324-4908-98B4-13EE76559521}");
inline constexpr GUID CLSID_SumletPropPage = guidLiteral("{53CDDAC6-F94C-4838-A823-EBA7B6406106}");

// Dispatch identifiers of _DSumlet.
inline constexpr DISPID DISPID_CrcCalc = 1;
inline constexpr DISPID DISPID_Xor = 2;
inline constexpr DISPID DISPID_Not = 3;
inline constexpr DISPID DISPID_And = 4;
inline constexpr DISPID DISPID_ABOUTBOX = -552;
inline constexpr DISPID DISPID_UNKNOWN = -1;

// Miscellaneous status bits of a control class.
inline constexpr std::uint32_t OLEMISC_RECOMPOSEONRESIZE = 0x1;
inline constexpr std::uint32_t OLEMISC_CANTLINKINSIDE = 0x10;
inline constexpr std::uint32_t OLEMISC_INSIDEOUT = 0x80;
inline constexpr std::uint32_t OLEMISC_INVISIBLEATRUNTIME = 0x400;
inline constexpr std::uint32_t OLEMISC_SETCLIENTSITEFIRST = 0x20000;

// Verbs of IOleObject::DoVerb.
inline constexpr std::int32_t OLEIVERB_PRIMARY = 0;
inline constexpr std::int32_t OLEIVERB_SHOW = -1;
inline constexpr std::int32_t OLEIVERB_HIDE = -3;
inline constexpr std::int32_t OLEIVERB_PROPERTIES = -7;

// ---------------------------------------------------------------- arguments

inline constexpr VARTYPE VT_EMPTY = 0;
inline constexpr VARTYPE VT_I2 = 2; // 16-bit signed integer
inline constexpr VARTYPE VT_I4 = 3; // 32-bit signed integer
inline constexpr VARTYPE VT_BSTR = 8; // byte-carrying string
inline constexpr VARTYPE VT_BYREF = 0x4000;

// Byte-carrying string: length-counted single-byte text in the Windows-1251 code
// page, one character per byte, zero bytes allowed anywhere. Since the text is
// already in the component's single-byte code page, the bytes pass unchanged:
// the component works on exactly the bytes the caller put in. The caller owns
// the bytes; the component only reads them during the call.
struct BSTR
{
    const char *data;
    std::int32_t length;
};

struct VARIANT
{
    VARTYPE vt;
    std::uint16_t reserved1;
    std::uint16_t reserved2;
    std::uint16_t reserved3;
    union
    {
        std::int16_t iVal;
        std::int32_t lVal;
        BSTR bstrVal;
        std::int16_t *piVal;
        std::int32_t *plVal;
        BSTR *pbstrVal;
    };
};
static_assert(sizeof(VARIANT) == 24);

inline VARIANT variantI2(std::int16_t value)
{
    VARIANT v{};
    v.vt = VT_I2;
    v.iVal = value;
    return v;
}

inline VARIANT variantI4(std::int32_t value)
{
    VARIANT v{};
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

inline VARIANT variantBstr(const char *data, std::int32_t length)
{
    VARIANT v{};
    v.vt = VT_BSTR;
    v.bstrVal = BSTR{data, length};
    return v;
}

inline VARIANT variantByRef(std::int16_t *value)
{
    VARIANT v{};
    v.vt = VT_I2 | VT_BYREF;
    v.piVal = value;
    return v;
}

inline VARIANT variantByRef(std::int32_t *value)
{
    VARIANT v{};
    v.vt = VT_I4 | VT_BYREF;
    v.plVal = value;
    return v;
}

inline VARIANT variantByRef(BSTR *value)
{
    VARIANT v{};
    v.vt = VT_BSTR | VT_BYREF;
    v.pbstrVal = value;
    return v;
}

// Arguments of one call, in declaration order: rgvarg[0] is the first parameter.
struct DISPPARAMS
{
    const VARIANT *rgvarg;
    std::uint32_t cArgs;
};

// ---------------------------------------------------------------- interfaces
// Objects are destroyed only through Release(), hence the protected destructors.

struct IUnknown
{
    virtual HRESULT QueryInterface(const GUID &iid, void **object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

struct IClassFactory : IUnknown
{
    // outer must be null: the classes cannot be aggregated.
    virtual HRESULT CreateInstance(IUnknown *outer, const GUID &iid, void **object) = 0;
    virtual HRESULT LockServer(bool lock) = 0;

protected:
    ~IClassFactory() = default;
};

struct IDispatch : IUnknown
{
    // Member names are matched without regard to letter case.
    virtual HRESULT GetIDsOfNames(const char *name, DISPID *dispid) = 0;
    // result may be null; on DISP_E_TYPEMISMATCH or DISP_E_OVERFLOW *argError
    // (if given) receives the index of the offending argument.
    virtual HRESULT Invoke(DISPID dispid, const DISPPARAMS &params, VARIANT *result, std::uint32_t *argError) = 0;

protected:
    ~IDispatch() = default;
};

// Widget and painter pointers below are the caller's Qt objects (QWidget*,
// QPainter*); the component links the same Qt as the process that loads it.

struct IOleObject : IUnknown
{
    // OLEIVERB_SHOW places the design-time view into parentWidget, OLEIVERB_HIDE
    // removes it, OLEIVERB_PROPERTIES (and OLEIVERB_PRIMARY) open the property
    // page modally over parentWidget. Verbs that show widgets need a QApplication.
    virtual HRESULT DoVerb(std::int32_t verb, void *parentWidget) = 0;
    virtual HRESULT GetMiscStatus(std::uint32_t *status) = 0;

protected:
    ~IOleObject() = default;
};

struct RECT
{
    std::int32_t left;
    std::int32_t top;
    std::int32_t right;
    std::int32_t bottom;
};

struct IViewObject : IUnknown
{
    // Paints the design-time picture into bounds with the painter's pen and brush.
    virtual HRESULT Draw(void *painter, const RECT &bounds) = 0;

protected:
    ~IViewObject() = default;
};

struct ISpecifyPropertyPages : IUnknown
{
    // Writes at most capacity class identifiers; *count receives the number of pages.
    virtual HRESULT GetPages(GUID *pages, std::uint32_t capacity, std::uint32_t *count) = 0;

protected:
    ~ISpecifyPropertyPages() = default;
};

struct PROPPAGEINFO
{
    const char *title; // UTF-8
    std::int32_t width; // dialog units
    std::int32_t height; // dialog units
    const char *helpFile; // may be empty
};

struct IPropertyPage : IUnknown
{
    virtual HRESULT GetPageInfo(PROPPAGEINFO *info) = 0;
    // Creates the page as a child widget of parentWidget; Deactivate destroys it.
    virtual HRESULT Activate(void *parentWidget) = 0;
    virtual HRESULT Deactivate() = 0;

protected:
    ~IPropertyPage() = default;
};

// ---------------------------------------------------------------- descriptors
// Read-only data that the library carries about itself: its type library, the
// registration records of its classes, its version record and string table.
// Strings are UTF-8 and live as long as the library stays loaded.

inline constexpr std::uint32_t TYPEFLAG_FCANCREATE = 0x2;
inline constexpr std::uint32_t TYPEFLAG_FHIDDEN = 0x10;
inline constexpr std::uint32_t TYPEFLAG_FCONTROL = 0x20;
inline constexpr std::uint32_t TYPEFLAG_FDISPATCHABLE = 0x1000;

inline constexpr std::uint32_t IMPLTYPEFLAG_FDEFAULT = 0x1;
inline constexpr std::uint32_t IMPLTYPEFLAG_FSOURCE = 0x2;

struct ParamDesc
{
    const char *name;
    VARTYPE type;
};

struct MethodDesc
{
    DISPID dispid;
    const char *name;
    const ParamDesc *params;
    std::uint32_t paramCount;
    VARTYPE result; // VT_EMPTY: none
};

struct InterfaceDesc
{
    GUID iid;
    const char *name;
    const char *helpString;
    std::uint32_t typeFlags;
    const MethodDesc *methods;
    std::uint32_t methodCount;
};

struct CoClassDesc
{
    GUID clsid;
    const char *name;
    const char *helpString;
    std::uint32_t typeFlags;
    GUID defaultInterface;
    GUID defaultSource;
};

struct TypeLibDesc
{
    GUID libid;
    const char *name;
    std::uint16_t majorVersion;
    std::uint16_t minorVersion;
    LCID lcid;
    const char *helpFile;
    const char *helpString;
    const InterfaceDesc *interfaces;
    std::uint32_t interfaceCount;
    const CoClassDesc *coclasses;
    std::uint32_t coclassCount;
};

struct ClassRegistrationDesc
{
    GUID clsid;
    const char *implementationClass;
    const char *progId;
    std::uint32_t typeNameStringId;
    std::uint32_t toolboxBitmapId; // 0: none
    const char *threadingModel;
    std::uint32_t miscStatus; // 0: not a control
    bool isControl;
    const GUID *typeLib; // null: none
    std::uint16_t typeLibMajor;
    std::uint16_t typeLibMinor;
    const GUID *propertyPages;
    std::uint32_t propertyPageCount;
};

struct VersionRecord
{
    std::uint16_t fileVersion[4];
    std::uint16_t productVersion[4];
    const char *fileVersionText;
    const char *productVersionText;
    const char *fileDescription;
    const char *productName;
    const char *internalName;
    const char *originalFilename;
    const char *comments;
    std::uint16_t language;
    std::uint16_t codePage;
    const char *oleSelfRegister; // present (empty): the file registers itself
};

struct ModuleDesc
{
    const TypeLibDesc *typeLib;
    const ClassRegistrationDesc *classes;
    std::uint32_t classCount;
    const VersionRecord *version;
};

// Resource identifiers.
inline constexpr std::uint32_t IDS_SUMLET = 1;
inline constexpr std::uint32_t IDS_SUMLET_PPG = 2;
inline constexpr std::uint32_t IDS_SUMLET_PPG_CAPTION = 200;
inline constexpr std::uint32_t IDB_SUMLET = 1;
inline constexpr std::uint32_t IDI_ABOUTDLL = 1;
inline constexpr std::uint32_t IDD_ABOUTBOX_SUMLET = 1;
inline constexpr std::uint32_t IDD_PROPPAGE_SUMLET = 200;

// ---------------------------------------------------------------- entry points

using DllRegisterServerFn = HRESULT (*)();
using DllUnregisterServerFn = HRESULT (*)();
using DllGetClassObjectFn = HRESULT (*)(const GUID *clsid, const GUID *iid, void **object);
using DllCanUnloadNowFn = HRESULT (*)();
using SumletGetModuleFn = const ModuleDesc *(*)();
using SumletLoadStringFn = const char *(*)(std::uint32_t id);

inline constexpr const char *libraryFileName = "libsumlet.so";

} // namespace sumlet

#if defined(SUMLET_BUILDING_COMPONENT)
#define SUMLET_EXPORT __attribute__((visibility("default")))
#else
#define SUMLET_EXPORT
#endif

extern "C" {
// Registers the type library, then both classes, in the per-user component
// registry. S_OK, SELFREG_E_TYPELIB or SELFREG_E_CLASS.
SUMLET_EXPORT sumlet::HRESULT DllRegisterServer();
// Removes what DllRegisterServer wrote. S_OK, SELFREG_E_TYPELIB or SELFREG_E_CLASS.
SUMLET_EXPORT sumlet::HRESULT DllUnregisterServer();
// Hands out the class factory of CLSID_Sumlet or CLSID_SumletPropPage.
SUMLET_EXPORT sumlet::HRESULT DllGetClassObject(const sumlet::GUID *clsid, const sumlet::GUID *iid, void **object);
// S_OK when no object, factory reference or server lock of the module is alive.
SUMLET_EXPORT sumlet::HRESULT DllCanUnloadNow();
// The library's description of itself.
SUMLET_EXPORT const sumlet::ModuleDesc *SumletGetModule();
// String table entry (UTF-8), or null for an unknown identifier.
SUMLET_EXPORT const char *SumletLoadString(std::uint32_t id);
}
