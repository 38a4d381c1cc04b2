#include "Pikora/UI/PopoverUserInterface.h"

#include "Pikora/UI/AboutPanel.h"
#include "Pikora/UI/Dialog.h"
#include "Pikora/UI/Images.h"
#include "Pikora/UI/MessageBoxAlertPresenter.h"
#include "Pikora/UI/NotificationViewController.h"
#include "Pikora/UI/PopoverWindow.h"
#include "Pikora/UI/UiLogging.h"
#include "Support/DispatchQueue.h"
#include "Support/UserDefaults.h"

#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <limits>

PopoverUserInterface::PopoverUserInterface(QObject* parent) : PopoverUserInterface(Options{}, parent) {}

PopoverUserInterface::PopoverUserInterface(Options options, QObject* parent)
    : QObject(parent), m_defaults(options.defaults),
      m_alerts(options.alerts ? std::move(options.alerts) : std::make_unique<MessageBoxAlertPresenter>()),
      m_timeScale(options.timeScale > 0 ? options.timeScale : 1.0),
      m_statusItem(std::make_unique<StatusItem>(options.statusItem))
{
    connect(m_statusItem.get(), &StatusItem::toggleRequested, this, &PopoverUserInterface::toggle);
    connect(m_statusItem.get(), &StatusItem::moved, this, &PopoverUserInterface::handlePopoverFrameChange);
    connect(m_statusItem.get(), &StatusItem::aboutRequested, this, [this] {
        if (m_actions.about)
            m_actions.about();
    });
    connect(m_statusItem.get(), &StatusItem::quitRequested, this, [this] {
        if (m_actions.quit)
            m_actions.quit();
    });

    m_notification = new NotificationViewController(this);
    m_notification->setMessage(QStringLiteral("Pikora"));
    m_notification->setPairAction([this] {
        if (m_actions.pair)
            m_actions.pair();
    });
}

PopoverUserInterface::~PopoverUserInterface()
{
    if (m_window) {
        m_window->takeContent();
        delete m_window.data();
    }
}

void PopoverUserInterface::setActions(Actions actions)
{
    m_actions = std::move(actions);
}

void PopoverUserInterface::setPairingEnvironment(PairViewController::Environment environment)
{
    m_notification->setPairingEnvironment(std::move(environment));
}

UserDefaults& PopoverUserInterface::defaults() const
{
    // Resolved on first use, so the --settings file may be chosen after construction.
    return m_defaults ? *m_defaults : UserDefaults::standard();
}

// Popover ---------------------------------------------------------------------------------

bool PopoverUserInterface::isPopoverShown() const
{
    return m_window && m_window->isVisible();
}

Dialog* PopoverUserInterface::dialog() const
{
    return qobject_cast<Dialog*>(m_content.data());
}

void PopoverUserInterface::setContent(ViewController* content)
{
    ViewController* previous = m_content.data();
    m_content = content;
    // The notification view lives for the process; a dialog lives while it is the content.
    // It goes later, not now: the button whose action replaced it may still be running.
    if (previous && previous != content && previous != m_notification)
        previous->deleteLater();
}

void PopoverUserInterface::showPopover(ViewController* content, PopoverWindow::Focus focus)
{
    if (!content)
        return;
    if (m_window)
        closeWindow(); // replaced right away: no popoverHidden()
    m_statusItem->setHighlighted(true);

    setContent(content);
    auto* window = new PopoverWindow(content->view(), focus);
    m_window = window;
    connect(window, &PopoverWindow::frameSizeChanged, this, &PopoverUserInterface::handlePopoverFrameChange,
            Qt::QueuedConnection);
    connect(window, &PopoverWindow::dismissRequested, this, &PopoverUserInterface::hidePopover,
            Qt::QueuedConnection);
    window->anchorTo(m_statusItem->anchorRect());
    window->show();
    window->raise();
    if (focus == PopoverWindow::Focus::Take)
        window->activateWindow();
    emit popoverShown();
}

void PopoverUserInterface::hidePopover()
{
    if (!m_window)
        return;
    const bool wasShown = m_window->isVisible();
    closeWindow();
    if (wasShown)
        emit popoverHidden();
}

void PopoverUserInterface::closeWindow()
{
    m_statusItem->setHighlighted(false);
    PopoverWindow* window = m_window.data();
    m_window = nullptr;
    disconnect(window, nullptr, this, nullptr);
    window->takeContent(); // the content outlives its window
    window->hide();
    window->deleteLater();
}

void PopoverUserInterface::toggle()
{
    if (isPopoverShown()) {
        hidePopover();
        return;
    }
    showPopover(m_content ? m_content.data() : m_notification, PopoverWindow::Focus::Take);
}

void PopoverUserInterface::handlePopoverFrameChange()
{
    if (isPopoverShown())
        m_window->anchorTo(m_statusItem->anchorRect());
}

// Messages --------------------------------------------------------------------------------

void PopoverUserInterface::presentNotification(const QString& message, const QString& imageName)
{
    // What the user was told, for diagnostics: the popover leaves no other trace.
    qCInfo(lcUi).noquote() << "notification:" << message;
    m_notification->setMessage(message);
    m_notification->setImage(Images::named(imageName));
    showPopover(m_notification);
}

