#pragma once

#include <QVariantMap>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// In-process notifications keyed by string names ("stopDisplay", "pauseDisplay", ...).
// Handlers run synchronously on the posting thread, in registration order. An observer
// registered with a null sender receives the name from any sender; one registered with an
// empty name receives every name. Observers may be added or
// removed from inside a handler.
struct Notification
{
    std::string name;
    const void* object = nullptr;
    QVariantMap userInfo;
};

class NotificationCenter
{
public:
    using Handler = std::function<void(const Notification&)>;
    using Token = std::uint64_t;

    static NotificationCenter& defaultCenter();

    Token addObserver(const std::string& name, const void* sender, Handler handler);
    void removeObserver(Token token);
    void post(const std::string& name, const void* object = nullptr, const QVariantMap& userInfo = {});

private:
    struct Entry
    {
        Token token;
        std::string name;
        const void* sender;
        std::shared_ptr<Handler> handler;
        // Cleared on removal, so a post already under way skips an observer removed by an
        // earlier handler of the same post.
        std::shared_ptr<std::atomic<bool>> alive;
    };
    std::mutex m_mutex;
    std::vector<Entry> m_entries;
    Token m_next = 1;
};

// Removes its observer when destroyed.
class NotificationObserver
{
public:
    NotificationObserver() = default;
    NotificationObserver(NotificationCenter& center, NotificationCenter::Token token);
    NotificationObserver(NotificationObserver&& other) noexcept;
    NotificationObserver& operator=(NotificationObserver&& other) noexcept;
    ~NotificationObserver();
    void reset();

private:
    NotificationCenter* m_center = nullptr;
    NotificationCenter::Token m_token = 0;
};
