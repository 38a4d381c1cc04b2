#pragma once

#include <QDBusContext>
#include <QObject>
#include <QString>
#include <map>

// org.freedesktop.ScreenSaver's inhibit calls: hands out cookies and keeps the ones held.
// Export it with QDBusConnection::ExportAllSlots.
class ScreenSaverService : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")
public:
    using QObject::QObject;

    int held() const { return int(m_held.size()); }
    int inhibitCount() const { return m_inhibits; }
    int releaseCount() const { return m_releases; }

public slots:
    uint Inhibit(const QString& application, const QString& reason);
    void UnInhibit(uint cookie);

signals:
    // One line per call, for the emulator's output.
    void event(const QString& line);

private:
    struct Holder
    {
        QString application;
        QString reason;
    };
    std::map<uint, Holder> m_held;
    uint m_nextCookie = 1;
    int m_inhibits = 0;
    int m_releases = 0;
};
