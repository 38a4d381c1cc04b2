#pragma once

#include "Pikora/Compressors/KPImageCompressor.h"

#include <QString>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

// H.264 through libavcodec: a hardware encoder when one opens (VA-API, NVENC, Quick Sync),
// else libx264, set up for real-time streaming (no B-frames, no look-ahead, Main profile,
// key-frame interval, average bit rate capped over a 10 s window). Each frame is converted
// and scaled to `resolution` in one step and encoded on the calling thread; every access
// unit goes to the completion closure in our Annex-B layout (see H264AccessUnit.h).
class KPh264ImageCompressor : public KPImageCompressor
{
public:
    using WriteFileCompletionBlock = std::function<void(const QString& path)>;

    // The sizes setup() accepts, after rounding down to even numbers.
    static constexpr int kMinSide = 2;
    static constexpr int kMaxSide = 16384;

    KPh264ImageCompressor();
    ~KPh264ImageCompressor() override;

    bool setup() override;
    void compressRawImage(std::shared_ptr<PixelBuffer> image, CompletionBlock completion) override;
    void cleanup() override;

    // Whether a hardware encoder opens at the main screen's size.
    bool supportHardwareAcceleration();
    // A monotonic clock in seconds.
    static double mach_time_seconds();

    int fps() const { return m_fps; }
    void setFps(int fps) { m_fps = fps; }
    qint64 bitrate() const { return m_bitrate; }
    void setBitrate(qint64 bitrate) { m_bitrate = bitrate; }
    qint64 keyframeInterval() const { return m_keyframeInterval; }
    void setKeyframeInterval(qint64 interval) { m_keyframeInterval = interval; }

    // Optional recording of the stream: once `capSize` bytes are collected they are written
    // to `filePath` and `writeFileCompletionBlock` is called once with the path.
    void setFilePath(const QString& path);
    void setCapSize(qint64 bytes);
    void setWriteFileCompletionBlock(WriteFileCompletionBlock block);

    // The encoder that runs after setup() ("libx264", "h264_vaapi", ...), empty before.
    QString encoderName() const;

    // Encoders setup() tries, in order. Default: h264_vaapi, h264_nvenc, h264_qsv, libx264.
    static void setEncoderCandidates(std::vector<std::string> names);
    static std::vector<std::string> encoderCandidates();

    struct Statistics
    {
        std::uint64_t framesSubmitted = 0;
        std::uint64_t framesReused = 0; // same surface as the frame before: not converted again
        std::uint64_t accessUnits = 0;
        std::uint64_t keyFrames = 0;
        std::uint64_t bytes = 0;
        double convertCpuMs = 0; // colour conversion + scaling, thread CPU time
        double convertWallMs = 0;
        double encodeCpuMs = 0; // encoder calls, CPU time of the calling thread only
        double encodeWallMs = 0;
    };
    Statistics statistics() const;

    // Start time and first-frame bookkeeping, as read by tests.
    double firstFrameTime() const { return m_firstFrameTime; }
    qint64 frameCount() const { return m_frameCount; }
    std::int64_t lastPresentationTime() const;

private:
    void gogo(const QByteArray& frame, const QByteArray& sps, const QByteArray& pps, bool isKeyFrame);
    void record(const QByteArray& frame, const QByteArray& sps, const QByteArray& pps, bool isKeyFrame);

    struct Impl;
    std::unique_ptr<Impl> d;

    std::atomic<int> m_fps{24};
    std::atomic<qint64> m_bitrate{0};
    std::atomic<qint64> m_keyframeInterval{0};
    double m_firstFrameTime = 0;
    double m_frameTime = 0;
    double m_lastFrameTime = 0;
    qint64 m_frameCount = 0;

    std::mutex m_recordMutex;
    QString m_filePath;
    qint64 m_capSize = 0;
    WriteFileCompletionBlock m_writeFileCompletionBlock;
    QByteArray m_recording;
};
