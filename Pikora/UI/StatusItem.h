#pragma once

#include <QObject>
#include <QPoint>
#include <QRect>
#include <QSystemTrayIcon>
#include <memory>

class QAction;
class QMenu;
class StatusItemWindow;

// The application's status item: a system-tray icon drawn from the "projector" template
// image, or, where no tray exists, a small button window at the top-right of the primary
// screen. A plain click asks to toggle the popover; a right click or Control-click opens the
// menu with About and Quit.
class StatusItem : public QObject
{
    Q_OBJECT
public:
    enum class Presentation
    {
        Automatic, // the system tray when one is available, else the window
        SystemTray,
        Window,
    };

    explicit StatusItem(Presentation presentation = Presentation::Automatic, QObject* parent = nullptr);
    ~StatusItem() override;

    bool usesSystemTray() const { return m_tray != nullptr; }
    QSystemTrayIcon* trayIcon() const { return m_tray.get(); }
    StatusItemWindow* window() const { return m_window.get(); }

    // The global rectangle the popover hangs from.
    QRect anchorRect() const;

    // The pressed look while the popover is shown (the window only; a tray icon has none).
    void setHighlighted(bool highlighted);
    bool isHighlighted() const { return m_highlighted; }

    QMenu* menu() const { return m_menu.get(); }
    QAction* aboutAction() const { return m_about; }
    QAction* quitAction() const { return m_quit; }

    // The click handling of the item, also reachable from tests.
    void handleClick(Qt::KeyboardModifiers modifiers, const QPoint& globalPos);
    void showMenu(const QPoint& globalPos);

signals:
    void toggleRequested();
    // The item's place on the screen changed (the window follows the screen's free area).
    void moved();
    void aboutRequested();
    void quitRequested();

private:
    void handleTrayActivation(QSystemTrayIcon::ActivationReason reason);

    std::unique_ptr<QMenu> m_menu;
    QAction* m_about = nullptr;
    QAction* m_quit = nullptr;
    std::unique_ptr<QSystemTrayIcon> m_tray;
    std::unique_ptr<StatusItemWindow> m_window;
    QPoint m_lastClick;
    bool m_highlighted = false;
};
