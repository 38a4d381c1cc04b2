#pragma once

#include <QtGlobal>
#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>

// How long the media waiting for a receiver has been waiting. Each media entry is noted when
// it is queued, given its end position in the outgoing byte stream when it is handed to the
// socket, and forgotten once the receiver's side has taken that many bytes (the socket's own
// buffers and the kernel's send queue count as waiting too). The age of the oldest entry
// bounds the delay a new picture would see, whatever the link's speed.
//
// Not thread-safe; the link guards it with its queue lock.
class MediaBacklog
{
public:
    using Clock = std::chrono::steady_clock;

    // Entries it keeps track of at most; the link drops media beyond that.
    static constexpr std::size_t kMaxEntries = 4096;

    // A media entry was queued at `when` (entries are handed to the socket in this order).
    void queued(Clock::time_point when);
    // The oldest entry not yet handed to the socket was written; its last byte is at stream
    // position `endOffset` (bytes written to the socket so far, control frames included).
    void handedToSocket(qint64 endOffset);
    // The receiver's side has taken the stream up to position `offset`.
    void delivered(qint64 offset);
    void clear();

    bool full() const { return m_entries.size() >= kMaxEntries; }
    bool empty() const { return m_entries.empty(); }
    std::size_t size() const { return m_entries.size(); }
    // When the oldest entry still on its way was queued; none when nothing is.
    std::optional<Clock::time_point> oldest() const;
    // How long it has been waiting at `now` (zero when nothing waits).
    Clock::duration age(Clock::time_point now) const;
    // Entries handed to the socket and not yet taken by the receiver.
    std::size_t inFlight() const { return m_handed; }

private:
    struct Entry
    {
        Clock::time_point queuedAt;
        qint64 endOffset = -1; // -1 until handed to the socket
    };
    std::deque<Entry> m_entries; // entries [0, m_handed) are in the socket
    std::size_t m_handed = 0;
};
