#include "Pikora/Capture/TestPatternScene.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

struct Rgb
{
    int r, g, b;
};

inline std::uint32_t pixel(Rgb c)
{
    return std::uint32_t(c.b) | (std::uint32_t(c.g) << 8) | (std::uint32_t(c.r) << 16) | 0xff000000u;
}

inline std::uint32_t hash(std::uint32_t x)
{
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

class Canvas
{
public:
    Canvas(std::uint8_t* data, int bytesPerRow, QSize size)
        : m_data(data), m_stride(bytesPerRow), m_size(size)
    {
    }

    void fill(QRect r, Rgb c, QRect clip = {}) const
    {
        r = r.intersected(QRect(QPoint(0, 0), m_size));
        if (!clip.isNull())
            r = r.intersected(clip);
        if (r.isEmpty())
            return;
        const std::uint32_t p = pixel(c);
        for (int y = r.top(); y <= r.bottom(); ++y) {
            auto* row = reinterpret_cast<std::uint32_t*>(m_data + std::size_t(y) * m_stride) + r.left();
            std::fill_n(row, r.width(), p);
        }
    }

    // A line of "words": blocks of glyph-like marks of random width, like text at a distance.
    void textLine(int x, int y, int width, int glyphHeight, std::uint32_t seed, Rgb ink,
                  QRect clip = {}) const
    {
        const int glyph = std::max(2, glyphHeight * 4 / 5);
        const int gap = std::max(1, glyph / 3);
        int cx = x;
        for (std::uint32_t word = 0; cx < x + width; ++word) {
            const std::uint32_t h = hash(seed * 977 + word);
            const int letters = 2 + int(h % 8);
            for (int i = 0; i < letters && cx + glyph <= x + width; ++i) {
                const std::uint32_t gh = hash(h + std::uint32_t(i));
                // Ascenders and descenders vary the height a little, as letters do.
                const int top = y + int(gh % 3) * glyphHeight / 8;
                const int bottom = y + glyphHeight - int((gh >> 4) % 2) * glyphHeight / 6;
                const int w = glyph - int((gh >> 8) % 3) * glyph / 5;
                fill(QRect(cx, top, std::max(1, w), std::max(1, bottom - top)), ink, clip);
                cx += w + gap;
            }
            cx += glyph + gap;
        }
    }

private:
    std::uint8_t* m_data;
    int m_stride;
    QSize m_size;
};

void drawWindow(const Canvas& c, QRect w, std::uint32_t seed, bool chart)
{
    const int titleBar = std::max(10, w.height() * 7 / 100);
    c.fill(w.translated(std::max(3, titleBar / 4), std::max(4, titleBar / 3)), {20, 24, 40});
    c.fill(w, {255, 255, 255});
    c.fill(QRect(w.left(), w.top(), w.width(), titleBar), {225, 225, 230});
    const Rgb lights[] = {{255, 95, 86}, {255, 189, 46}, {39, 201, 63}};
    const int light = std::max(4, titleBar * 2 / 5);
    for (int i = 0; i < 3; ++i)
        c.fill(QRect(w.left() + titleBar / 3 + i * light * 3 / 2, w.top() + (titleBar - light) / 2, light,
                     light),
               lights[i]);
    c.textLine(w.left() + w.width() / 3, w.top() + titleBar / 3, w.width() / 3, titleBar / 3, seed,
               {60, 60, 60});

    const QRect body = w.adjusted(titleBar / 2, titleBar * 3 / 2, -titleBar / 2, -titleBar / 2);
    if (!chart) {
        const int line = std::max(6, titleBar * 62 / 100);
        for (int y = body.top(), i = 0; y + line <= body.bottom(); y += line, ++i) {
            const int width = i % 7 == 6 ? body.width() / 3 : body.width() - int(hash(seed + i) % 5) * line;
            c.textLine(body.left(), y, width, line * 55 / 100, seed * 131 + std::uint32_t(i), {40, 40, 40},
                       body);
        }
    } else {
        const int bars = 12;
        const int bw = std::max(2, body.width() * 2 / (bars * 3));
        for (int i = 0; i < bars; ++i) {
            const int h = body.height() * (30 + int(hash(seed + i) % 60)) / 100;
            const Rgb colour{int(hash(i * 3u) % 200) + 40, int(hash(i * 5u) % 200) + 40,
                             int(hash(i * 7u) % 200) + 40};
            c.fill(QRect(body.left() + i * bw * 3 / 2, body.bottom() - h, bw, h), colour);
        }
    }
}

} // namespace

