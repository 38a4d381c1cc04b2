#include "Pikora/UI/PopoverWindow.h"

#include "Pikora/UI/PopoverStyle.h"
#include "Pikora/UI/WindowCompositing.h"

#include <QBitmap>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>

PopoverWindow::PopoverWindow(QWidget* content, Focus focus)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::NoDropShadowWindowHint |
                           (focus == Focus::Keep ? Qt::WindowDoesNotAcceptFocus : Qt::WindowFlags())),
      m_content(content), m_composited(WindowCompositing::isActive())
{
    if (focus == Focus::Keep)
        setAttribute(Qt::WA_ShowWithoutActivating);
    if (m_composited)
        setAttribute(Qt::WA_TranslucentBackground);
    setObjectName(QStringLiteral("popover"));
    setStyleSheet(PopoverStyle::styleSheet());

    m_layout = new QVBoxLayout(this);
    m_layout->setSizeConstraint(QLayout::SetFixedSize); // the window follows its content's size
    m_layout->setSpacing(0);
    if (content) {
        content->setParent(this);
        m_layout->addWidget(content);
        content->show();
    }
    applyArrowEdge(ArrowEdge::Top);
}

PopoverWindow::~PopoverWindow() = default;

QWidget* PopoverWindow::takeContent()
{
    QWidget* content = m_content.data();
    if (content) {
        m_layout->removeWidget(content);
        content->hide();
        content->setParent(nullptr);
    }
    m_content = nullptr;
    return content;
}

void PopoverWindow::applyArrowEdge(ArrowEdge edge)
{
    m_edge = edge;
    const int top = edge == ArrowEdge::Top ? ArrowHeight : 0;
    const int bottom = edge == ArrowEdge::Bottom ? ArrowHeight : 0;
    m_layout->setContentsMargins(0, top, 0, bottom);
    m_layout->activate();
    adjustSize();
}

void PopoverWindow::anchorTo(const QRect& anchor)
{
    m_anchor = anchor;
    QScreen* screen = QGuiApplication::screenAt(anchor.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const QRect area =
        screen ? screen->availableGeometry() : QRect(anchor.center() - QPoint(2000, 2000), QSize(4000, 4000));

    applyArrowEdge(ArrowEdge::Top);
    const QSize size = this->size();
    const bool roomBelow = anchor.bottom() + AnchorGap + size.height() <= area.bottom() - ScreenMargin;
    const bool roomAbove = anchor.top() - AnchorGap - size.height() >= area.top() + ScreenMargin;
    if (!roomBelow && roomAbove)
        applyArrowEdge(ArrowEdge::Bottom);

    const int w = width();
    const int h = height();
    const int minX = area.left() + ScreenMargin;
    const int maxX = std::max(minX, area.right() + 1 - ScreenMargin - w);
    const int x = std::clamp(anchor.center().x() - w / 2, minX, maxX);
    const int y = m_edge == ArrowEdge::Top ? anchor.bottom() + 1 + AnchorGap : anchor.top() - AnchorGap - h;

    const int arrowMin = CornerRadius + ArrowWidth / 2;
    m_arrowX = std::clamp(anchor.center().x() - x, arrowMin, std::max(arrowMin, w - arrowMin));
    m_anchoredSize = QSize(w, h);
    move(x, y);
    updateMask();
    update();
}

QPainterPath PopoverWindow::outline() const
{
    const QRectF all = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QRectF body = all;
    if (m_edge == ArrowEdge::Top)
        body.setTop(all.top() + ArrowHeight);
    else
        body.setBottom(all.bottom() - ArrowHeight);

    QPainterPath path;
    path.addRoundedRect(body, CornerRadius, CornerRadius);
    QPainterPath arrow;
    const qreal half = ArrowWidth / 2.0;
    if (m_edge == ArrowEdge::Top) {
        arrow.moveTo(m_arrowX - half, body.top() + 1);
        arrow.lineTo(m_arrowX, all.top());
        arrow.lineTo(m_arrowX + half, body.top() + 1);
    } else {
        arrow.moveTo(m_arrowX - half, body.bottom() - 1);
        arrow.lineTo(m_arrowX, all.bottom());
        arrow.lineTo(m_arrowX + half, body.bottom() - 1);
    }
    arrow.closeSubpath();
    return path.united(arrow).simplified();
}

void PopoverWindow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QPen border(QColor(0x5e, 0x5e, 0x5e), 1.0);
    if (!m_composited) {
        // The mask cuts the shape out; everything inside it is opaque.
        painter.fillRect(rect(), PopoverStyle::backgroundColor());
        painter.strokePath(outline(), border);
        return;
    }
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(border);
    painter.setBrush(PopoverStyle::backgroundColor());
    painter.drawPath(outline());
}

void PopoverWindow::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    updateMask();
    if (isVisible() && m_anchoredSize.isValid() && event->size() != m_anchoredSize)
        emit frameSizeChanged();
}

void PopoverWindow::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        emit dismissRequested();
        return;
    }
    QWidget::keyPressEvent(event);
}

void PopoverWindow::closeEvent(QCloseEvent* event)
{
    event->ignore();
    emit dismissRequested();
}

void PopoverWindow::updateMask()
{
    if (m_composited)
        return;
    QImage shape(size(), QImage::Format_ARGB32_Premultiplied);
    shape.fill(Qt::transparent);
    {
        QPainter painter(&shape);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::black);
        painter.drawPath(outline().translated(0.5, 0.5));
    }
    setMask(QBitmap::fromImage(shape.createAlphaMask()));
}
