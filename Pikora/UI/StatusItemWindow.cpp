#include "Pikora/UI/StatusItemWindow.h"

#include "Pikora/UI/Images.h"
#include "Pikora/UI/PopoverStyle.h"
#include "Pikora/UI/WindowCompositing.h"

#include <QBitmap>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>

StatusItemWindow::StatusItemWindow(QWidget* parent)
    : QWidget(parent,
              Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus)
{
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFixedSize(ButtonSize);
    if (WindowCompositing::isActive()) {
        setAttribute(Qt::WA_TranslucentBackground);
    } else {
        QImage shape(size(), QImage::Format_ARGB32_Premultiplied);
        shape.fill(Qt::transparent);
        QPainter painter(&shape);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::black);
        painter.drawRoundedRect(QRectF(rect()), CornerRadius, CornerRadius);
        painter.end();
        setMask(QBitmap::fromImage(shape.createAlphaMask()));
    }
    setWindowTitle(QStringLiteral("Pikora"));
    setToolTip(QStringLiteral("Pikora"));
    setCursor(Qt::PointingHandCursor);
    placeOnPrimaryScreen();
}

void StatusItemWindow::placeOnPrimaryScreen()
{
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    move(area.right() + 1 - ScreenMargin - width(), area.top() + ScreenMargin);
}

void StatusItemWindow::setHighlighted(bool highlighted)
{
    if (m_highlighted == highlighted)
        return;
    m_highlighted = highlighted;
    update();
}

void StatusItemWindow::mousePressEvent(QMouseEvent* event)
{
    // The button's own press handling: Control-click is a right click, a plain click toggles.
    const bool control = event->modifiers().testFlag(Qt::ControlModifier);
    if (event->button() == Qt::RightButton || (event->button() == Qt::LeftButton && control)) {
        emit menuRequested(event->globalPosition().toPoint());
    } else if (event->button() == Qt::LeftButton) {
        emit clicked();
    }
    event->accept();
}

void StatusItemWindow::enterEvent(QEnterEvent* event)
{
    m_hovered = true;
    update();
    QWidget::enterEvent(event);
}

void StatusItemWindow::leaveEvent(QEvent* event)
{
    m_hovered = false;
    update();
    QWidget::leaveEvent(event);
}

void StatusItemWindow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor fill = PopoverStyle::backgroundColor();
    if (m_highlighted)
        fill = QColor(0x3d, 0x9b, 0xff);
    else if (m_hovered)
        fill = fill.lighter(125);
    painter.setPen(QPen(m_highlighted ? QColor(0x55, 0xa8, 0xff) : QColor(0x5e, 0x5e, 0x5e), 1.0));
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), CornerRadius, CornerRadius);

    const int side = 20;
    const QPixmap glyph = Images::templatePixmap(QStringLiteral("projector"), QSize(side, side), Qt::white,
                                                 devicePixelRatioF());
    painter.drawPixmap(QPoint((width() - side) / 2, (height() - side) / 2), glyph);
}
