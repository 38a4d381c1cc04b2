#pragma once

#include "Pikora/Platform/PermissionBroker.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>

class QDBusMessage;

// The permission protocol over the D-Bus session bus, which stands in for a desktop-wide
// notification centre (see docs/dbus-notifications.md): every notification is the signal
//
//   path /com/tamsic/DistributedNotification
//   interface com.tamsic.DistributedNotification
//   signal Post(s name, s object, a{sv} userInfo)
//
// sent without a destination. The broker lives on the main thread; D-Bus delivers to it
// there, and anything reaching it on another thread is moved there before the AllowQuery is
// asked.
class DBusPermissionBroker : public QObject, public PermissionBroker
{
    Q_OBJECT
public:
    static constexpr char kObjectPath[] = "/com/tamsic/DistributedNotification";
    static constexpr char kInterface[] = "com.tamsic.DistributedNotification";
    static constexpr char kSignalName[] = "Post";

    // `ownBundleIdentifier` is the object of our replies; `senderIdentifier` the object whose
    // requests we answer.
    explicit DBusPermissionBroker(
        QString ownBundleIdentifier, AllowQuery isAllow = {},
        QDBusConnection bus = QDBusConnection::sessionBus(),
        QString senderIdentifier = QString::fromLatin1(kReceiverApplicationIdentifier),
        QObject* parent = nullptr);
    ~DBusPermissionBroker() override;

    void setAllowQuery(AllowQuery isAllow) override;
    bool start() override;
    void stop() override;
    bool isListening() const override { return m_listening; }

    // Posts one notification on `bus` in the shape above; false when the bus refused it.
    static bool postNotification(const QDBusConnection& bus, const QString& name, const QString& object,
                                 const QVariantMap& userInfo = {});

signals:
    // After each reply was posted (or failed to be), with the answer given.
    void requestAnswered(bool isAllow, bool posted);

private slots:
    void onPost(const QDBusMessage& message);

private:
    void answerRequest();

    QString m_ownBundleIdentifier;
    AllowQuery m_isAllow;
    QDBusConnection m_bus;
    QString m_senderIdentifier;
    bool m_listening = false;
};
