#pragma once

#include "Pikora/Platform/PowerAssertion.h"

#include <QDBusConnection>
#include <QString>
#include <map>
#include <memory>
#include <mutex>

// Power assertions through the desktop's D-Bus services:
//   NoDisplaySleep: org.freedesktop.ScreenSaver Inhibit(app, reason) -> cookie on the session
//                   bus; released with UnInhibit(cookie). Without that service, the desktop
//                   portal's Inhibit (idle) -> request handle; released by closing the request.
//   NoIdleSleep:    org.freedesktop.login1.Manager Inhibit("sleep:idle", app, reason, "block")
//                   -> file descriptor on the system bus; held while the descriptor is open,
//                   released by closing it.
// A missing bus or service is a failure result (logged), never a crash. Both services also
// drop what we hold when this process ends. Calls block for at most the given timeout.
// Every assertion still held is released when the object is destroyed.
class DBusPowerAssertion : public PowerAssertion
{
public:
    static constexpr int kDefaultTimeoutMs = 1000;

    DBusPowerAssertion();
    // The connections to use for the screen saver and for login1 (tests hand in private buses).
    DBusPowerAssertion(QDBusConnection sessionBus, QDBusConnection systemBus,
                       int timeoutMs = kDefaultTimeoutMs);
    ~DBusPowerAssertion() override;

    DBusPowerAssertion(const DBusPowerAssertion&) = delete;
    DBusPowerAssertion& operator=(const DBusPowerAssertion&) = delete;

    Result create(Type type, const QString& name) override;
    bool release(Id id) override;

    // How many assertions are held right now.
    int heldCount() const;

private:
    struct Held;

    Result inhibitDisplaySleep(const QString& name, Held& held);
    Result inhibitIdleSleep(const QString& name, Held& held);
    Result inhibitThroughPortal(const QString& name, Held& held);
    void releaseHeld(Id id, Held& held);

    QDBusConnection m_sessionBus;
    QDBusConnection m_systemBus;
    int m_timeoutMs;
    mutable std::mutex m_mutex;
    Id m_nextId = 1;
    std::map<Id, std::unique_ptr<Held>> m_held;
};