TestPatternScene::TestPatternScene(QSize pixels)
    : m_size(pixels.expandedTo(QSize(64, 48))),
      m_window(m_size.width() * 22 / 100, m_size.height() * 24 / 100),
      m_cell(std::max(6, m_size.width() / 120))
{
    const int W = m_size.width();
    const int H = m_size.height();
    m_background.resize(std::size_t(W) * std::size_t(H) * 4);
    const Canvas c(m_background.data(), W * 4, m_size);

    // Wallpaper: a diagonal gradient from blue to purple.
    for (int y = 0; y < H; ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(m_background.data() + std::size_t(y) * W * 4);
        for (int x = 0; x < W; ++x) {
            const int t = (x * 256 / W + y * 256 / H) / 2; // 0..255
            row[x] = pixel({28 + (60 * t) / 255, 58 - (16 * t) / 255, 94 + (2 * t) / 255});
        }
    }

    // Menu bar with menu titles on the left and a clock on the right.
    const int bar = std::max(12, H / 40);
    c.fill(QRect(0, 0, W, bar), {236, 236, 236});
    c.textLine(bar, bar * 3 / 10, W / 3, bar * 2 / 5, 7, {20, 20, 20});
    c.textLine(W - W / 8, bar * 3 / 10, W / 8 - bar, bar * 2 / 5, 11, {20, 20, 20});

    drawWindow(c, QRect(W * 5 / 100, H * 8 / 100, W / 2, H * 55 / 100), 1, false);
    drawWindow(c, QRect(W * 45 / 100, H * 35 / 100, W * 48 / 100, H / 2), 2, true);
    drawWindow(c, QRect(W * 62 / 100, H * 6 / 100, W / 3, H * 22 / 100), 3, false);

    // A dock of application icons.
    const int icon = std::max(8, H * 5 / 100);
    const int icons = 10;
    const int dockWidth = icons * icon * 5 / 4 + icon / 4;
    const QRect dock((W - dockWidth) / 2, H - icon * 3 / 2, dockWidth, icon * 5 / 4);
    c.fill(dock, {200, 205, 215});
    for (int i = 0; i < icons; ++i)
        c.fill(QRect(dock.left() + icon / 4 + i * icon * 5 / 4, dock.top() + icon / 8, icon, icon),
               {int(hash(i * 11u) % 256), int(hash(i * 13u) % 256), int(hash(i * 17u) % 256)});
}

QRect TestPatternScene::movingWindowRect(std::uint64_t frame) const
{
    const int W = m_size.width();
    const int H = m_size.height();
    const int bar = std::max(12, H / 40);
    const double f = double(frame);
    const double ax = (W - m_window.width()) / 2.0 - 4;
    const double ay = (H - bar - m_window.height()) / 2.0 - 4;
    const double cx = W / 2.0 + ax * std::sin(f * 0.031);
    const double cy = bar + (H - bar) / 2.0 + ay * std::sin(f * 0.047 + 0.7);
    return QRect(int(std::lround(cx - m_window.width() / 2.0)),
                 int(std::lround(cy - m_window.height() / 2.0)), m_window.width(), m_window.height());
}

QPoint TestPatternScene::barcodeOrigin(std::uint64_t frame) const
{
    const QRect w = movingWindowRect(frame);
    const int titleBar = std::max(10, w.height() * 12 / 100);
    return QPoint(w.left() + m_cell, w.top() + titleBar + m_cell);
}

