#include "Pikora/Platform/DBusPermissionBroker.h"

#include "Pikora/App/AppLogging.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QThread>
#include <utility>

DBusPermissionBroker::DBusPermissionBroker(QString ownBundleIdentifier, AllowQuery isAllow,
                                           QDBusConnection bus, QString senderIdentifier, QObject* parent)
    : QObject(parent), m_ownBundleIdentifier(std::move(ownBundleIdentifier)), m_isAllow(std::move(isAllow)),
      m_bus(std::move(bus)), m_senderIdentifier(std::move(senderIdentifier))
{
    // Requests are answered on the main thread whoever created the broker.
    if (!parent && QCoreApplication::instance() && thread() != QCoreApplication::instance()->thread())
        moveToThread(QCoreApplication::instance()->thread());
}

DBusPermissionBroker::~DBusPermissionBroker()
{
    stop();
}

void DBusPermissionBroker::setAllowQuery(AllowQuery isAllow)
{
    m_isAllow = std::move(isAllow);
}

bool DBusPermissionBroker::start()
{
    if (m_listening)
        return true;
    if (!m_bus.isConnected()) {
        qCWarning(lcPlatform)
            << "session bus not available, application launch permission requests go unanswered:"
            << m_bus.lastError().message();
        return false;
    }
    // QtDBus delivers bus signals only to slots named by signature; this is the one place
    // that needs the string form.
    m_listening = m_bus.connect(QString(), QString::fromLatin1(kObjectPath), QString::fromLatin1(kInterface),
                                QString::fromLatin1(kSignalName), this, SLOT(onPost(QDBusMessage)));
    if (!m_listening)
        qCWarning(lcPlatform) << "could not listen for application launch permission requests:"
                              << m_bus.lastError().message();
    return m_listening;
}

void DBusPermissionBroker::stop()
{
    if (!m_listening)
        return;
    m_bus.disconnect(QString(), QString::fromLatin1(kObjectPath), QString::fromLatin1(kInterface),
                     QString::fromLatin1(kSignalName), this, SLOT(onPost(QDBusMessage)));
    m_listening = false;
}

void DBusPermissionBroker::onPost(const QDBusMessage& message)
{
    // Notifications carry at least a name and an object; anything else is not ours.
    const QList<QVariant> args = message.arguments();
    if (args.size() < 2 || args.at(0).metaType().id() != QMetaType::QString ||
        args.at(1).metaType().id() != QMetaType::QString)
        return;
    if (args.at(1).toString() != m_senderIdentifier)
        return;
    if (args.at(0).toString() != QLatin1String(kRequestName))
        return;

    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, &DBusPermissionBroker::answerRequest, Qt::QueuedConnection);
        return;
    }
    answerRequest();
}

void DBusPermissionBroker::answerRequest()
{
    if (!m_listening)
        return;
    const bool isAllow = m_isAllow ? m_isAllow() : false;
    const bool posted = postNotification(m_bus, QString::fromLatin1(kReplyName), m_ownBundleIdentifier,
                                         {{QString::fromLatin1(kIsAllowKey), isAllow}});
    if (!posted)
        qCWarning(lcPlatform) << "could not post" << kReplyName << ":" << m_bus.lastError().message();
    emit requestAnswered(isAllow, posted);
}

bool DBusPermissionBroker::postNotification(const QDBusConnection& bus, const QString& name,
                                            const QString& object, const QVariantMap& userInfo)
{
    QDBusMessage signal = QDBusMessage::createSignal(
        QString::fromLatin1(kObjectPath), QString::fromLatin1(kInterface), QString::fromLatin1(kSignalName));
    signal << name << object << userInfo;
    return bus.send(signal);
}
