#pragma once

#include "Pikora/App/UserInterface.h"
#include "Pikora/UI/AlertPresenter.h"
#include "Pikora/UI/DialogBuilder.h"
#include "Pikora/UI/PairViewController.h"
#include "Pikora/UI/PopoverWindow.h"
#include "Pikora/UI/StatusItem.h"
#include "Pikora/UI/ViewController.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <memory>

class AboutPanel;
class Dialog;
class NotificationViewController;
class UserDefaults;

// The application's whole user interface: the status item, the popover hanging from it
// (showing the notification view or an option dialog), the option-dialog builder and the
// modal alerts. Lives on the main thread; only the two showUserNotification() overloads may
// be called from other threads.
class PopoverUserInterface : public QObject, public UserInterface
{
    Q_OBJECT
public:
    // Auto-dismiss time of the "is ready" message, in seconds.
    static constexpr double NotificationDuration = 3.0;

    struct Options
    {
        // Where the dialog's switches keep the host-control preferences; nullptr means
        // UserDefaults::standard(), looked up when the first dialog is built. Must outlive
        // the interface.
        UserDefaults* defaults = nullptr;
        // Runs the modal alerts; nullptr means message boxes.
        std::unique_ptr<AlertPresenter> alerts;
        StatusItem::Presentation statusItem = StatusItem::Presentation::Automatic;
        // Multiplies every auto-dismiss delay (tests run the real timers faster).
        double timeScale = 1.0;
    };

    explicit PopoverUserInterface(QObject* parent = nullptr);
    explicit PopoverUserInterface(Options options, QObject* parent = nullptr);
    ~PopoverUserInterface() override;

    // What the "Device Pairing" button's window pairs through (see PairViewController).
    void setPairingEnvironment(PairViewController::Environment environment);

    // UserInterface
    void setActions(Actions actions) override;
    void showUserNotification(const QString& message, const QString& imageName) override;
    void showUserNotification(const QString& message, const QString& imageName,
                              double dismissAfterSeconds) override;
    void showIsReadyWithAutoDismiss(bool autoDismiss) override;
    void hostDidDenyProjectionRequest() override;
    void hidePopover() override;
    void hideNotificationPopoverIfNeeded() override;
    void cancelAutoDismissTimer() override;
    void setDialogTitle(const QString& title) override;
    void setDialogMessage(const QString& message) override;
    void addDialogWithOption(const QString& option, DialogOptionBlock block) override;
    void commitDialog() override;
    void dismissDialog() override;
    bool showOKAlertWithQuestion(const QString& question, const QString& text) override;
    bool showOKCancelAlertWithQuestion(const QString& question, const QString& text) override;
    void showAlert(const QString& question, const QString& text, const QString& button) override;
    void showAbout() override;

    // The popover.
    // Hides the popover if shown; otherwise shows its current content, or the notification
    // view when it has none. A plain click on the status item does this.
    void toggle();
    // Shows the popover, freshly anchored at the status item, with `content`. Only a popover
    // the user asked for (a click on the status item) takes the keyboard focus.
    void showPopover(ViewController* content, PopoverWindow::Focus focus = PopoverWindow::Focus::Keep);
    // Re-anchors a shown popover at the status item (after its size or the item's place
    // changed).
    void handlePopoverFrameChange();

    bool isPopoverShown() const;
    // What the popover shows, or showed last and will show again on toggle(); nullptr after
    // dismissDialog().
    ViewController* popoverContent() const { return m_content; }
    Dialog* dialog() const;
    PopoverWindow* popoverWindow() const { return m_window; }
    NotificationViewController* notificationViewController() const { return m_notification; }
    StatusItem* statusItem() const { return m_statusItem.get(); }
    UserDefaults& defaults() const;
    // The About panel once it has been shown, else nullptr.
    AboutPanel* aboutPanel() const { return m_about.get(); }

signals:
    void popoverShown();
    // The popover closed (not emitted when a show replaces the shown popover).
    void popoverHidden();

private:
    void presentNotification(const QString& message, const QString& imageName);
    void startAutoDismissTimer(double seconds);
    void setContent(ViewController* content);
    void closeWindow();
    void showDialog(const QString& title, const QString& message, const QStringList& buttons,
                    const Dialog::OptionActions& options);
    // Diagnostics: the dialog's title and options; with debug output of "pikora.ui" on, where
    // each option's button lies on the screen (what a test clicks).
    void logDialog(Dialog* dialog, const QString& title, const QStringList& buttons);

    UserDefaults* m_defaults = nullptr;
    std::unique_ptr<AlertPresenter> m_alerts;
    double m_timeScale = 1.0;
    Actions m_actions;
    std::unique_ptr<StatusItem> m_statusItem;
    NotificationViewController* m_notification = nullptr;
    QPointer<ViewController> m_content;
    QPointer<PopoverWindow> m_window;
    QPointer<QTimer> m_dismissTimer;
    DialogBuilder m_builder;
    std::unique_ptr<AboutPanel> m_about;
};
