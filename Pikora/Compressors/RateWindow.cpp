#include "Pikora/Compressors/RateWindow.h"

#include <algorithm>
#include <limits>

RateWindow::RateWindow(std::chrono::microseconds length)
    : m_length(std::max<std::chrono::microseconds>(length, std::chrono::microseconds(1)))
{
}

qint64 RateWindow::capBytes(qint64 bitsPerSecond)
{
    if (bitsPerSecond <= 0)
        return 0;
    if (bitsPerSecond > std::numeric_limits<qint64>::max() / 10)
        return std::numeric_limits<qint64>::max() / 8;
    return bitsPerSecond * 10 / 8;
}

void RateWindow::expireBefore(std::int64_t timeUs)
{
    // An entry at time e is inside the window ending at t while t - e < length.
    while (!m_entries.empty() && timeUs - m_entries.front().timeUs >= m_length.count()) {
        m_inWindow -= m_entries.front().bytes;
        m_entries.pop_front();
    }
}

void RateWindow::add(std::int64_t timeUs, qint64 bytes)
{
    bytes = std::max<qint64>(bytes, 0);
    if (!m_entries.empty())
        timeUs = std::max(timeUs, m_entries.back().timeUs);
    expireBefore(timeUs);
    if (!m_entries.empty() && (m_entries.back().timeUs == timeUs || m_entries.size() >= kMaxEntries)) {
        m_entries.back().timeUs = timeUs;
        m_entries.back().bytes += bytes;
    } else {
        m_entries.push_back({timeUs, bytes});
    }
    m_inWindow += bytes;
    m_total += bytes;
    m_largest = std::max(m_largest, m_inWindow);
}

qint64 RateWindow::bytesInWindowEndingAt(std::int64_t timeUs) const
{
    qint64 sum = 0;
    for (const Entry& e : m_entries)
        if (e.timeUs <= timeUs && timeUs - e.timeUs < m_length.count())
            sum += e.bytes;
    return sum;
}

void RateWindow::clear()
{
    m_entries.clear();
    m_inWindow = 0;
    m_largest = 0;
    m_total = 0;
}
