#pragma once

#include <sumlet/sumlet.h>

#include <QPointer>
#include <QWidget>

#include <atomic>

namespace sumlet {

// The control's one property page, "General". It edits nothing: the control
// has no properties of its own.
class CSumletPropPage final : public IPropertyPage
{
public:
    static HRESULT create(const GUID &iid, void **object);

    HRESULT QueryInterface(const GUID &iid, void **object) override;
    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT GetPageInfo(PROPPAGEINFO *info) override;
    HRESULT Activate(void *parentWidget) override;
    HRESULT Deactivate() override;

private:
    CSumletPropPage();
    ~CSumletPropPage();

    std::atomic<ULONG> references{1};
    QPointer<QWidget> page;
};

// The page's dialog (id 200) as a widget.
class SumletPropPageWidget : public QWidget
{
public:
    explicit SumletPropPageWidget(QWidget *parent);
};

} // namespace sumlet
