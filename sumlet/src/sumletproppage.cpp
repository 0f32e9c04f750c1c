#include "sumletproppage.h"

#include "dialogunits.h"
#include "module.h"
#include "sumletctrl.h"

#include <QLabel>

namespace sumlet {

namespace {
constexpr int pageWidth = 250;
constexpr int pageHeight = 62;
} // namespace

CSumletPropPage::CSumletPropPage()
{
    lockModule();
}

CSumletPropPage::~CSumletPropPage()
{
    delete page.data();
    unlockModule();
}

HRESULT CSumletPropPage::create(const GUID &iid, void **object)
{
    auto *created = new CSumletPropPage;
    const HRESULT hr = created->QueryInterface(iid, object);
    created->Release();
    return hr;
}

HRESULT CSumletPropPage::QueryInterface(const GUID &iid, void **object)
{
    if (!object)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IPropertyPage) {
        *object = static_cast<IPropertyPage *>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG CSumletPropPage::AddRef()
{
    return ++references;
}

ULONG CSumletPropPage::Release()
{
    const ULONG left = --references;
    if (left == 0)
        delete this;
    return left;
}

HRESULT CSumletPropPage::GetPageInfo(PROPPAGEINFO *info)
{
    if (!info)
        return E_POINTER;
    info->title = stringResource(IDS_SUMLET_PPG_CAPTION);
    info->width = pageWidth;
    info->height = pageHeight;
    info->helpFile = "";
    return S_OK;
}

HRESULT CSumletPropPage::Activate(void *parentWidget)
{
    if (!widgetsAvailable())
        return E_UNEXPECTED;
    if (!parentWidget)
        return E_INVALIDARG;
    delete page.data();
    page = new SumletPropPageWidget(static_cast<QWidget *>(parentWidget));
    page->show();
    return S_OK;
}

HRESULT CSumletPropPage::Deactivate()
{
    delete page.data();
    return S_OK;
}

SumletPropPageWidget::SumletPropPageWidget(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("SumletPropPage"));
    setWindowTitle(loadString(IDS_SUMLET_PPG_CAPTION));
    setFont(dialogFont());
    const DialogUnits units(font());
    setFixedSize(units.size(pageWidth, pageHeight));
    auto *text = new QLabel(
        QStringLiteral("TODO: Place controls to manipulate properties of Sumlet Control on this dialog."), this);
    text->setObjectName(QStringLiteral("IDC_STATIC"));
    text->setWordWrap(true);
    text->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    text->setGeometry(units.rect(7, 25, 229, 16));
}

} // namespace sumlet
