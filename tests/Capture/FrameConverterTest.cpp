#include "Pikora/Compressors/FrameConverter.h"

#include "Pikora/Capture/ChangeHistory.h"

#include <gtest/gtest.h>
#include <random>
#include <vector>

namespace {

struct Yuv
{
    Yuv(int w, int h, FrameConverter::Layout layout)
        : w(w), h(h), nv12(layout == FrameConverter::Layout::NV12)
    {
        const int cw = (w + 1) / 2, ch = (h + 1) / 2;
        ys = (w + 63) & ~63;
        cs = nv12 ? ((2 * cw + 63) & ~63) : ((cw + 63) & ~63);
        y.assign(std::size_t(ys) * h, 0);
        u.assign(std::size_t(cs) * ch, 0);
        v.assign(nv12 ? 0 : u.size(), 0);
    }
    std::uint8_t* const* planes()
    {
        p[0] = y.data();
        p[1] = u.data();
        p[2] = v.empty() ? nullptr : v.data();
        return p;
    }
    const int* strides()
    {
        s[0] = ys;
        s[1] = s[2] = cs;
        return s;
    }
    bool operator==(const Yuv& o) const { return y == o.y && u == o.u && v == o.v; }

    int w, h;
    bool nv12;
    int ys = 0, cs = 0;
    std::vector<std::uint8_t> y, u, v;
    std::uint8_t* p[3] = {};
    int s[3] = {};
};

// A noisy picture (every filter tap matters), and a copy with some rows redrawn.
std::vector<std::uint8_t> noise(int w, int h, unsigned seed)
{
    std::vector<std::uint8_t> px(std::size_t(w) * h * 4);
    std::mt19937 rng(seed);
    for (auto& b : px)
        b = std::uint8_t(rng());
    return px;
}

void redraw(std::vector<std::uint8_t>& px, int w, const std::vector<RowSpan>& rows, unsigned seed)
{
    std::mt19937 rng(seed);
    for (const RowSpan& r : rows)
        for (int y = r.begin; y < r.end; ++y)
            for (int x = 0; x < w * 4; ++x)
                px[std::size_t(y) * w * 4 + std::size_t(x)] = std::uint8_t(rng());
}

} // namespace

// Updating only the changed rows must give exactly what converting the whole new picture
// gives, for the ratios projections use, both layouts, changes at the picture's edges, in the
// middle, several at once and single rows.
TEST(FrameConverterChangedRows, UpdateEqualsWholeConversion)
{
    struct Case
    {
        int sw, sh, dw, dh;
    };
    const std::vector<Case> cases = {{2880, 1800, 1728, 1080}, {1920, 1200, 1152, 720},
                                     {1920, 1080, 1280, 720},  {2880, 1800, 960, 600},
                                     {640, 480, 640, 480},     {1001, 701, 998, 500}};
    const std::vector<std::vector<RowSpan>> changes = {
        {{0, 3}}, {{500, 501}}, {{37, 301}}, {{10, 20}, {900, 950}}, {{0, 5}, {1790, 1800}}, {{1079, 1200}}};
    for (const Case& c : cases) {
        for (auto layout : {FrameConverter::Layout::I420, FrameConverter::Layout::NV12}) {
            unsigned seed = 1;
            for (const std::vector<RowSpan>& change : changes) {
                SCOPED_TRACE(testing::Message()
                             << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh << " nv12 "
                             << (layout == FrameConverter::Layout::NV12) << " first span "
                             << change.front().begin << ".." << change.front().end);
                std::vector<std::uint8_t> before = noise(c.sw, c.sh, seed++);
                std::vector<std::uint8_t> after = before;
                const std::vector<RowSpan> rows = normaliseRowSpans(change, c.sh);
                redraw(after, c.sw, rows, seed++);

                FrameConverter partial;
                Yuv updated(c.dw, c.dh, layout);
                ASSERT_TRUE(partial.convert(before.data(), c.sw * 4, c.sw, c.sh, updated.planes(),
                                            updated.strides(), c.dw, c.dh, layout));
                ASSERT_TRUE(partial.convertChangedRows(after.data(), c.sw * 4, c.sw, c.sh, updated.planes(),
                                                       updated.strides(), c.dw, c.dh, layout, rows));
                FrameConverter whole;
                Yuv expected(c.dw, c.dh, layout);
                ASSERT_TRUE(whole.convert(after.data(), c.sw * 4, c.sw, c.sh, expected.planes(),
                                          expected.strides(), c.dw, c.dh, layout));
                EXPECT_TRUE(updated.y == expected.y);
                EXPECT_TRUE(updated.u == expected.u);
                EXPECT_TRUE(updated.v == expected.v);
            }
        }
    }
}

