#pragma once

#include <QRect>
#include <QSize>
#include <cstdint>
#include <vector>

// An office desktop where little changes, for measuring the capture path on what people
// mostly project: a wallpaper, a panel with a clock (redrawn every second), and a document
// window in which someone types about seven characters a second behind a blinking caret,
// with a page scroll (ten frames of movement) every eight seconds. Drawn step by step into
// one buffer; each step says which areas it changed.
class OfficeScene
{
public:
    explicit OfficeScene(QSize pixels);

    QSize size() const { return m_size; }
    // The picture before the first step.
    void drawInitial(std::uint8_t* bgra, int bytesPerRow);
    // Advances the picture in `bgra` (which holds step n - 1) to step n (n >= 1). Returns the
    // areas that changed.
    std::vector<QRect> step(std::uint64_t n, std::uint8_t* bgra, int bytesPerRow);

private:
    void fill(std::uint8_t* bgra, int bytesPerRow, const QRect& r, std::uint32_t bgr) const;
    void glyph(std::uint8_t* bgra, int bytesPerRow, int x, int y, std::uint32_t seed) const;
    QRect drawClock(std::uint8_t* bgra, int bytesPerRow, std::uint64_t seconds) const;
    QRect caretRect() const;
    QRect scrollUp(std::uint8_t* bgra, int bytesPerRow, int pixels);

    QSize m_size;
    QRect m_window;
    QRect m_text; // the document's text area
    int m_glyphW, m_glyphH, m_line;
    int m_col = 0, m_row = 0; // caret position in characters and lines
    int m_scrolledPixels = 0;
    std::uint32_t m_typed = 0;
    bool m_caretOn = false;
};
