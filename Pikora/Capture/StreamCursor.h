#pragma once

#include <QPoint>
#include <cstddef>
#include <cstdint>
#include <vector>

// The pointer of a screen-cast stream sent beside the picture (cursor metadata) instead of
// drawn into it, and drawn in by us. Each buffer may carry a cursor record: the position, and
// now and then a new bitmap (a cursor's picture is sent only when it changes), so the last
// bitmap is kept. The record comes from another process: every size, offset and stride is
// checked against the record's own length before a byte of the bitmap is read, and a record
// that does not add up is ignored (the last good state stays).
//
// The record's layout is the stream library's cursor and bitmap metadata (fixed by its ABI:
// the stream code checks these offsets against its headers at compile time).
class StreamCursor
{
public:
    enum class Update
    {
        Unchanged, // no new cursor data in this record
        Moved,     // a new position (and possibly a new bitmap or none)
        Hidden,    // the cursor has no picture now
        Refused,   // the record does not add up; ignored
    };

    // Largest cursor bitmap accepted in either direction.
    static constexpr int kMaxBitmapSide = 512;
    // Byte offsets of the record (spa_meta_cursor, spa_meta_bitmap).
    static constexpr std::size_t kCursorRecordSize = 28;
    static constexpr std::size_t kBitmapRecordSize = 20;
    // Bitmap formats, the stream library's video format numbers.
    static constexpr std::uint32_t kFormatRGBx = 7, kFormatBGRx = 8, kFormatxRGB = 9, kFormatxBGR = 10,
                                   kFormatRGBA = 11, kFormatBGRA = 12, kFormatARGB = 13, kFormatABGR = 14;

    // Reads one record of `size` bytes at `record` (the buffer's cursor metadata).
    Update update(const std::uint8_t* record, std::size_t size);

    bool visible() const { return m_visible && m_width > 0 && m_height > 0; }
    // The top-left corner of the bitmap in frame coordinates (position minus hotspot).
    QPoint topLeft() const { return m_position - m_hotspot; }
    int width() const { return m_width; }
    int height() const { return m_height; }

    // Blends the cursor into a frame of B, G, R, X pixels (`width` x `height`, rows
    // `bytesPerRow` apart), clipped to the frame. Nothing when the cursor is not visible.
    void drawInto(std::uint8_t* pixels, int width, int height, int bytesPerRow) const;

private:
    QPoint m_position;
    QPoint m_hotspot;
    bool m_visible = false;
    int m_width = 0;
    int m_height = 0;
    std::vector<std::uint8_t> m_bgra; // straight alpha, B, G, R, A, rows packed
};
