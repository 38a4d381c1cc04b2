#include "Pikora/UI/StatusItem.h"

#include "Pikora/UI/Images.h"
#include "Pikora/UI/StatusItemWindow.h"
#include "Pikora/UI/UiLogging.h"

#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QPalette>
#include <QScreen>

StatusItem::StatusItem(Presentation presentation, QObject* parent)
    : QObject(parent), m_menu(std::make_unique<QMenu>())
{
    m_about = m_menu->addAction(tr("About Pikora"));
    m_menu->addSeparator();
    m_quit = m_menu->addAction(tr("Quit Pikora"));
    connect(m_about, &QAction::triggered, this, &StatusItem::aboutRequested);
    connect(m_quit, &QAction::triggered, this, &StatusItem::quitRequested);

    bool tray = presentation == Presentation::SystemTray;
    if (presentation == Presentation::Automatic)
        tray = QSystemTrayIcon::isSystemTrayAvailable();

    if (tray) {
        // A template image: drawn in the desktop's text colour so it reads on the panel.
        const QColor tint = QApplication::palette().color(QPalette::WindowText);
        m_tray = std::make_unique<QSystemTrayIcon>(Images::templateIcon(QStringLiteral("projector"), tint));
        m_tray->setToolTip(QStringLiteral("Pikora"));
        m_tray->setContextMenu(m_menu.get());
        connect(m_tray.get(), &QSystemTrayIcon::activated, this, &StatusItem::handleTrayActivation);
        m_tray->show();
    } else {
        qCInfo(lcUi) << "no system tray available: showing the status item as a window";
        m_window = std::make_unique<StatusItemWindow>();
        connect(m_window.get(), &StatusItemWindow::clicked, this,
                [this] { handleClick(Qt::NoModifier, QCursor::pos()); });
        connect(m_window.get(), &StatusItemWindow::menuRequested, this, &StatusItem::showMenu);
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            connect(screen, &QScreen::availableGeometryChanged, this, [this] {
                m_window->placeOnPrimaryScreen();
                emit moved();
            });
        }
        m_window->show();
    }
}

StatusItem::~StatusItem() = default;

void StatusItem::handleTrayActivation(QSystemTrayIcon::ActivationReason reason)
{
    // Right clicks (Context) open the context menu by themselves.
    if (reason == QSystemTrayIcon::Trigger)
        handleClick(QGuiApplication::queryKeyboardModifiers(), QCursor::pos());
}

void StatusItem::handleClick(Qt::KeyboardModifiers modifiers, const QPoint& globalPos)
{
    m_lastClick = globalPos;
    if (modifiers.testFlag(Qt::ControlModifier)) {
        showMenu(globalPos);
        return;
    }
    emit toggleRequested();
}

void StatusItem::showMenu(const QPoint& globalPos)
{
    m_menu->popup(globalPos);
}

QRect StatusItem::anchorRect() const
{
    if (m_window)
        return m_window->frameGeometry();
    if (m_tray) {
        const QRect geometry = m_tray->geometry();
        if (geometry.isValid() && !geometry.isEmpty())
            return geometry;
    }
    // A tray that does not tell where its icon is: hang from the last click, else from the
    // top-right corner of the primary screen.
    if (!m_lastClick.isNull())
        return QRect(m_lastClick - QPoint(1, 1), QSize(2, 2));
    QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    return QRect(area.right() - 40, area.top(), 24, 24);
}

void StatusItem::setHighlighted(bool highlighted)
{
    m_highlighted = highlighted;
    if (m_window)
        m_window->setHighlighted(highlighted);
}