void TestPatternScene::drawMovingWindow(std::uint64_t frame, std::uint8_t* bgra, int bytesPerRow) const
{
    const Canvas c(bgra, bytesPerRow, m_size);
    const QRect w = movingWindowRect(frame);
    const int titleBar = std::max(10, w.height() * 12 / 100);
    c.fill(w, {255, 250, 225});
    c.fill(QRect(w.left(), w.top(), w.width(), titleBar), {0, 120, 215});
    c.textLine(w.left() + titleBar, w.top() + titleBar / 3, w.width() / 2, titleBar / 3, 99, {255, 255, 255});

    // Text that scrolls up by two pixels a frame below the barcode.
    const QPoint code = barcodeOrigin(frame);
    const QRect text(w.left() + m_cell, code.y() + 5 * m_cell, w.width() - 2 * m_cell,
                     w.bottom() - (code.y() + 5 * m_cell) - m_cell / 2);
    const int line = std::max(6, m_cell);
    const std::uint64_t scrolled = frame * 2;
    const int offset = int(scrolled % std::uint64_t(line));
    const std::uint32_t firstLine = std::uint32_t(scrolled / std::uint64_t(line));
    for (int i = 0; text.top() - offset + i * line <= text.bottom(); ++i)
        c.textLine(text.left(), text.top() - offset + i * line, text.width(), line * 55 / 100,
                   1000 + firstLine + i, {30, 30, 90}, text);

    // The frame number: quiet zone, then the 16 low bits (white = 1), then their complement.
    c.fill(QRect(code, QSize((kBarcodeBits + 2) * m_cell, 4 * m_cell)), {128, 128, 128});
    for (int i = 0; i < kBarcodeBits; ++i) {
        const bool bit = (frame >> i) & 1;
        const Rgb on{255, 255, 255};
        const Rgb off{0, 0, 0};
        c.fill(QRect(code.x() + (1 + i) * m_cell, code.y() + m_cell, m_cell, m_cell), bit ? on : off);
        c.fill(QRect(code.x() + (1 + i) * m_cell, code.y() + 2 * m_cell, m_cell, m_cell), bit ? off : on);
    }
}

void TestPatternScene::restore(const QRect& area, std::uint8_t* bgra, int bytesPerRow) const
{
    const QRect r = area.intersected(QRect(QPoint(0, 0), m_size));
    if (r.isEmpty())
        return;
    const int W = m_size.width();
    for (int y = r.top(); y <= r.bottom(); ++y)
        std::memcpy(bgra + std::size_t(y) * bytesPerRow + std::size_t(r.left()) * 4,
                    m_background.data() + (std::size_t(y) * W + std::size_t(r.left())) * 4,
                    std::size_t(r.width()) * 4);
}

QRect TestPatternScene::render(std::uint64_t frame, std::uint8_t* bgra, int bytesPerRow,
                               std::optional<std::uint64_t> previous) const
{
    const QRect full(QPoint(0, 0), m_size);
    QRect changed;
    if (previous) {
        changed = movingWindowRect(*previous).intersected(full);
        restore(changed, bgra, bytesPerRow);
    } else {
        restore(full, bgra, bytesPerRow);
        changed = full;
    }
    drawMovingWindow(frame, bgra, bytesPerRow);
    return changed.united(movingWindowRect(frame).intersected(full));
}

std::optional<std::uint64_t> TestPatternScene::identifyFrame(const std::uint8_t* luma, int lumaStride,
                                                             QSize lumaSize, double scale,
                                                             std::uint64_t first, std::uint64_t last) const
{
    const auto sample = [&](double x, double y) {
        // Mean of a small box around the cell centre, clamped to the picture.
        const int radius = std::max(0, int(m_cell * scale / 4));
        int sum = 0;
        int count = 0;
        for (int dy = -radius; dy <= radius; ++dy)
            for (int dx = -radius; dx <= radius; ++dx) {
                const int px = std::clamp(int(x) + dx, 0, lumaSize.width() - 1);
                const int py = std::clamp(int(y) + dy, 0, lumaSize.height() - 1);
                sum += luma[std::size_t(py) * lumaStride + px];
                ++count;
            }
        return sum / count;
    };
    for (std::uint64_t n = first; n <= last; ++n) {
        const QPoint o = barcodeOrigin(n);
        bool match = true;
        for (int i = 0; i < kBarcodeBits && match; ++i) {
            const double x = (o.x() + (1.5 + i) * m_cell) * scale;
            const bool bit = sample(x, (o.y() + 1.5 * m_cell) * scale) > 128;
            const bool inverse = sample(x, (o.y() + 2.5 * m_cell) * scale) > 128;
            match = bit == bool((n >> i) & 1) && inverse != bit;
        }
        if (match)
            return n;
    }
    return std::nullopt;
}
