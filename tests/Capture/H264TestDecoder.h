#pragma once

// An independent H.264 decoder (libavcodec's native one) for checking what the capture path
// produces, plus a parser for our access-unit layout.

#include <QByteArray>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

struct DecodedPicture
{
    int width = 0;
    int height = 0;
    int lumaStride = 0;
    std::vector<std::uint8_t> luma;
};

class H264TestDecoder
{
public:
    H264TestDecoder();
    ~H264TestDecoder();
    // Decodes one access unit; the picture it yields, or none (with the error in `error`).
    std::optional<DecodedPicture> decode(const QByteArray& accessUnit, QString* error = nullptr);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

struct ParsedAccessUnit
{
    std::vector<int> nalTypes; // in order
    bool startCodesAreFourBytes = true;
    bool startsWithStartCode = false;
};
ParsedAccessUnit parseAccessUnit(const QByteArray& accessUnit);
