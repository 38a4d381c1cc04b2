#pragma once

#include <QtGlobal>
#include <chrono>
#include <cstdint>
#include <deque>

// Bytes sent over a sliding window of time (10 s by default), and the largest total any
// window of that length has held so far. A window ending at time t holds the entries with
// times in (t - length, t]; the largest window is therefore always one that ends at an entry.
//
// Times are microseconds on any clock that does not go back (an encoder's presentation times,
// the steady clock); an entry older than the newest one is counted at the newest time. Only
// the entries of the current window are kept, and at most kMaxEntries of them: past that, new
// bytes are added to the newest entry (which moves to the new time), so totals are never
// under-counted.
//
//     RateWindow window;                       // 10 s
//     window.add(timeUs, bytes);               // for every picture handed over
//     window.largestWindow() <= RateWindow::capBytes(bitrate)
class RateWindow
{
public:
    static constexpr std::chrono::microseconds kDefaultLength{10'000'000};
    static constexpr std::size_t kMaxEntries = 4096;

    explicit RateWindow(std::chrono::microseconds length = kDefaultLength);

    // The most a bit rate allows in one 10 s window: bitrate x 10 / 8 bytes (0 for no rate).
    static qint64 capBytes(qint64 bitsPerSecond);

    void add(std::int64_t timeUs, qint64 bytes);
    // Bytes of the window ending at `timeUs` (entries after it are not counted).
    qint64 bytesInWindowEndingAt(std::int64_t timeUs) const;
    // The largest total of any window so far.
    qint64 largestWindow() const { return m_largest; }
    qint64 totalBytes() const { return m_total; }
    std::chrono::microseconds length() const { return m_length; }
    void clear();

private:
    struct Entry
    {
        std::int64_t timeUs;
        qint64 bytes;
    };
    void expireBefore(std::int64_t timeUs);

    std::chrono::microseconds m_length;
    std::deque<Entry> m_entries;
    qint64 m_inWindow = 0; // sum of m_entries
    qint64 m_largest = 0;
    qint64 m_total = 0;
};
