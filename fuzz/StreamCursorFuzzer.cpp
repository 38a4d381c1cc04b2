// The cursor metadata of a screen-cast stream comes from another process: whatever its sizes,
// offsets and strides say, reading the bitmap and drawing it must stay inside the record and
// the frame.
#include "Pikora/Capture/StreamCursor.h"

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The record: exactly `size` bytes on the heap, so ASan sees any read past it. Two
    // updates from one input: a record, then the same bytes shifted (a later buffer).
    std::vector<std::uint8_t> record(data, data + size);
    StreamCursor cursor;
    cursor.update(record.empty() ? nullptr : record.data(), record.size());
    std::vector<std::uint8_t> frame(37 * 4 * 23);
    cursor.drawInto(frame.data(), 37, 23, 37 * 4);
    if (size > 4) {
        std::vector<std::uint8_t> later(data + 4, data + size);
        cursor.update(later.data(), later.size());
        cursor.drawInto(frame.data(), 37, 23, 37 * 4);
    }
    return 0;
}