TEST(FrameConverterChangedRows, DeclinesWhatItCannotDoExactlyOrCheaply)
{
    const int sw = 1000, sh = 1000;
    std::vector<std::uint8_t> px = noise(sw, sh, 7);
    FrameConverter converter;
    // A strong reduction, and the plain libswscale method, only convert whole pictures.
    Yuv tiny(100, 100, FrameConverter::Layout::I420);
    EXPECT_FALSE(converter.convertChangedRows(px.data(), sw * 4, sw, sh, tiny.planes(), tiny.strides(), 100,
                                              100, FrameConverter::Layout::I420, {{10, 20}}));
    FrameConverter plain(FrameConverter::Method::Swscale);
    Yuv same(1000, 1000, FrameConverter::Layout::I420);
    EXPECT_FALSE(plain.convertChangedRows(px.data(), sw * 4, sw, sh, same.planes(), same.strides(), 1000,
                                          1000, FrameConverter::Layout::I420, {{10, 20}}));
    // Most of the picture changed: a whole conversion is cheaper.
    Yuv half(500, 500, FrameConverter::Layout::I420);
    EXPECT_FALSE(converter.convertChangedRows(px.data(), sw * 4, sw, sh, half.planes(), half.strides(), 500,
                                              500, FrameConverter::Layout::I420, {{0, 900}}));
    // Nothing changed: nothing to do, and the destination is untouched.
    EXPECT_TRUE(converter.convertChangedRows(px.data(), sw * 4, sw, sh, half.planes(), half.strides(), 500,
                                             500, FrameConverter::Layout::I420, {}));
    EXPECT_TRUE(std::all_of(half.y.begin(), half.y.end(), [](auto b) { return b == 0; }));
}

TEST(ChangeHistory, TellsChangesSinceEachRecentPicture)
{
    ChangeHistory history;
    EXPECT_TRUE(history.record(10, std::nullopt, 100).empty()); // a first picture: nothing known
    const auto second = history.record(11, std::vector<RowSpan>{{5, 10}}, 100);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].since, 10u);
    EXPECT_EQ(second[0].rows, (std::vector<RowSpan>{{5, 10}}));
    const auto third = history.record(12, std::vector<RowSpan>{{8, 20}, {90, 120}}, 100);
    ASSERT_EQ(third.size(), 2u);
    EXPECT_EQ(third[0].since, 11u);
    EXPECT_EQ(third[0].rows, (std::vector<RowSpan>{{8, 20}, {90, 100}}));
    EXPECT_EQ(third[1].since, 10u); // what changed in both steps
    EXPECT_EQ(third[1].rows, (std::vector<RowSpan>{{5, 20}, {90, 100}}));

    CaptureSurface surface;
    surface.changes = third;
    EXPECT_EQ(surface.changedRowsSince(10), third[1].rows);
    EXPECT_FALSE(surface.changedRowsSince(9));
    EXPECT_FALSE(surface.changedRowsSince(0));

    // An unknown step forgets everything before it; the depth is bounded.
    history.record(13, std::nullopt, 100);
    for (std::uint64_t g = 14; g < 30; ++g)
        history.record(g, std::vector<RowSpan>{}, 100);
    const auto last = history.record(30, std::vector<RowSpan>{}, 100);
    EXPECT_EQ(last.size(), ChangeHistory::kDepth);
    EXPECT_EQ(last.back().since, 30u - ChangeHistory::kDepth);
}
