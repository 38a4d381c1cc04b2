#pragma once

#include "Pikora/Compressors/H264Encoder.h"

#include <memory>
#include <string>

// A libavcodec H.264 encoder by name ("libx264", "h264_vaapi", "h264_nvenc", "h264_qsv"), set
// up for real-time streaming: no B-frames, no look-ahead, one packet out per picture in,
// Main profile, key-frame interval, and a rate control that keeps any 10 s of output within
// bitrate x 10 / 8 bytes (see open()).
class LibavH264Encoder : public H264Encoder
{
public:
    // Length of the encoder's rate buffer. The leaky-bucket model lets any interval of T
    // seconds hold at most buffer + maximum rate x T; with a 1 s buffer a maximum rate of
    // 9/10 of the average keeps every 10 s within the limit. A shorter buffer set later
    // (setRateBufferSeconds) keeps that maximum rate, so the limit holds all the more.
    static constexpr double kRateBufferSeconds = 1.0;

    explicit LibavH264Encoder(std::string codecName);
    ~LibavH264Encoder() override;

    bool open(const Config& config) override;
    QString name() const override;
    bool isHardware() const override;
    bool rateLimited() const override;
    FrameConverter::Layout layout() const override;
    H264AccessUnit::ParameterSets parameterSets() const override;
    std::optional<Picture> picture() override;
    bool encode(std::int64_t pts, bool forceKeyFrame, std::vector<Packet>& out) override;
    // libx264 only (it takes a new buffer size before any picture); a buffer longer than the
    // one opened with is refused, as the 10 s limit was worked out for that one.
    bool setRateBufferSeconds(double seconds) override;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
