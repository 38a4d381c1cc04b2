#include "Pikora/UI/VerticallyAlignedLabel.h"

#include <QPainter>
#include <QTextLayout>
#include <QTextOption>
#include <cmath>

VerticallyAlignedLabel::VerticallyAlignedLabel(QWidget* parent) : QLabel(parent)
{
    setWordWrap(true);
    setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

QRect VerticallyAlignedLabel::titleRect(const QRect& bounds, int textHeight)
{
    if (textHeight >= bounds.height())
        return bounds;
    QRect rect = bounds;
    rect.setTop(bounds.top() + (bounds.height() - textHeight) / 2);
    rect.setHeight(textHeight);
    return rect;
}

int VerticallyAlignedLabel::layoutText(QTextLayout& layout, int width) const
{
    QTextOption option(alignment() & Qt::AlignHorizontal_Mask);
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setText(text());
    layout.setFont(font());
    layout.setTextOption(option);
    layout.beginLayout();
    qreal y = 0;
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(width);
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    layout.endLayout();
    return static_cast<int>(std::ceil(y));
}

QRect VerticallyAlignedLabel::titleRectForBounds(const QRect& bounds) const
{
    if (text().isEmpty())
        return titleRect(bounds, 0);
    QTextLayout layout;
    return titleRect(bounds, layoutText(layout, bounds.width()));
}

void VerticallyAlignedLabel::paintEvent(QPaintEvent*)
{
    const QRect bounds = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    if (text().isEmpty() || bounds.isEmpty())
        return;

    QTextLayout layout;
    const int height = layoutText(layout, bounds.width());
    const QRect rect = titleRect(bounds, height);

    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    painter.setClipRect(bounds);
    for (int i = 0; i < layout.lineCount(); ++i) {
        const QTextLine line = layout.lineAt(i);
        const qreal top = rect.top() + line.y();
        const bool lastVisible = i + 1 == layout.lineCount() ||
                                 top + line.height() + layout.lineAt(i + 1).height() > bounds.bottom() + 1;
        if (lastVisible && i + 1 < layout.lineCount()) {
            // Cut here: the rest of the text does not fit.
            const QString rest = text().mid(line.textStart());
            const QString elided =
                fontMetrics().elidedText(rest.simplified(), Qt::ElideRight, bounds.width());
            const Qt::Alignment h = alignment() & Qt::AlignHorizontal_Mask;
            painter.drawText(QRectF(bounds.left(), top, bounds.width(), line.height()), int(h | Qt::AlignTop),
                             elided);
            break;
        }
        line.draw(&painter, QPointF(rect.left(), rect.top()));
    }
}
