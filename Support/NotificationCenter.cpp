#include "Support/NotificationCenter.h"

NotificationCenter& NotificationCenter::defaultCenter()
{
    static NotificationCenter* center = new NotificationCenter;
    return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name, const void* sender,
                                                          Handler handler)
{
    std::lock_guard lock(m_mutex);
    const Token token = m_next++;
    m_entries.push_back(Entry{token, name, sender, std::make_shared<Handler>(std::move(handler)),
                              std::make_shared<std::atomic<bool>>(true)});
    return token;
}

void NotificationCenter::removeObserver(Token token)
{
    std::shared_ptr<Handler> released;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
            if (it->token == token) {
                it->alive->store(false);
                released = std::move(it->handler);
                m_entries.erase(it);
                break;
            }
        }
    }
    // `released` (the handler and what it captured) is destroyed here, outside the lock.
}

void NotificationCenter::post(const std::string& name, const void* object, const QVariantMap& userInfo)
{
    struct Target
    {
        std::shared_ptr<Handler> handler;
        std::shared_ptr<std::atomic<bool>> alive;
    };
    std::vector<Target> targets;
    {
        std::lock_guard lock(m_mutex);
        for (const Entry& e : m_entries) {
            if ((e.name.empty() || e.name == name) && (e.sender == nullptr || e.sender == object))
                targets.push_back(Target{e.handler, e.alive});
        }
    }
    const Notification notification{name, object, userInfo};
    for (const Target& t : targets) {
        if (t.alive->load() && t.handler && *t.handler)
            (*t.handler)(notification);
    }
}

NotificationObserver::NotificationObserver(NotificationCenter& center, NotificationCenter::Token token)
    : m_center(&center), m_token(token)
{
}

NotificationObserver::NotificationObserver(NotificationObserver&& other) noexcept
    : m_center(other.m_center), m_token(other.m_token)
{
    other.m_center = nullptr;
    other.m_token = 0;
}

NotificationObserver& NotificationObserver::operator=(NotificationObserver&& other) noexcept
{
    if (this != &other) {
        reset();
        m_center = other.m_center;
        m_token = other.m_token;
        other.m_center = nullptr;
        other.m_token = 0;
    }
    return *this;
}

NotificationObserver::~NotificationObserver()
{
    reset();
}

void NotificationObserver::reset()
{
    if (m_center && m_token)
        m_center->removeObserver(m_token);
    m_center = nullptr;
    m_token = 0;
}
