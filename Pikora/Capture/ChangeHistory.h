#pragma once

#include "Pikora/Capture/CaptureSurface.h"

#include <deque>
#include <optional>
#include <vector>

// Remembers which rows changed between a frame source's last few pictures, so each new
// picture can tell (CaptureSurface::changes) how it differs from every one of them: a
// consumer that skipped a picture can still update only what changed.
class ChangeHistory
{
public:
    static constexpr std::size_t kDepth = 6;

    // Records picture `generation` of `height` rows, which differs from the picture recorded
    // before it in `rows` (none: unknown, as for a first picture). Returns the changes to hand
    // out with it, most recent earlier picture first.
    std::vector<CaptureSurface::Changes> record(std::uint64_t generation,
                                                std::optional<std::vector<RowSpan>> rows, int height);
    void reset() { m_entries.clear(); }

private:
    struct Entry
    {
        std::uint64_t generation = 0;
        std::optional<std::vector<RowSpan>> sincePrevious;
    };
    std::deque<Entry> m_entries; // oldest first
};
