// Screen-cast buffer descriptions come from another process (the stream's producer): the
// negotiated size, the chunk's offset, size and stride, the crop region. Whatever they say,
// locating and copying the picture must stay inside the mapped memory.
#include "Pikora/Capture/StreamFrameAssembler.h"
#include "Pikora/Capture/StreamFrameLayout.h"

#include <cstring>
#include <vector>

namespace {

template <typename T> T take(const std::uint8_t*& data, std::size_t& size)
{
    T value{};
    const std::size_t n = std::min(sizeof(T), size);
    std::memcpy(&value, data, n);
    data += n;
    size -= n;
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    StreamFrameLayout::Buffer buffer;
    buffer.format = StreamFrameLayout::Format(take<std::uint8_t>(data, size) % 8);
    // Small frames keep each run fast; the checks do not depend on the scale.
    buffer.size = QSize(take<std::int16_t>(data, size) % 300, take<std::int16_t>(data, size) % 300);
    buffer.chunkOffset = take<std::uint32_t>(data, size) % 70000;
    buffer.chunkSize = take<std::uint32_t>(data, size);
    buffer.chunkStride = take<std::int32_t>(data, size);
    buffer.corrupted = take<std::uint8_t>(data, size) & 1;
    if (take<std::uint8_t>(data, size) & 1)
        buffer.crop = QRect(take<std::int32_t>(data, size), take<std::int32_t>(data, size),
                            take<std::int16_t>(data, size), take<std::int16_t>(data, size));
    const std::size_t mapped = take<std::uint16_t>(data, size) + std::size_t(size);
    // The mapping: exactly `mapped` bytes on the heap, so ASan sees any read past it.
    std::vector<std::uint8_t> memory(mapped);
    if (size)
        std::memcpy(memory.data(), data, std::min(size, mapped));
    buffer.data = memory.empty() ? nullptr : memory.data();
    buffer.mappedSize = memory.size();

    StreamFrameAssembler assembler;
    assembler.setBufferCount(take<std::uint8_t>(data, size) % 6);
    int givenBack = 0;
    auto out = assembler.take(buffer, true, nullptr, [&givenBack] { ++givenBack; });
    if (out.surface) {
        // Read every pixel the surface claims to have.
        unsigned sum = 0;
        for (int y = 0; y < out.surface->height(); ++y)
            for (int x = 0; x < out.surface->width() * 4; ++x)
                sum +=
                    out.surface
                        ->data()[std::size_t(y) * std::size_t(out.surface->bytesPerRow()) + std::size_t(x)];
        (void)sum;
    }
    out.surface.reset();
    if (givenBack != 1)
        __builtin_trap(); // every buffer goes back exactly once
    return 0;
}
