#include "sumletctrl.h"

#include "aboutdialog.h"
#include "dialogunits.h"
#include "module.h"

#include <sumlet/crc16x25.h>

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QEvent>
#include <QPainter>
#include <QTabWidget>
#include <QThread>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>

namespace sumlet {

namespace {

// Integers arrive by value or by reference, as 16-bit or (in range) 32-bit values.
HRESULT readI2(const VARIANT &argument, std::int16_t *value)
{
    std::int32_t wide = 0;
    switch (argument.vt) {
    case VT_I2:
        *value = argument.iVal;
        return S_OK;
    case VT_I2 | VT_BYREF:
        if (!argument.piVal)
            return DISP_E_TYPEMISMATCH;
        *value = *argument.piVal;
        return S_OK;
    case VT_I4:
        wide = argument.lVal;
        break;
    case VT_I4 | VT_BYREF:
        if (!argument.plVal)
            return DISP_E_TYPEMISMATCH;
        wide = *argument.plVal;
        break;
    default:
        return DISP_E_TYPEMISMATCH;
    }
    if (wide < std::numeric_limits<std::int16_t>::min() || wide > std::numeric_limits<std::int16_t>::max())
        return DISP_E_OVERFLOW;
    *value = static_cast<std::int16_t>(wide);
    return S_OK;
}

HRESULT readBytes(const VARIANT &argument, BSTR *value)
{
    const BSTR *source = nullptr;
    if (argument.vt == VT_BSTR)
        source = &argument.bstrVal;
    else if (argument.vt == (VT_BSTR | VT_BYREF))
        source = argument.pbstrVal;
    else
        return DISP_E_TYPEMISMATCH;
    if (!source || source->length < 0 || (source->length > 0 && !source->data))
        return DISP_E_TYPEMISMATCH;
    *value = *source;
    return S_OK;
}

bool sameName(const char *a, const char *b)
{
    for (; *a && *b; ++a, ++b) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
        if (lower(*a) != lower(*b))
            return false;
    }
    return *a == *b;
}

const InterfaceDesc &dispatchInterface()
{
    return moduleDescriptor().typeLib->interfaces[0];
}

} // namespace

bool widgetsAvailable()
{
    const auto *application = qobject_cast<QApplication *>(QCoreApplication::instance());
    return application && QThread::currentThread() == application->thread();
}

CSumletCtrl::CSumletCtrl()
{
    lockModule();
}

CSumletCtrl::~CSumletCtrl()
{
    delete designView.data();
    unlockModule();
}

HRESULT CSumletCtrl::create(const GUID &iid, void **object)
{
    auto *control = new CSumletCtrl;
    const HRESULT hr = control->QueryInterface(iid, object);
    control->Release();
    return hr;
}

std::int32_t CSumletCtrl::CrcCalc(const BSTR &data, std::int16_t len)
{
    // Len is signed 16-bit: 0 or below covers nothing, at most 32767 bytes count. A Len
    // beyond the data covers only the bytes that are there.
    const std::int32_t covered = std::max(0, std::min<std::int32_t>(len, data.length));
    return crc16X25(data.data, static_cast<std::size_t>(covered));
}

std::int16_t CSumletCtrl::Xor(std::int16_t byte1, std::int16_t byte2)
{
    return static_cast<std::int16_t>(byte1 ^ byte2);
}

std::int16_t CSumletCtrl::Not(std::int16_t byte)
{
    return static_cast<std::int16_t>(~byte);
}

std::int16_t CSumletCtrl::And(std::int16_t byte1, std::int16_t byte2)
{
    return static_cast<std::int16_t>(byte1 & byte2);
}

HRESULT CSumletCtrl::AboutBox()
{
    if (!widgetsAvailable())
        return E_UNEXPECTED;
    // The nested event loop must not see the module unloaded under it.
    lockModule();
    {
        AboutDialog dialog(QApplication::activeWindow());
        dialog.exec();
    }
    unlockModule();
    return S_OK;
}

