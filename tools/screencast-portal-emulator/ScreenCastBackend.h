#pragma once

#include "PipeWireScreenSource.h"

#include <QDBusContext>
#include <QDBusObjectPath>
#include <QObject>
#include <QVariantMap>
#include <functional>
#include <map>
#include <memory>

// A desktop's screen-cast portal backend (org.freedesktop.impl.portal.ScreenCast), played for
// tests on a private session bus behind the real xdg-desktop-portal. It shares one screen
// (whatever grab() returns) through a PipeWire source, never shows a chooser, and supports
// persistence: Start hands back restore data, and a later SelectSources that brings it back
// is reported as restored instead of chosen. Export it with ExportAllSlots|ExportAllProperties.
class ScreenCastBackend : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.impl.portal.ScreenCast")
    Q_PROPERTY(uint AvailableSourceTypes READ availableSourceTypes)
    Q_PROPERTY(uint AvailableCursorModes READ availableCursorModes)
    Q_PROPERTY(uint version READ version)

public:
    // `grab` returns the screen as BGRx rows and its size; called on the main thread.
    using Grab = std::function<bool(QByteArray& bgrx, QSize& size)>;

    explicit ScreenCastBackend(Grab grab, QObject* parent = nullptr);
    ~ScreenCastBackend() override;

    static void registerTypes();

    uint availableSourceTypes() const { return 1; } // monitors
    // Hidden and embedded; with cursor metadata on, hidden and metadata only.
    uint availableCursorModes() const { return m_cursorMetadata ? 5 : 3; }
    void setCursorMetadata(bool on) { m_cursorMetadata = on; }
    uint version() const { return 4; }

    // Refreshes the picture the running streams send.
    void refresh();

    // For the remote-desktop backend, whose sessions are screen-cast sessions too.
    uint openSession(const QString& path);
    uint startSession(const QString& path, QVariantMap& results);
    // The session's stream node; 0 when the session has no running stream.
    uint nodeOf(const QString& path) const;
    void report(const QString& line) { emit event(line); }

public slots:
    uint CreateSession(const QDBusObjectPath& handle, const QDBusObjectPath& sessionHandle,
                       const QString& appId, const QVariantMap& options, QVariantMap& results);
    uint SelectSources(const QDBusObjectPath& handle, const QDBusObjectPath& sessionHandle,
                       const QString& appId, const QVariantMap& options, QVariantMap& results);
    uint Start(const QDBusObjectPath& handle, const QDBusObjectPath& sessionHandle, const QString& appId,
               const QString& parentWindow, const QVariantMap& options, QVariantMap& results);

signals:
    void event(const QString& line);

private:
    struct Session;
    void closeSession(const QString& path);

    Grab m_grab;
    std::map<QString, std::unique_ptr<Session>> m_sessions;
    int m_chooserShown = 0;
    int m_restored = 0;
    bool m_cursorMetadata = false;
};
