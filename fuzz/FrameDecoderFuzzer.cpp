// Feeds arbitrary bytes to the frame decoder in arbitrary chunks and checks that chunking never
// changes the result: the same frames (or the same error) as one decoder fed everything at
// once, no frame above the bound, and nothing buffered beyond what was given.
#include "Support/FrameCodec.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

constexpr std::uint32_t kMax = 4096;

struct Outcome
{
    std::vector<QByteArray> frames;
    bool error = false;
};

void take(FrameCodec::Decoder& decoder, Outcome& out)
{
    QByteArray frame;
    for (;;) {
        const auto status = decoder.next(frame);
        if (status == FrameCodec::Decoder::Status::Frame) {
            if (static_cast<std::uint32_t>(frame.size()) > kMax)
                std::abort();
            out.frames.push_back(frame);
            continue;
        }
        if (status == FrameCodec::Decoder::Status::Error)
            out.error = true;
        return;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    // The first byte picks the chunk size pattern, the rest is the wire.
    const unsigned pattern = data[0];
    const char* wire = reinterpret_cast<const char*>(data + 1);
    const std::size_t length = size - 1;

    FrameCodec::Decoder whole(kMax);
    whole.append(QByteArrayView(wire, static_cast<qsizetype>(length)));
    Outcome expected;
    take(whole, expected);

    FrameCodec::Decoder chunked(kMax);
    Outcome got;
    std::size_t offset = 0;
    unsigned step = 0;
    while (offset < length) {
        const std::size_t chunk = 1 + ((pattern >> (step++ % 8)) & 0x7) * 3;
        const std::size_t n = chunk < length - offset ? chunk : length - offset;
        chunked.append(QByteArrayView(wire + offset, static_cast<qsizetype>(n)));
        offset += n;
        take(chunked, got);
        if (chunked.buffered() < 0 || static_cast<std::size_t>(chunked.buffered()) > offset)
            std::abort();
    }

    if (got.error != expected.error || got.frames != expected.frames)
        std::abort();
    if (!expected.error) {
        // Re-encoding the frames reproduces the consumed prefix of the wire exactly.
        QByteArray again;
        for (const auto& f : expected.frames)
            again += FrameCodec::encode(f);
        if (again !=
            QByteArray(wire, static_cast<qsizetype>(length - static_cast<std::size_t>(whole.buffered()))))
            std::abort();
    }
    return 0;
}