void CSumletCtrl::OnDraw(QPainter &painter, const QRect &bounds)
{
    painter.fillRect(bounds, Qt::white);
    painter.drawEllipse(bounds.adjusted(0, 0, -1, -1));
}

HRESULT CSumletCtrl::QueryInterface(const GUID &iid, void **object)
{
    if (!object)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID__DSumlet)
        *object = static_cast<IDispatch *>(this);
    else if (iid == IID_IOleObject)
        *object = static_cast<IOleObject *>(this);
    else if (iid == IID_IViewObject)
        *object = static_cast<IViewObject *>(this);
    else if (iid == IID_ISpecifyPropertyPages)
        *object = static_cast<ISpecifyPropertyPages *>(this);
    else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG CSumletCtrl::AddRef()
{
    return ++references;
}

ULONG CSumletCtrl::Release()
{
    const ULONG left = --references;
    if (left == 0)
        delete this;
    return left;
}

HRESULT CSumletCtrl::GetIDsOfNames(const char *name, DISPID *dispid)
{
    if (!name || !dispid)
        return E_POINTER;
    const InterfaceDesc &interface = dispatchInterface();
    for (std::uint32_t i = 0; i < interface.methodCount; ++i) {
        if (sameName(name, interface.methods[i].name)) {
            *dispid = interface.methods[i].dispid;
            return S_OK;
        }
    }
    *dispid = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
}

HRESULT CSumletCtrl::Invoke(DISPID dispid, const DISPPARAMS &params, VARIANT *result, std::uint32_t *argError)
{
    if (params.cArgs && !params.rgvarg)
        return E_INVALIDARG;
    const MethodDesc *method = nullptr;
    const InterfaceDesc &interface = dispatchInterface();
    for (std::uint32_t i = 0; i < interface.methodCount; ++i) {
        if (interface.methods[i].dispid == dispid)
            method = &interface.methods[i];
    }
    if (!method)
        return DISP_E_MEMBERNOTFOUND;
    if (params.cArgs != method->paramCount)
        return DISP_E_BADPARAMCOUNT;

    auto fail = [&](std::uint32_t index, HRESULT hr) {
        if (argError)
            *argError = index;
        return hr;
    };
    std::int16_t values[2] = {};
    BSTR data{};
    for (std::uint32_t i = 0; i < params.cArgs; ++i) {
        const HRESULT hr = method->params[i].type == VT_BSTR ? readBytes(params.rgvarg[i], &data)
                                                             : readI2(params.rgvarg[i], &values[i]);
        if (failed(hr))
            return fail(i, hr);
    }

    VARIANT value{};
    switch (dispid) {
    case DISPID_CrcCalc:
        value = variantI4(CrcCalc(data, values[1]));
        break;
    case DISPID_Xor:
        value = variantI2(Xor(values[0], values[1]));
        break;
    case DISPID_Not:
        value = variantI2(Not(values[0]));
        break;
    case DISPID_And:
        value = variantI2(And(values[0], values[1]));
        break;
    case DISPID_ABOUTBOX:
        if (const HRESULT hr = AboutBox(); failed(hr))
            return hr;
        break;
    }
    if (result)
        *result = value;
    return S_OK;
}

HRESULT CSumletCtrl::DoVerb(std::int32_t verb, void *parentWidget)
{
    auto *parent = static_cast<QWidget *>(parentWidget);
    switch (verb) {
    case OLEIVERB_PRIMARY:
    case OLEIVERB_PROPERTIES:
        if (!widgetsAvailable())
            return E_UNEXPECTED;
        return showPropertyFrame(parent ? parent : QApplication::activeWindow());
    case OLEIVERB_SHOW:
        if (!widgetsAvailable())
            return E_UNEXPECTED;
        if (!parent)
            return E_INVALIDARG;
        if (!designView || designView->parentWidget() != parent) {
            delete designView.data();
            designView = new SumletDesignView(parent);
        }
        designView->show();
        return S_OK;
    case OLEIVERB_HIDE:
        delete designView.data();
        return S_OK;
    default:
        return OLEOBJ_E_INVALIDVERB;
    }
}

