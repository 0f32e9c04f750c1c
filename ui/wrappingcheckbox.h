#pragma once

#include <QCheckBox>

// A check box whose text wraps onto further lines within its width, so that a
// long caption fits a narrow frame and still reads as the box's own text.
class WrappingCheckBox : public QCheckBox
{
    Q_OBJECT

public:
    using QCheckBox::QCheckBox;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *event) override;
    bool hitButton(const QPoint &pos) const override;

private:
    QRect textRect() const;
};
