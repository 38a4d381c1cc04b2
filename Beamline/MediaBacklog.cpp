#include "Beamline/MediaBacklog.h"

void MediaBacklog::queued(Clock::time_point when)
{
    if (!full())
        m_entries.push_back({when, -1});
}

void MediaBacklog::handedToSocket(qint64 endOffset)
{
    if (m_handed < m_entries.size())
        m_entries[m_handed++].endOffset = endOffset;
}

void MediaBacklog::delivered(qint64 offset)
{
    while (m_handed > 0 && m_entries.front().endOffset <= offset) {
        m_entries.pop_front();
        --m_handed;
    }
}

void MediaBacklog::clear()
{
    m_entries.clear();
    m_handed = 0;
}

std::optional<MediaBacklog::Clock::time_point> MediaBacklog::oldest() const
{
    if (m_entries.empty())
        return std::nullopt;
    return m_entries.front().queuedAt;
}

MediaBacklog::Clock::duration MediaBacklog::age(Clock::time_point now) const
{
    const std::optional<Clock::time_point> first = oldest();
    if (!first || now <= *first)
        return Clock::duration::zero();
    return now - *first;
}
