#pragma once

// What the application controller shows the user: popover messages, the option-dialog
// builder and modal alerts. The widget implementation lives in PikoraUI; tests use a
// recording fake. Every operation is called on the main thread unless it says otherwise.

#include <QString>
#include <functional>

class UserInterface
{
public:
    // Runs with the caption of the option button that was pressed.
    using DialogOptionBlock = std::function<void(const QString& option)>;

    // What the status item's menu and the notification view ask the controller to do.
    struct Actions
    {
        std::function<void()> about;
        std::function<void()> quit;
        std::function<void()> pair; // the notification view's "Device Pairing" button
    };

    virtual ~UserInterface() = default;

    virtual void setActions(Actions actions) = 0;

    // Popover messages. `imageName` names a bundled image ("ClickMirror"); empty for none.
    // Both hop to the main thread, so they may be called from any thread.
    virtual void showUserNotification(const QString& message, const QString& imageName) = 0;
    virtual void showUserNotification(const QString& message, const QString& imageName,
                                      double dismissAfterSeconds) = 0;
    virtual void showIsReadyWithAutoDismiss(bool autoDismiss) = 0;
    virtual void hostDidDenyProjectionRequest() = 0;
    virtual void hidePopover() = 0;
    virtual void hideNotificationPopoverIfNeeded() = 0;
    virtual void cancelAutoDismissTimer() = 0;

    // The option-dialog builder: title and message persist across commits, options are
    // consumed by commitDialog().
    virtual void setDialogTitle(const QString& title) = 0;
    virtual void setDialogMessage(const QString& message) = 0;
    virtual void addDialogWithOption(const QString& option, DialogOptionBlock block) = 0;
    virtual void commitDialog() = 0;
    virtual void dismissDialog() = 0;

    // Modal alerts; true when "OK" was pressed.
    virtual bool showOKAlertWithQuestion(const QString& question, const QString& text) = 0;
    virtual bool showOKCancelAlertWithQuestion(const QString& question, const QString& text) = 0;
    // A modal alert with one button of the given caption; returns when it is closed.
    virtual void showAlert(const QString& question, const QString& text, const QString& button)
    {
        (void)button;
        showOKAlertWithQuestion(question, text);
    }
    // The standard About panel: application name, version and build.
    virtual void showAbout() {}
};
