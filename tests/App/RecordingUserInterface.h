#pragma once

// A UserInterface that records what the application controller shows and answers modal
// alerts from a script, for tests of the controller.

#include "Pikora/App/UserInterface.h"

#include <QStringList>
#include <functional>
#include <vector>

class RecordingUserInterface : public UserInterface
{
public:
    struct Message
    {
        QString text;
        QString image;
        double dismissAfter = 0; // 0: stays until replaced
    };
    struct Alert
    {
        QString question;
        QString text;
        QString button;
    };

    std::vector<Message> messages;
    std::vector<Alert> alerts;
    int readyCount = 0;
    // Runs while an alert is "open"; the alert closes when it returns.
    std::function<void(const Alert&)> onAlert;

    QString lastMessage() const { return messages.empty() ? QString() : messages.back().text; }
    bool hasMessage(const QString& text) const
    {
        for (const auto& m : messages)
            if (m.text == text)
                return true;
        return false;
    }

    void setActions(Actions) override {}
    void showUserNotification(const QString& message, const QString& image) override
    {
        messages.push_back({message, image, 0});
    }
    void showUserNotification(const QString& message, const QString& image, double dismissAfter) override
    {
        messages.push_back({message, image, dismissAfter});
    }
    void showIsReadyWithAutoDismiss(bool autoDismiss) override
    {
        ++readyCount;
        messages.push_back(
            {QStringLiteral("Pikora is ready"), QStringLiteral("ClickMirror"), autoDismiss ? 3.0 : 0});
    }
    void hostDidDenyProjectionRequest() override { showIsReadyWithAutoDismiss(true); }
    void hidePopover() override {}
    void hideNotificationPopoverIfNeeded() override {}
    void cancelAutoDismissTimer() override {}
    void setDialogTitle(const QString&) override {}
    void setDialogMessage(const QString&) override {}
    void addDialogWithOption(const QString&, DialogOptionBlock) override {}
    void commitDialog() override {}
    void dismissDialog() override {}
    bool showOKAlertWithQuestion(const QString& question, const QString& text) override
    {
        record({question, text, QStringLiteral("OK")});
        return true;
    }
    bool showOKCancelAlertWithQuestion(const QString& question, const QString& text) override
    {
        record({question, text, QStringLiteral("OK")});
        return true;
    }
    void showAlert(const QString& question, const QString& text, const QString& button) override
    {
        record({question, text, button});
    }

private:
    void record(const Alert& alert)
    {
        alerts.push_back(alert);
        if (onAlert)
            onAlert(alert);
    }
};
