#pragma once

#include "Pikora/Platform/PermissionBroker.h"

#include <QList>
#include <QString>
#include <optional>

// A permission broker for tests: requests are handed in by the test, replies recorded.
class FakePermissionBroker : public PermissionBroker
{
public:
    struct Reply
    {
        QString object;
        bool isAllow = false;
    };

    explicit FakePermissionBroker(QString ownBundleIdentifier = QStringLiteral("com.quorbel.Pikora"));

    // What start() reports, as when the session bus is there or not.
    void setAvailable(bool available) { m_available = available; }
    int startCount() const { return m_startCount; }

    // Delivers a notification as the bus would. Returns the answer when it was a request from
    // the receiver's application that the broker answered, nothing when it was ignored (not
    // listening, another name or another sender object). Call it on the main thread.
    std::optional<bool> deliverNotification(const QString& name, const QString& object);
    // Shorthand for a well-formed request from the receiver's application.
    std::optional<bool> deliverRequest();

    const QList<Reply>& replies() const { return m_replies; }

    void setAllowQuery(AllowQuery isAllow) override { m_isAllow = std::move(isAllow); }
    bool start() override;
    void stop() override { m_listening = false; }
    bool isListening() const override { return m_listening; }

private:
    QString m_ownBundleIdentifier;
    AllowQuery m_isAllow;
    bool m_available = true;
    bool m_listening = false;
    int m_startCount = 0;
    QList<Reply> m_replies;
};
