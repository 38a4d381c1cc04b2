#include "Support/NotificationCenter.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

TEST(NotificationCenter, DeliversByNameAndSenderInRegistrationOrder)
{
    NotificationCenter center;
    int senderA = 0;
    int senderB = 0;
    std::vector<std::string> log;
    center.addObserver("stopDisplay", nullptr,
                       [&](const Notification& n) { log.push_back("any:" + n.name); });
    center.addObserver("stopDisplay", &senderA, [&](const Notification& n) {
        EXPECT_EQ(n.object, &senderA);
        log.push_back("A");
    });
    center.addObserver("pauseDisplay", nullptr, [&](const Notification& n) {
        log.push_back("pause:" + n.userInfo.value("reason").toString().toStdString());
    });

    center.post("stopDisplay", &senderA);
    center.post("stopDisplay", &senderB);
    center.post("stopDisplay"); // no sender: only the any-sender observer
    center.post("pauseDisplay", &senderB, {{"reason", "host"}});
    center.post("resumeDisplay", &senderA);

    EXPECT_EQ(log, (std::vector<std::string>{"any:stopDisplay", "A", "any:stopDisplay", "any:stopDisplay",
                                             "pause:host"}));
}

TEST(NotificationCenter, EmptyNameObservesEverything)
{
    NotificationCenter center;
    std::vector<std::string> names;
    center.addObserver("", nullptr, [&](const Notification& n) { names.push_back(n.name); });
    center.post("a");
    center.post("b");
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));
}

TEST(NotificationCenter, ObserversMayBeRemovedOrAddedFromInsideAHandler)
{
    NotificationCenter center;
    std::vector<std::string> log;
    NotificationCenter::Token second = 0;
    NotificationCenter::Token self = 0;
    self = center.addObserver("n", nullptr, [&](const Notification&) {
        log.push_back("first");
        center.removeObserver(self);   // itself
        center.removeObserver(second); // a later observer of the same post: skipped
        center.addObserver("n", nullptr, [&](const Notification&) { log.push_back("added"); });
    });
    second = center.addObserver("n", nullptr, [&](const Notification&) { log.push_back("second"); });
    center.addObserver("n", nullptr, [&](const Notification&) { log.push_back("third"); });

    center.post("n");
    EXPECT_EQ(log, (std::vector<std::string>{"first", "third"}));
    log.clear();
    center.post("n"); // the one added during the first post sees only later posts
    EXPECT_EQ(log, (std::vector<std::string>{"third", "added"}));
}

TEST(NotificationCenter, HandlersRunOnThePostingThread)
{
    NotificationCenter center;
    std::thread::id handlerThread;
    center.addObserver("n", nullptr,
                       [&](const Notification&) { handlerThread = std::this_thread::get_id(); });
    std::thread::id posterThread;
    std::thread poster([&] {
        posterThread = std::this_thread::get_id();
        center.post("n");
    });
    poster.join();
    EXPECT_EQ(handlerThread, posterThread);
}

TEST(NotificationCenter, ScopedObserverRemovesItselfAndMovesOwnership)
{
    NotificationCenter center;
    int hits = 0;
    {
        NotificationObserver outer;
        {
            NotificationObserver inner(
                center, center.addObserver("n", nullptr, [&](const Notification&) { ++hits; }));
            center.post("n");
            outer = std::move(inner);
        }
        center.post("n"); // still observed: ownership moved to `outer`
    }
    center.post("n");
    EXPECT_EQ(hits, 2);

    NotificationObserver reset(center,
                               center.addObserver("n", nullptr, [&](const Notification&) { ++hits; }));
    reset.reset();
    center.post("n");
    EXPECT_EQ(hits, 2);
}

TEST(NotificationCenter, ConcurrentPostsAndRemovalsAreSafe)
{
    NotificationCenter center;
    std::atomic<int> hits{0};
    std::vector<NotificationCenter::Token> tokens;
    for (int i = 0; i < 50; ++i)
        tokens.push_back(center.addObserver("n", nullptr, [&](const Notification&) { ++hits; }));
    std::thread poster([&] {
        for (int i = 0; i < 200; ++i)
            center.post("n");
    });
    for (auto t : tokens)
        center.removeObserver(t);
    poster.join();
    const int afterRemoval = hits.load();
    center.post("n");
    EXPECT_EQ(hits.load(), afterRemoval);
}
