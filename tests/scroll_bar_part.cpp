#include "scroll_bar_part.h"

#include <QScrollBar>
#include <QStyleOptionSlider>

namespace servo::test {

namespace {
    QStyleOptionSlider Option(QScrollBar* bar)
    {
        QStyleOptionSlider opt;
        opt.initFrom(bar);
        opt.subControls = QStyle::SC_All;
        opt.activeSubControls = QStyle::SC_None;
        opt.orientation = bar->orientation();
        if (bar->orientation() == Qt::Horizontal)
            opt.state |= QStyle::State_Horizontal;
        opt.minimum = bar->minimum();
        opt.maximum = bar->maximum();
        opt.sliderPosition = bar->sliderPosition();
        opt.sliderValue = bar->value();
        opt.singleStep = bar->singleStep();
        opt.pageStep = bar->pageStep();
        opt.upsideDown = bar->invertedAppearance();
        return opt;
    }
} // namespace

QRect ScrollBarPart(QScrollBar* bar, QStyle::SubControl part)
{
    const QStyleOptionSlider opt = Option(bar);
    return bar->style()->subControlRect(QStyle::CC_ScrollBar, &opt, part, bar);
}

QStyle::SubControl ScrollBarPartAt(QScrollBar* bar, QPoint at)
{
    const QStyleOptionSlider opt = Option(bar);
    return bar->style()->hitTestComplexControl(QStyle::CC_ScrollBar, &opt, at, bar);
}

} // namespace servo::test
