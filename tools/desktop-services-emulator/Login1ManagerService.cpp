#include "Login1ManagerService.h"

#include <QSocketNotifier>
#include <QStringList>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool validWhat(const QString& what)
{
    static const QStringList known = {QStringLiteral("shutdown"),
                                      QStringLiteral("sleep"),
                                      QStringLiteral("idle"),
                                      QStringLiteral("handle-power-key"),
                                      QStringLiteral("handle-suspend-key"),
                                      QStringLiteral("handle-hibernate-key"),
                                      QStringLiteral("handle-lid-switch")};
    const QStringList parts = what.split(QLatin1Char(':'));
    for (const QString& part : parts)
        if (!known.contains(part))
            return false;
    return !parts.isEmpty();
}

} // namespace

struct Login1ManagerService::Lock
{
    QString what;
    QString who;
    int readFd = -1;
    std::unique_ptr<QSocketNotifier> notifier;

    ~Lock()
    {
        notifier.reset();
        if (readFd >= 0)
            ::close(readFd);
    }
};

Login1ManagerService::Login1ManagerService(QObject* parent) : QObject(parent) {}

Login1ManagerService::~Login1ManagerService() = default;

QDBusUnixFileDescriptor Login1ManagerService::Inhibit(const QString& what, const QString& who,
                                                      const QString& why, const QString& mode)
{
    if (!validWhat(what) || (mode != QLatin1String("block") && mode != QLatin1String("delay"))) {
        emit event(QStringLiteral("login1 inhibit refused what=%1 mode=%2").arg(what, mode));
        if (calledFromDBus())
            sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("invalid what or mode"));
        return {};
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        if (calledFromDBus())
            sendErrorReply(QDBusError::Failed, QStringLiteral("pipe: %1").arg(qt_error_string(errno)));
        return {};
    }
    // The descriptor object duplicates the write end; ours is closed right away so that the
    // caller's copy is the only one and closing it ends the lock.
    QDBusUnixFileDescriptor handed(fds[1]);
    ::close(fds[1]);

    const int id = m_nextId++;
    auto lock = std::make_unique<Lock>();
    lock->what = what;
    lock->who = who;
    lock->readFd = fds[0];
    lock->notifier = std::make_unique<QSocketNotifier>(fds[0], QSocketNotifier::Read);
    connect(lock->notifier.get(), &QSocketNotifier::activated, this, [this, id] { onReadable(id); });
    m_held.emplace(id, std::move(lock));
    ++m_inhibits;
    emit event(QStringLiteral("login1 inhibit id=%1 what=%2 who=\"%3\" why=\"%4\" mode=%5")
                   .arg(id)
                   .arg(what, who, why, mode));
    return handed;
}

void Login1ManagerService::onReadable(int id)
{
    const auto it = m_held.find(id);
    if (it == m_held.end())
        return;
    char buffer[64];
    const ssize_t n = ::read(it->second->readFd, buffer, sizeof buffer);
    if (n > 0 || (n < 0 && (errno == EINTR || errno == EAGAIN)))
        return; // nothing is ever written to a lock; only its end matters
    std::unique_ptr<Lock> lock = std::move(it->second);
    m_held.erase(it);
    // This runs inside the notifier's own signal: it may only be deleted later.
    lock->notifier->setEnabled(false);
    lock->notifier.release()->deleteLater();
    const QString what = lock->what;
    ++m_releases;
    emit event(QStringLiteral("login1 release id=%1 what=%2").arg(id).arg(what));
}
