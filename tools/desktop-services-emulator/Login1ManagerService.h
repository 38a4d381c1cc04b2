#pragma once

#include <QDBusContext>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>
#include <map>
#include <memory>

class QSocketNotifier;

// org.freedesktop.login1.Manager's Inhibit: every lock is a pipe whose write end goes to the
// caller; the lock is held until the caller closes it, which the read end here notices.
// Export it with QDBusConnection::ExportAllSlots.
class Login1ManagerService : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public:
    explicit Login1ManagerService(QObject* parent = nullptr);
    ~Login1ManagerService() override;

    int held() const { return int(m_held.size()); }
    int inhibitCount() const { return m_inhibits; }
    int releaseCount() const { return m_releases; }

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode);

signals:
    void event(const QString& line);

private:
    struct Lock;
    void onReadable(int id);

    std::map<int, std::unique_ptr<Lock>> m_held;
    int m_nextId = 1;
    int m_inhibits = 0;
    int m_releases = 0;
};
