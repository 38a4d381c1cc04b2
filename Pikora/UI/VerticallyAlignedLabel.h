#pragma once

#include <QLabel>

class QTextLayout;

// A word-wrapping label that centres its text block vertically. The block's laid-out height
// is measured (not the font's line height), so one line and several lines are both centred;
// text as tall as the label or taller starts at the top and its last visible line is elided.
class VerticallyAlignedLabel : public QLabel
{
    Q_OBJECT
public:
    explicit VerticallyAlignedLabel(QWidget* parent = nullptr);

    // Where a text block of `textHeight` is drawn inside `bounds`.
    static QRect titleRect(const QRect& bounds, int textHeight);

    // The rectangle this label's current text is drawn in, for the given bounds.
    QRect titleRectForBounds(const QRect& bounds) const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // Lays the text out to `width`; returns the block's height.
    int layoutText(QTextLayout& layout, int width) const;
};
