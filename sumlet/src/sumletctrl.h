#pragma once

#include <sumlet/sumlet.h>

#include <QPointer>
#include <QWidget>

#include <atomic>

class QPainter;
class QRect;

namespace sumlet {

// The Sumlet control: the dispatch interface _DSumlet plus what a form designer
// uses (verbs, design-time drawing, property pages). It keeps no state between
// calls; every method is a pure function of its arguments.
class CSumletCtrl final
    : public IDispatch
    , public IOleObject
    , public IViewObject
    , public ISpecifyPropertyPages
{
public:
    static HRESULT create(const GUID &iid, void **object);

    // The methods of _DSumlet.
    static std::int32_t CrcCalc(const BSTR &data, std::int16_t len);
    static std::int16_t Xor(std::int16_t byte1, std::int16_t byte2);
    static std::int16_t Not(std::int16_t byte);
    static std::int16_t And(std::int16_t byte1, std::int16_t byte2);
    static HRESULT AboutBox();

    // White fill, then an ellipse inscribed in bounds with the painter's pen and brush.
    static void OnDraw(QPainter &painter, const QRect &bounds);

    HRESULT QueryInterface(const GUID &iid, void **object) override;
    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT GetIDsOfNames(const char *name, DISPID *dispid) override;
    HRESULT Invoke(DISPID dispid, const DISPPARAMS &params, VARIANT *result, std::uint32_t *argError) override;

    HRESULT DoVerb(std::int32_t verb, void *parentWidget) override;
    HRESULT GetMiscStatus(std::uint32_t *status) override;

    HRESULT Draw(void *painter, const RECT &bounds) override;

    HRESULT GetPages(GUID *pages, std::uint32_t capacity, std::uint32_t *count) override;

private:
    CSumletCtrl();
    ~CSumletCtrl();

    HRESULT showPropertyFrame(QWidget *parent);

    std::atomic<ULONG> references{1};
    QPointer<QWidget> designView;
};

// The picture a form designer shows for the control; it fills its parent.
class SumletDesignView : public QWidget
{
public:
    explicit SumletDesignView(QWidget *parent);

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
};

// Widgets need a QApplication and its thread.
bool widgetsAvailable();

} // namespace sumlet