void PopoverUserInterface::showUserNotification(const QString& message, const QString& imageName)
{
    QPointer<PopoverUserInterface> self(this);
    mainQueue().async([self, message, imageName] {
        if (self)
            self->presentNotification(message, imageName);
    });
}

void PopoverUserInterface::showUserNotification(const QString& message, const QString& imageName,
                                                double dismissAfterSeconds)
{
    // Message and timer go to the main thread together: a timer started on a caller's
    // thread would depend on that thread running an event loop.
    QPointer<PopoverUserInterface> self(this);
    mainQueue().async([self, message, imageName, dismissAfterSeconds] {
        if (!self)
            return;
        self->presentNotification(message, imageName);
        self->cancelAutoDismissTimer();
        self->startAutoDismissTimer(dismissAfterSeconds);
    });
}

void PopoverUserInterface::startAutoDismissTimer(double seconds)
{
    if (!std::isfinite(seconds) || seconds < 0)
        seconds = 0;
    const double ms = std::min(seconds * 1000.0 * m_timeScale, double(std::numeric_limits<int>::max()));
    auto* timer = new QTimer(this);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(static_cast<int>(std::lround(ms)));
    connect(timer, &QTimer::timeout, this, &PopoverUserInterface::hideNotificationPopoverIfNeeded);
    m_dismissTimer = timer;
    timer->start();
}

void PopoverUserInterface::cancelAutoDismissTimer()
{
    if (m_dismissTimer) {
        m_dismissTimer->stop();
        m_dismissTimer->deleteLater();
    }
    m_dismissTimer = nullptr;
}

void PopoverUserInterface::hideNotificationPopoverIfNeeded()
{
    QPointer<PopoverUserInterface> self(this);
    mainQueue().async([self] {
        if (!self || !self->isPopoverShown() || self->m_content != self->m_notification)
            return; // a dialog shown meanwhile stays
        qCInfo(lcUi).noquote() << "hideNotificationPopoverIfNeeded:" << self->m_notification->description()
                               << self->m_notification->message();
        self->hidePopover();
    });
}

void PopoverUserInterface::showIsReadyWithAutoDismiss(bool autoDismiss)
{
    const QString message = tr("Pikora is ready");
    const QString image = QStringLiteral("ClickMirror");
    if (autoDismiss)
        showUserNotification(message, image, NotificationDuration);
    else
        showUserNotification(message, image);
}

void PopoverUserInterface::hostDidDenyProjectionRequest()
{
    showIsReadyWithAutoDismiss(true);
}

// Option dialog ---------------------------------------------------------------------------

void PopoverUserInterface::setDialogTitle(const QString& title)
{
    m_builder.setTitle(title);
}

void PopoverUserInterface::setDialogMessage(const QString& message)
{
    m_builder.setMessage(message);
}

void PopoverUserInterface::addDialogWithOption(const QString& option, DialogOptionBlock block)
{
    m_builder.addOption(option, std::move(block));
}

void PopoverUserInterface::commitDialog()
{
    showDialog(m_builder.title(), m_builder.message(), m_builder.buttons(), m_builder.options());
    m_builder.clearOptions();
}

void PopoverUserInterface::showDialog(const QString& title, const QString& message,
                                      const QStringList& buttons, const Dialog::OptionActions& options)
{
    if (isPopoverShown()) {
        if (Dialog* visible = dialog()) {
            visible->setup(title, message, buttons, options);
            logDialog(visible, title, buttons);
            return;
        }
    }
    auto* fresh = new Dialog(defaults(), this);
    fresh->setup(title, message, buttons, options);
    showPopover(fresh);
    logDialog(fresh, title, buttons);
}

void PopoverUserInterface::logDialog(Dialog* dialog, const QString& title, const QStringList& buttons)
{
    qCInfo(lcUi).noquote() << "dialog:" << title << "options:" << buttons.join(QStringLiteral(" | "));
    if (!lcUi().isDebugEnabled())
        return;
    // Once the popover has been laid out and placed.
    QTimer::singleShot(0, dialog, [dialog, count = int(buttons.size())] {
        for (QPushButton* button : dialog->buttons(count)) {
            if (!button->isVisible())
                continue;
            const QPoint centre = button->mapToGlobal(button->rect().center());
            qCDebug(lcUi).noquote() << QStringLiteral("dialog option \"%1\" at %2 %3")
                                           .arg(button->text())
                                           .arg(centre.x())
                                           .arg(centre.y());
        }
    });
}

void PopoverUserInterface::dismissDialog()
{
    hidePopover();
    setContent(nullptr);
}

// Alerts ----------------------------------------------------------------------------------

bool PopoverUserInterface::showOKAlertWithQuestion(const QString& question, const QString& text)
{
    return m_alerts->runModal(question, text, {tr("OK")}) == 0;
}

bool PopoverUserInterface::showOKCancelAlertWithQuestion(const QString& question, const QString& text)
{
    return m_alerts->runModal(question, text, {tr("OK"), tr("Cancel")}) == 0;
}

void PopoverUserInterface::showAlert(const QString& question, const QString& text, const QString& button)
{
    m_alerts->runModal(question, text, {button});
}

void PopoverUserInterface::showAbout()
{
    if (!m_about)
        m_about = std::make_unique<AboutPanel>();
    m_about->present();
}
