#include "wrappingcheckbox.h"

#include <QPainter>
#include <QStyleOptionButton>
#include <QStylePainter>

QRect WrappingCheckBox::textRect() const
{
    QStyleOptionButton option;
    initStyleOption(&option);
    const int indicator = style()->pixelMetric(QStyle::PM_IndicatorWidth, &option, this);
    const int spacing = style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, &option, this);
    return rect().adjusted(indicator + spacing, 0, 0, 0);
}

QSize WrappingCheckBox::sizeHint() const
{
    const QRect bounds = fontMetrics().boundingRect(QRect(0, 0, textRect().width(), 10000), Qt::TextWordWrap, text());
    return QSize(width(), qMax(bounds.height(), QCheckBox::sizeHint().height()));
}

void WrappingCheckBox::paintEvent(QPaintEvent *)
{
    QStylePainter painter(this);
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text.clear();
    const int indicator = style()->pixelMetric(QStyle::PM_IndicatorHeight, &option, this);
    option.rect.setHeight(qMin(option.rect.height(), fontMetrics().height() + 2));
    option.rect.setTop(option.rect.top() + qMax(0, (fontMetrics().height() - indicator) / 2));
    painter.drawControl(QStyle::CE_CheckBox, option);
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    painter.drawText(textRect(), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, text());
}

bool WrappingCheckBox::hitButton(const QPoint &pos) const
{
    return rect().contains(pos);
}
