#pragma once

#include <algorithm>
#include <vector>

// A run of picture rows [begin, end).
struct RowSpan
{
    int begin = 0;
    int end = 0;

    bool operator==(const RowSpan&) const = default;
};

// Sorts `spans`, clips them to [0, height), drops empty ones and merges those that overlap or
// lie closer than `gap` rows apart.
inline std::vector<RowSpan> normaliseRowSpans(std::vector<RowSpan> spans, int height, int gap = 0)
{
    std::vector<RowSpan> out;
    for (RowSpan& s : spans) {
        s.begin = std::max(0, s.begin);
        s.end = std::min(height, s.end);
    }
    std::sort(spans.begin(), spans.end(),
              [](const RowSpan& a, const RowSpan& b) { return a.begin < b.begin; });
    for (const RowSpan& s : spans) {
        if (s.end <= s.begin)
            continue;
        if (!out.empty() && s.begin <= out.back().end + gap)
            out.back().end = std::max(out.back().end, s.end);
        else
            out.push_back(s);
    }
    return out;
}

inline int rowSpanTotal(const std::vector<RowSpan>& spans)
{
    int total = 0;
    for (const RowSpan& s : spans)
        total += s.end - s.begin;
    return total;
}
