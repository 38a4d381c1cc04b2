#include "RemoteDesktopBackend.h"

#include "ScreenCastBackend.h"

RemoteDesktopBackend::RemoteDesktopBackend(ScreenCastBackend* backend)
    : QDBusAbstractAdaptor(backend), m_backend(backend)
{
}

uint RemoteDesktopBackend::CreateSession(const QDBusObjectPath&, const QDBusObjectPath& sessionHandle,
                                         const QString&, const QVariantMap&, QVariantMap& results)
{
    const uint response = m_backend->openSession(sessionHandle.path());
    if (response == 0) {
        results.insert(QStringLiteral("session_id"), sessionHandle.path());
        m_backend->report(QStringLiteral("remote desktop session %1").arg(sessionHandle.path()));
    }
    return response;
}

uint RemoteDesktopBackend::SelectDevices(const QDBusObjectPath&, const QDBusObjectPath& sessionHandle,
                                         const QString&, const QVariantMap& options, QVariantMap&)
{
    const uint types = options.value(QStringLiteral("types")).toUInt();
    m_backend->report(QStringLiteral("select devices %1 on %2").arg(types).arg(sessionHandle.path()));
    return 0;
}

uint RemoteDesktopBackend::Start(const QDBusObjectPath&, const QDBusObjectPath& sessionHandle, const QString&,
                                 const QString&, const QVariantMap&, QVariantMap& results)
{
    const uint response = m_backend->startSession(sessionHandle.path(), results);
    if (response == 0) {
        results.insert(QStringLiteral("devices"), QVariant::fromValue<uint>(availableDeviceTypes()));
        m_backend->report(QStringLiteral("remote desktop started: pointer granted"));
    }
    return response;
}

QString RemoteDesktopBackend::streamNote(const QString& session, uint stream) const
{
    const uint node = m_backend->nodeOf(session);
    return node != 0 && node == stream ? QStringLiteral("the session's stream")
                                       : QStringLiteral("a foreign stream (session's %1)").arg(node);
}

void RemoteDesktopBackend::NotifyPointerMotion(const QDBusObjectPath&, const QVariantMap&, double dx,
                                               double dy)
{
    m_backend->report(
        QStringLiteral("pointer relative motion %1,%2 (event %3)").arg(dx).arg(dy).arg(++m_events));
}

void RemoteDesktopBackend::NotifyPointerMotionAbsolute(const QDBusObjectPath& sessionHandle,
                                                       const QVariantMap&, uint stream, double x, double y)
{
    m_backend->report(QStringLiteral("pointer motion %1,%2 on stream %3, %4 (event %5)")
                          .arg(x)
                          .arg(y)
                          .arg(stream)
                          .arg(streamNote(sessionHandle.path(), stream))
                          .arg(++m_events));
}

void RemoteDesktopBackend::NotifyPointerButton(const QDBusObjectPath&, const QVariantMap&, int button,
                                               uint state)
{
    m_backend->report(QStringLiteral("pointer button 0x%1 %2 (event %3)")
                          .arg(button, 0, 16)
                          .arg(state ? QStringLiteral("pressed") : QStringLiteral("released"))
                          .arg(++m_events));
}
