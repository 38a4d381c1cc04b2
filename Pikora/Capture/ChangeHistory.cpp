#include "Pikora/Capture/ChangeHistory.h"

std::vector<CaptureSurface::Changes>
ChangeHistory::record(std::uint64_t generation, std::optional<std::vector<RowSpan>> rows, int height)
{
    std::vector<CaptureSurface::Changes> out;
    if (rows) {
        std::vector<RowSpan> cumulative = normaliseRowSpans(*rows, height);
        for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it) {
            out.push_back({it->generation, cumulative});
            if (!it->sincePrevious)
                break;
            cumulative.insert(cumulative.end(), it->sincePrevious->begin(), it->sincePrevious->end());
            cumulative = normaliseRowSpans(std::move(cumulative), height);
        }
    } else {
        m_entries.clear();
    }
    m_entries.push_back({generation, rows ? std::optional(normaliseRowSpans(*rows, height)) : std::nullopt});
    while (m_entries.size() > kDepth)
        m_entries.pop_front();
    return out;
}
