#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusObjectPath>
#include <QVariantMap>

class ScreenCastBackend;

// The remote-desktop side of the test portal backend (org.freedesktop.impl.portal.RemoteDesktop),
// an adaptor on the screen-cast backend's object: its sessions are the screen-cast backend's
// sessions, so the frontend can select sources on them and Start hands back their stream. It
// offers the pointer only, grants it without asking, and records every pointer event in the
// backend's log ("pointer motion ...", "pointer button ...") with whether it named the session's
// own stream, so a test can check what reached the desktop.
class RemoteDesktopBackend : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.impl.portal.RemoteDesktop")
    Q_PROPERTY(uint AvailableDeviceTypes READ availableDeviceTypes)
    Q_PROPERTY(uint version READ version)

public:
    explicit RemoteDesktopBackend(ScreenCastBackend* backend);

    uint availableDeviceTypes() const { return 2; } // pointer
    uint version() const { return 1; }

public slots:
    uint CreateSession(const QDBusObjectPath& handle, const QDBusObjectPath& sessionHandle,
                       const QString& appId, const QVariantMap& options, QVariantMap& results);
    uint SelectDevices(const QDBusObjectPath& handle, const QDBusObjectPath& sessionHandle,
                       const QString& appId, const QVariantMap& options, QVariantMap& results);
    uint Start(const QDBusObjectPath& handle, const QDBusObjectPath& sessionHandle, const QString& appId,
               const QString& parentWindow, const QVariantMap& options, QVariantMap& results);
    void NotifyPointerMotion(const QDBusObjectPath& sessionHandle, const QVariantMap& options, double dx,
                             double dy);
    void NotifyPointerMotionAbsolute(const QDBusObjectPath& sessionHandle, const QVariantMap& options,
                                     uint stream, double x, double y);
    void NotifyPointerButton(const QDBusObjectPath& sessionHandle, const QVariantMap& options, int button,
                             uint state);

private:
    QString streamNote(const QString& session, uint stream) const;

    ScreenCastBackend* m_backend;
    int m_events = 0;
};