HRESULT CSumletCtrl::GetMiscStatus(std::uint32_t *status)
{
    if (!status)
        return E_POINTER;
    *status = moduleDescriptor().classes[0].miscStatus;
    return S_OK;
}

HRESULT CSumletCtrl::Draw(void *painter, const RECT &bounds)
{
    auto *target = static_cast<QPainter *>(painter);
    if (!target)
        return E_POINTER;
    if (!target->isActive() || bounds.right < bounds.left || bounds.bottom < bounds.top)
        return E_INVALIDARG;
    OnDraw(*target, QRect(bounds.left, bounds.top, bounds.right - bounds.left, bounds.bottom - bounds.top));
    return S_OK;
}

HRESULT CSumletCtrl::GetPages(GUID *pages, std::uint32_t capacity, std::uint32_t *count)
{
    if (!count)
        return E_POINTER;
    const ClassRegistrationDesc &control = moduleDescriptor().classes[0];
    *count = control.propertyPageCount;
    if (capacity && !pages)
        return E_POINTER;
    for (std::uint32_t i = 0; i < std::min(capacity, control.propertyPageCount); ++i)
        pages[i] = control.propertyPages[i];
    return S_OK;
}

// The property frame: one tab per page of the control, with OK and Cancel.
HRESULT CSumletCtrl::showPropertyFrame(QWidget *parent)
{
    GUID pageIds[4];
    std::uint32_t pageCount = 0;
    GetPages(pageIds, std::size(pageIds), &pageCount);
    pageCount = std::min<std::uint32_t>(pageCount, std::size(pageIds));

    AddRef();
    lockModule();
    QList<IPropertyPage *> pages;
    {
        QDialog frame(parent);
        frame.setObjectName(QStringLiteral("SumletPropertyFrame"));
        frame.setWindowTitle(loadString(IDS_SUMLET) + QStringLiteral(" Properties"));
        auto *layout = new QVBoxLayout(&frame);
        auto *tabs = new QTabWidget(&frame);
        layout->addWidget(tabs);
        const DialogUnits units(dialogFont());
        for (std::uint32_t i = 0; i < pageCount; ++i) {
            IClassFactory *factory = nullptr;
            if (failed(getClassObject(pageIds[i], IID_IClassFactory, reinterpret_cast<void **>(&factory))))
                continue;
            IPropertyPage *page = nullptr;
            factory->CreateInstance(nullptr, IID_IPropertyPage, reinterpret_cast<void **>(&page));
            factory->Release();
            if (!page)
                continue;
            pages.append(page);
            PROPPAGEINFO info{};
            page->GetPageInfo(&info);
            auto *host = new QWidget;
            host->setMinimumSize(units.size(info.width, info.height));
            page->Activate(host);
            tabs->addTab(host, QString::fromUtf8(info.title));
        }
        auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &frame);
        QObject::connect(buttons, &QDialogButtonBox::accepted, &frame, &QDialog::accept);
        QObject::connect(buttons, &QDialogButtonBox::rejected, &frame, &QDialog::reject);
        layout->addWidget(buttons);
        frame.exec();
        for (IPropertyPage *page : pages)
            page->Deactivate();
    }
    for (IPropertyPage *page : pages)
        page->Release();
    unlockModule();
    Release();
    return S_OK;
}

SumletDesignView::SumletDesignView(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("SumletDesignView"));
    setGeometry(parent->rect());
    parent->installEventFilter(this);
}

void SumletDesignView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    CSumletCtrl::OnDraw(painter, rect());
}

bool SumletDesignView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == parentWidget() && event->type() == QEvent::Resize)
        setGeometry(parentWidget()->rect());
    return QWidget::eventFilter(watched, event);
}

} // namespace sumlet
