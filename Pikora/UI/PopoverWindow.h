#pragma once

#include <QPainterPath>
#include <QPointer>
#include <QRect>
#include <QWidget>

class QVBoxLayout;

// The popover's window: frameless, on top, painted in the popover colour with rounded
// corners and an arrow that points at the status item. It shows one content view, which it
// takes as a child and gives back with takeContent(); it never deletes a content it still
// holds when the controller takes it back first.
class PopoverWindow : public QWidget
{
    Q_OBJECT
public:
    static constexpr int ArrowHeight = 9;
    static constexpr int ArrowWidth = 20;
    static constexpr int CornerRadius = 10;
    static constexpr int AnchorGap = 2;    // between the status item and the arrow's tip
    static constexpr int ScreenMargin = 6; // kept free at the screen's edges

    enum class ArrowEdge
    {
        Top,
        Bottom
    };

    // Whether showing the window may take the keyboard focus from the application the user is
    // typing in. The popover takes it only when the user opened it (then Escape closes it);
    // notices and dialogs that Pikora shows by itself never do: their buttons work by click.
    enum class Focus
    {
        Keep,
        Take
    };
    explicit PopoverWindow(QWidget* content, Focus focus = Focus::Keep);
    ~PopoverWindow() override;

    QWidget* content() const { return m_content; }
    // Removes the content view from the window (hidden, without parent) and returns it.
    QWidget* takeContent();

    // Places the window so that its arrow points at `anchor` (global coordinates): below the
    // anchor when there is room on its screen, above it otherwise, kept inside the screen.
    void anchorTo(const QRect& anchor);
    QRect anchor() const { return m_anchor; }
    ArrowEdge arrowEdge() const { return m_edge; }
    // The arrow tip's x in window coordinates.
    int arrowX() const { return m_arrowX; }

    // The outline of the popover (body and arrow) in window coordinates.
    QPainterPath outline() const;

signals:
    // The window's size changed while it was shown (its content grew or shrank), so it no
    // longer hangs where it was anchored.
    void frameSizeChanged();
    // Escape was pressed in the popover, or something asked its window to close.
    void dismissRequested();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    // The controller closes the popover, so that what it holds stays consistent.
    void closeEvent(QCloseEvent* event) override;

private:
    void applyArrowEdge(ArrowEdge edge);
    void updateMask();

    QVBoxLayout* m_layout = nullptr;
    QPointer<QWidget> m_content;
    QRect m_anchor;
    QSize m_anchoredSize;
    ArrowEdge m_edge = ArrowEdge::Top;
    int m_arrowX = 0;
    // With compositing the window is see-through around its shape; without, a mask cuts it.
    bool m_composited = true;
};
