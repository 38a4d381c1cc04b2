#include "OfficeScene.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr std::uint32_t kWallpaper = 0x6a4a2a; // B, G, R as 0xRRGGBB read little-endian
constexpr std::uint32_t kPanel = 0x202020;
constexpr std::uint32_t kPaper = 0xffffff;
constexpr std::uint32_t kInk = 0x202020;
constexpr std::uint32_t kTitle = 0xd77800;
constexpr int kTypeEvery = 3;     // steps per character
constexpr int kBlinkEvery = 10;   // steps per caret phase
constexpr int kScrollEvery = 160; // steps between page scrolls
constexpr int kScrollSteps = 10;

std::uint32_t mix(std::uint32_t x)
{
    x ^= x >> 16;
    x *= 0x7feb352d;
    x ^= x >> 15;
    x *= 0x846ca68b;
    x ^= x >> 16;
    return x;
}
} // namespace

OfficeScene::OfficeScene(QSize pixels) : m_size(pixels)
{
    const int W = pixels.width(), H = pixels.height();
    m_window = QRect(W * 14 / 100, H * 10 / 100, W * 56 / 100, H * 80 / 100);
    m_glyphH = std::max(8, H / 75);
    m_glyphW = m_glyphH * 6 / 10;
    m_line = m_glyphH * 3 / 2;
    const int title = m_line * 2;
    m_text = QRect(m_window.left() + m_line, m_window.top() + title + m_line, m_window.width() - 2 * m_line,
                   (m_window.height() - title - 2 * m_line) / m_line * m_line);
}

void OfficeScene::fill(std::uint8_t* bgra, int bytesPerRow, const QRect& area, std::uint32_t bgr) const
{
    const QRect r = area.intersected(QRect(QPoint(0, 0), m_size));
    for (int y = r.top(); y <= r.bottom(); ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(bgra + std::size_t(y) * bytesPerRow);
        std::fill(row + r.left(), row + r.right() + 1, bgr);
    }
}

// A character-like mark: a 5x7 cell pattern from `seed`, in ink on paper.
void OfficeScene::glyph(std::uint8_t* bgra, int bytesPerRow, int x, int y, std::uint32_t seed) const
{
    const std::uint32_t bits = mix(seed) | 0x11; // never blank
    const int cw = std::max(1, m_glyphW / 6), ch = std::max(1, m_glyphH / 8);
    for (int cy = 0; cy < 7; ++cy)
        for (int cx = 0; cx < 5; ++cx)
            if (bits >> ((cy * 5 + cx) % 32) & 1)
                fill(bgra, bytesPerRow, QRect(x + cx * cw, y + cy * ch, cw, ch), kInk);
}

QRect OfficeScene::drawClock(std::uint8_t* bgra, int bytesPerRow, std::uint64_t seconds) const
{
    const int bar = m_line * 2;
    const QRect clock(m_size.width() - 12 * m_glyphW, (bar - m_glyphH) / 2, 9 * m_glyphW, m_glyphH);
    fill(bgra, bytesPerRow, clock, kPanel);
    const std::uint64_t hhmmss[3] = {(10 + seconds / 3600) % 24, (seconds / 60) % 60, seconds % 60};
    for (int i = 0; i < 3; ++i)
        for (int d = 0; d < 2; ++d) {
            const std::uint32_t digit = std::uint32_t(d == 0 ? hhmmss[i] / 10 : hhmmss[i] % 10);
            const int x = clock.left() + (i * 3 + d) * m_glyphW;
            // A light digit on the dark panel.
            const std::uint32_t bits = mix(digit + 1000) | 0x11;
            const int cw = std::max(1, m_glyphW / 6), ch = std::max(1, m_glyphH / 8);
            for (int cy = 0; cy < 7; ++cy)
                for (int cx = 0; cx < 5; ++cx)
                    if (bits >> ((cy * 5 + cx) % 32) & 1)
                        fill(bgra, bytesPerRow, QRect(x + cx * cw, clock.top() + cy * ch, cw, ch), 0xe0e0e0);
        }
    return clock;
}

QRect OfficeScene::caretRect() const
{
    return QRect(m_text.left() + m_col * m_glyphW, m_text.top() + m_row * m_line - (m_line - m_glyphH) / 2,
                 std::max(2, m_glyphW / 5), m_line);
}

