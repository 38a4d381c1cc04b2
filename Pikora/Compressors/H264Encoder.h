#pragma once

#include "Pikora/Compressors/FrameConverter.h"
#include "Pikora/Compressors/H264AccessUnit.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

// One H.264 encoder as the H.264 compressor drives it: opened once at a fixed size, then fed
// one picture at a time (the compressor converts each frame into the encoder's own picture
// buffer). The libavcodec encoders implement it; tests put doubles in its place.
class H264Encoder
{
public:
    struct Config
    {
        int width = 0;
        int height = 0;
        int fps = 24;
        // Average bit rate in bits per second; 0 = the encoder's default.
        qint64 bitrate = 0;
        // Maximum frames between key frames; 0 = the encoder's default.
        qint64 keyframeInterval = 0;
    };
    struct Picture
    {
        std::array<std::uint8_t*, 3> planes{};
        std::array<int, 3> strides{};
    };
    struct Packet
    {
        QByteArray data; // Annex B, or NAL units behind lengths (see parameterSets().lengthSize)
        bool keyFrame = false;
        // The picture's quantiser (H.264 QP, 0-51; lower is finer), -1 when the encoder does
        // not say.
        int quantiser = -1;
    };

    virtual ~H264Encoder() = default;

    // Opens the encoder; false when it cannot (absent, no device, size refused).
    virtual bool open(const Config& config) = 0;
    virtual QString name() const = 0;
    virtual bool isHardware() const = 0;
    // Whether the data-rate limit could be configured (false when the encoder refused it).
    virtual bool rateLimited() const = 0;
    virtual FrameConverter::Layout layout() const = 0;
    virtual H264AccessUnit::ParameterSets parameterSets() const = 0;
    // The picture to convert the next frame into. It still holds the previous frame's pixels,
    // so an unchanged frame need not be converted again. None when no buffer can be had.
    virtual std::optional<Picture> picture() = 0;
    // Encodes the picture at `pts` (microseconds, strictly increasing) and appends whatever
    // the encoder has ready to `out`. `forceKeyFrame` asks for an IDR picture. False when the
    // encoder has failed; it is not used again then.
    virtual bool encode(std::int64_t pts, bool forceKeyFrame, std::vector<Packet>& out) = 0;
    // Changes the rate buffer (the most one picture may take, and the burst the rate control
    // allows) to `seconds` of the average rate from the next picture on, leaving the rates
    // alone. False when the encoder cannot change it while running (nothing changes then).
    virtual bool setRateBufferSeconds(double seconds)
    {
        (void)seconds;
        return false;
    }
};
