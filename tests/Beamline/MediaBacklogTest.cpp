// The media backlog's age accounting, and the time bound it gives a sender, against a fake
// slow receiver driven on a simulated clock.
#include "Beamline/MediaBacklog.h"

#include "Beamline/KPReceiverLink.h"

#include <deque>
#include <gtest/gtest.h>

using namespace std::chrono_literals;
using Clock = MediaBacklog::Clock;

TEST(MediaBacklog, AgeFollowsWhatTheReceiverHasTaken)
{
    MediaBacklog backlog;
    const Clock::time_point t0{};
    EXPECT_EQ(backlog.age(t0 + 5s), Clock::duration::zero());
    backlog.queued(t0);
    backlog.queued(t0 + 50ms);
    EXPECT_EQ(backlog.age(t0 + 80ms), 80ms); // queued, not yet in the socket
    backlog.handedToSocket(1000);            // first entry: stream bytes ..1000
    backlog.handedToSocket(1500);            // control bytes may lie between entries
    backlog.delivered(999);
    EXPECT_EQ(backlog.age(t0 + 100ms), 100ms);
    backlog.delivered(1000);
    EXPECT_EQ(backlog.age(t0 + 100ms), 50ms);
    EXPECT_EQ(backlog.inFlight(), 1u);
    backlog.delivered(5000);
    EXPECT_TRUE(backlog.empty());
    // Delivery reports never remove entries that are not in the socket yet.
    backlog.queued(t0 + 200ms);
    backlog.delivered(100000);
    EXPECT_EQ(backlog.size(), 1u);
    backlog.clear();
    EXPECT_TRUE(backlog.empty());
}

TEST(MediaBacklog, KeepsABoundedNumberOfEntries)
{
    MediaBacklog backlog;
    for (std::size_t i = 0; i < MediaBacklog::kMaxEntries + 10; ++i)
        backlog.queued(Clock::time_point{});
    EXPECT_TRUE(backlog.full());
    EXPECT_EQ(backlog.size(), MediaBacklog::kMaxEntries);
}

namespace {

struct SlowLinkResult
{
    Clock::duration worstDelay{};
    Clock::duration worstRecentDelay{}; // in the last second
    int sent = 0;
    double linkUse = 0; // share of the link's capacity used
};

// A 20 fps stream of `frameBytes` pictures (a key frame of 3x that every 15) offered to a
// receiver that takes `linkBytesPerSecond`; a picture is queued only while `ready` says so.
template <typename Ready> SlowLinkResult simulate(double linkBytesPerSecond, qint64 frameBytes, Ready ready)
{
    MediaBacklog backlog;
    std::deque<std::pair<Clock::time_point, qint64>> inFlight; // queued at, end offset
    const Clock::time_point t0{};
    const auto end = t0 + 20s;
    qint64 written = 0;
    double delivered = 0;
    int frame = 0;
    SlowLinkResult r;
    for (auto now = t0; now < end; now += 1ms) {
        delivered = std::min<double>(double(written), delivered + linkBytesPerSecond / 1000.0);
        backlog.delivered(qint64(delivered));
        while (!inFlight.empty() && inFlight.front().second <= qint64(delivered)) {
            const auto delay = now - inFlight.front().first;
            r.worstDelay = std::max(r.worstDelay, delay);
            if (now >= end - 1s)
                r.worstRecentDelay = std::max(r.worstRecentDelay, delay);
            inFlight.pop_front();
        }
        if ((now - t0) % 50ms != Clock::duration::zero())
            continue;
        const qint64 size = frame++ % 15 == 0 ? 3 * frameBytes : frameBytes;
        if (!ready(backlog, written - qint64(delivered), now))
            continue;
        backlog.queued(now);
        written += size; // the sender's queue hands it to the socket at once
        backlog.handedToSocket(written);
        inFlight.emplace_back(now, written);
        ++r.sent;
    }
    r.linkUse = delivered / (linkBytesPerSecond * 20);
    return r;
}

} // namespace

// 3.2 Mbit/s offered to a 2 Mbit/s receiver: bounded by bytes alone, the queue settles at
// its byte bound, seconds of video behind; bounded by the age of the oldest media on its way,
// every picture arrives within a few hundred milliseconds while the link stays busy.
TEST(MediaBacklog, TheAgeBoundKeepsASlowLinkCurrent)
{
    const double link = 2e6 / 8;
    const qint64 frame = 17000; // about 3.2 Mbit/s at 20 fps with the key frames
    const SlowLinkResult byBytes =
        simulate(link, frame, [](const MediaBacklog&, qint64 pending, Clock::time_point) {
            return pending <= KPReceiverLink::kReadyBound;
        });
    const SlowLinkResult byAge =
        simulate(link, frame, [](const MediaBacklog& b, qint64 pending, Clock::time_point now) {
            return pending <= KPReceiverLink::kReadyBound && b.age(now) <= KPReceiverLink::kReadyAge;
        });
    EXPECT_GT(byBytes.worstRecentDelay, 3s);
    // At most: the oldest waited kReadyAge, one tick more, then the bytes ahead (at most a
    // tick's worth beyond the bound) and the picture itself (a key frame) cross the link.
    const auto bound = KPReceiverLink::kReadyAge + 50ms +
                       std::chrono::milliseconds(qint64(1000.0 * (2 * 3 * frame) / link)) + 10ms;
    EXPECT_LE(byAge.worstDelay, bound);
    EXPECT_GT(byAge.linkUse, 0.85); // the link is not left idle
    EXPECT_LT(byAge.sent, byBytes.sent + 1);
}