void OfficeScene::drawInitial(std::uint8_t* bgra, int bytesPerRow)
{
    fill(bgra, bytesPerRow, QRect(QPoint(0, 0), m_size), kWallpaper);
    fill(bgra, bytesPerRow, QRect(0, 0, m_size.width(), m_line * 2), kPanel);
    // Desktop icons and a second, idle window behind the document.
    for (int i = 0; i < 6; ++i)
        fill(bgra, bytesPerRow, QRect(m_line, m_line * 4 + i * m_line * 5, m_line * 3, m_line * 3),
             0x3080c0 + i * 0x101010);
    const QRect side(m_window.right() + m_line * 2, m_window.top() + m_line * 4, m_size.width() * 20 / 100,
                     m_size.height() * 50 / 100);
    fill(bgra, bytesPerRow, side, 0xf0f0f0);
    fill(bgra, bytesPerRow, QRect(side.left(), side.top(), side.width(), m_line * 2), 0x707070);
    for (int y = side.top() + m_line * 3; y + m_glyphH < side.bottom(); y += m_line)
        for (int x = side.left() + m_line; x + m_glyphW < side.right() - m_line; x += m_glyphW)
            if (mix(std::uint32_t(x * 31 + y)) % 7)
                glyph(bgra, bytesPerRow, x, y, std::uint32_t(x ^ y));
    // The document: a title bar and a page half full of text.
    fill(bgra, bytesPerRow, m_window, kPaper);
    fill(bgra, bytesPerRow, QRect(m_window.left(), m_window.top(), m_window.width(), m_line * 2), kTitle);
    const int columns = m_text.width() / m_glyphW;
    const int lines = m_text.height() / m_line;
    for (int l = 0; l < lines / 2; ++l)
        for (int c = 0; c < columns - int(mix(std::uint32_t(l)) % 12); ++c)
            if (mix(std::uint32_t(l * 1000 + c)) % 6)
                glyph(bgra, bytesPerRow, m_text.left() + c * m_glyphW, m_text.top() + l * m_line,
                      std::uint32_t(l * 977 + c));
    m_row = lines / 2;
    m_col = 0;
    drawClock(bgra, bytesPerRow, 0);
}

QRect OfficeScene::scrollUp(std::uint8_t* bgra, int bytesPerRow, int pixels)
{
    // Move the text area's rows up and clear the bottom.
    const std::size_t rowBytes = std::size_t(m_text.width()) * 4;
    for (int y = m_text.top(); y + pixels <= m_text.bottom(); ++y)
        std::memmove(bgra + std::size_t(y) * bytesPerRow + std::size_t(m_text.left()) * 4,
                     bgra + std::size_t(y + pixels) * bytesPerRow + std::size_t(m_text.left()) * 4, rowBytes);
    fill(bgra, bytesPerRow, QRect(m_text.left(), m_text.bottom() + 1 - pixels, m_text.width(), pixels),
         kPaper);
    m_scrolledPixels += pixels;
    return m_text;
}

std::vector<QRect> OfficeScene::step(std::uint64_t n, std::uint8_t* bgra, int bytesPerRow)
{
    std::vector<QRect> changed;
    const std::uint64_t inCycle = n % kScrollEvery;
    if (inCycle < kScrollSteps && n >= kScrollEvery) {
        // A page scroll: the text moves up a line's worth per step, new text comes in below.
        changed.push_back(scrollUp(bgra, bytesPerRow, m_line));
        const int y = m_text.bottom() + 1 - m_line;
        for (int c = 0; c < m_text.width() / m_glyphW - 3; ++c)
            if (mix(std::uint32_t(n * 131 + c)) % 6)
                glyph(bgra, bytesPerRow, m_text.left() + c * m_glyphW, y, std::uint32_t(n * 7 + c));
        m_row = std::max(0, m_row - 1);
    } else if (n % kTypeEvery == 0) {
        // One more character at the caret (the caret moves on with it).
        const QRect before = caretRect();
        fill(bgra, bytesPerRow, before, kPaper);
        changed.push_back(before);
        if (mix(m_typed) % 7 != 0)
            glyph(bgra, bytesPerRow, m_text.left() + m_col * m_glyphW, m_text.top() + m_row * m_line,
                  m_typed);
        changed.push_back(
            QRect(m_text.left() + m_col * m_glyphW, m_text.top() + m_row * m_line, m_glyphW, m_glyphH));
        ++m_typed;
        if (++m_col >= m_text.width() / m_glyphW - 4) {
            m_col = 0;
            if (++m_row >= m_text.height() / m_line) {
                changed.push_back(scrollUp(bgra, bytesPerRow, m_line));
                --m_row;
            }
        }
        if (m_caretOn) {
            fill(bgra, bytesPerRow, caretRect(), kInk);
            changed.push_back(caretRect());
        }
    }
    if (n % kBlinkEvery == 0) {
        m_caretOn = !m_caretOn;
        const QRect caret = caretRect();
        fill(bgra, bytesPerRow, caret, m_caretOn ? kInk : kPaper);
        changed.push_back(caret);
    }
    if (n % 20 == 0)
        changed.push_back(drawClock(bgra, bytesPerRow, n / 20));
    for (QRect& r : changed)
        r = r.intersected(QRect(QPoint(0, 0), m_size));
    return changed;
}
