#pragma once

#include <QRect>
#include <QSize>
#include <cstdint>
#include <optional>
#include <vector>

// A deterministic, desktop-like picture sequence for headless capture and for measuring the
// encoder: a wallpaper, a menu bar, application windows with text-like lines and a chart,
// and one window that moves and scrolls every frame. The moving window carries its frame
// number as a two-row barcode (the number's 16 low bits, then their complement), so a
// decoded picture can be matched to the frame it came from.
class TestPatternScene
{
public:
    explicit TestPatternScene(QSize pixels);

    QSize size() const { return m_size; }

    // Draws frame `frame` into a 32-bit B,G,R,X buffer of the scene's size. `previous` is
    // the frame the buffer holds now (from an earlier render into the same buffer), which
    // lets only the changed area be redrawn; with no previous frame the whole picture is
    // drawn. Returns the area that changed.
    QRect render(std::uint64_t frame, std::uint8_t* bgra, int bytesPerRow,
                 std::optional<std::uint64_t> previous = std::nullopt) const;

    // Where the moving window is in `frame`.
    QRect movingWindowRect(std::uint64_t frame) const;
    // The barcode of `frame`: 2 rows of kBarcodeBits square cells of barcodeCellSize()
    // pixels, top-left at the returned point.
    QPoint barcodeOrigin(std::uint64_t frame) const;
    int barcodeCellSize() const { return m_cell; }
    static constexpr int kBarcodeBits = 16;

    // Reads the barcode of a picture that may have been scaled by `scale` (output pixels per
    // scene pixel) and compressed, from its luma plane, assuming it shows one of the frames
    // in [first, last]. Returns the frame whose barcode reads back at its own position.
    std::optional<std::uint64_t> identifyFrame(const std::uint8_t* luma, int lumaStride, QSize lumaSize,
                                               double scale, std::uint64_t first, std::uint64_t last) const;

private:
    void drawMovingWindow(std::uint64_t frame, std::uint8_t* bgra, int bytesPerRow) const;
    void restore(const QRect& area, std::uint8_t* bgra, int bytesPerRow) const;

    QSize m_size;
    QSize m_window;
    int m_cell;
    std::vector<std::uint8_t> m_background; // the scene without the moving window
};
