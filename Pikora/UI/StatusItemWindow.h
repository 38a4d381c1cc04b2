#pragma once

#include <QWidget>

// The status item where no system tray exists: a small frameless button window that stays on
// top at the top-right corner of the primary screen and shows the "projector" image.
class StatusItemWindow : public QWidget
{
    Q_OBJECT
public:
    static constexpr QSize ButtonSize{40, 28};
    static constexpr int ScreenMargin = 8;
    static constexpr int CornerRadius = 7;

    explicit StatusItemWindow(QWidget* parent = nullptr);

    void setHighlighted(bool highlighted);
    bool isHighlighted() const { return m_highlighted; }

    // Moves the window to the top-right corner of the primary screen's free area.
    void placeOnPrimaryScreen();

signals:
    // A plain left click.
    void clicked();
    // A right click, or a left click with Control held.
    void menuRequested(const QPoint& globalPos);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    bool m_highlighted = false;
    bool m_hovered = false;
};
