#pragma once

#include "Pikora/Compressors/KPImageCompressor.h"

#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class H264Encoder;

// H.264 through libavcodec: a hardware encoder when the machine has one (VA-API, NVENC,
// Quick Sync; probed once per process), else libx264, set up for real-time streaming (no
// B-frames, no look-ahead, Main profile, key-frame interval, average bit rate). Each frame is
// converted and scaled to `resolution` in one step and encoded on the calling thread; every
// access unit goes to the completion closure in our Annex-B layout (see H264AccessUnit.h).
//
// With a bit rate set, no 10 s of output (by presentation time) holds more than
// bitrate x 10 / 8 bytes, whatever the encoder does: a picture that would not fit is not
// encoded, and an access unit that comes out too large anyway is dropped, the stream then
// going on from a forced key frame. A hardware encoder that fails while encoding is replaced
// by libx264 for the next picture.
//
// An unchanged desktop (the same surface, or the same generation of it, as the picture the
// encoder holds) is encoded while the encoder still refines it, one picture every
// kStillRefineInterval: until a picture goes out at kStillQuantiser or finer (the encoder says
// which quantiser it used), for kStillRefineTime at most. Then no more: from there on only a
// key frame every kStillKeyFrameInterval goes out, so that a receiver whose link dropped a
// picture finds its way back. The first change is encoded at once, referring to the last
// picture sent. An office desktop, where a little changes a few times a second, so costs a
// picture per change rather than one per tick.
//
// Locks: the compressor's lock (set-up, clean-up, teardown) is taken before the encoder lock
// (the encoder and everything it produces); compressRawImage() takes only the encoder lock,
// so cleanup() never waits for an encode.
class KPh264ImageCompressor : public KPImageCompressor
{
public:
    using WriteFileCompletionBlock = std::function<void(const QString& path)>;
    using EncoderFactory = std::function<std::unique_ptr<H264Encoder>(const std::string& name)>;
    // Seconds on a clock that does not go back.
    using Clock = std::function<double()>;

    // The sizes setup() accepts, after rounding down to even numbers.
    static constexpr int kMinSide = 2;
    static constexpr int kMaxSide = 16384;
    // How long an unchanged picture is still encoded (refined) before the encoder rests.
    static constexpr std::int64_t kStillRefineTimeUs = 1'000'000;
    // The shortest spacing of refining pictures (every other tick at 20 fps): each gets the
    // bits of the ticks between, and fewer pictures mean fewer key frames, each of which
    // starts the refining over.
    static constexpr std::int64_t kStillRefineIntervalUs = 90'000;
    // An unchanged picture needs no more refining once a picture went out at this quantiser
    // (H.264 QP) or finer: every block then is either coded at it or already within its step.
    static constexpr int kStillQuantiser = 24;
    // How often a resting encoder sends a key frame of the unchanged picture.
    static constexpr std::int64_t kStillKeyFrameIntervalUs = 2'000'000;
    // While the link is slower than the stream, the encoder's rate buffer (the most one
    // picture may take) is this long, so that a key frame does not hold the link for long;
    // it goes back to its usual length once the link has kept up for kSlowLinkHoldUs.
    static constexpr double kSlowLinkRateBufferSeconds = 0.1;
    static constexpr std::int64_t kSlowLinkHoldUs = 5'000'000;

    KPh264ImageCompressor();
    ~KPh264ImageCompressor() override;

    bool setup() override;
    void compressRawImage(std::shared_ptr<PixelBuffer> image, CompletionBlock completion) override;
    void cleanup() override;

    // Whether a hardware encoder opens at the main screen's size. Probed on the first call
    // in the process and remembered; a hardware encoder that later fails while encoding
    // makes it false for the rest of the process.
    bool supportHardwareAcceleration();
    // Forgets the probe's result (tests; changing the candidates or the factory does it too).
    static void resetHardwareProbe();
    // A monotonic clock in seconds.
    static double mach_time_seconds();
    // The clock frames are timed by (mach_time_seconds unless set); set before the first frame.
    void setClock(Clock clock);

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

    // The link could not take the last picture in time (any thread): pictures stay small
    // for a while (see kSlowLinkRateBufferSeconds).
    void noteLinkBehind() { m_linkBehind = true; }
    bool slowLinkMode() const;

    // The encoder that runs after setup() ("libx264", "h264_vaapi", ...), empty before.
    QString encoderName() const;

    // Encoders setup() tries, in order. Default: h264_vaapi, h264_nvenc, h264_qsv, libx264.
    // Every name but "libx264" is a hardware encoder.
    static void setEncoderCandidates(std::vector<std::string> names);
    static std::vector<std::string> encoderCandidates();
    static constexpr const char* kSoftwareEncoder = "libx264";
    // Makes the encoder of a name (tests put doubles in place); empty: libavcodec's.
    static void setEncoderFactory(EncoderFactory factory);
    static std::unique_ptr<H264Encoder> makeEncoder(const std::string& name);

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
        std::uint64_t framesSkippedForRate = 0; // not encoded: the 10 s budget had no room
        std::uint64_t unitsDroppedForRate = 0;  // encoded, then dropped: larger than the room left
        std::uint64_t encoderFailures = 0;
        std::uint64_t framesSkippedUnchanged = 0; // not encoded: unchanged and already refined
        std::uint64_t stillKeyFrames = 0;         // key frames asked for while resting
        std::uint64_t slowLinkSwitches = 0;       // rate buffer shortened for a slow link
        std::int64_t largestWindowBytes = 0;      // most bytes delivered in any 10 s
        // Sum of the quantisers of the units delivered that carried one, and their number.
        std::uint64_t quantiserSum = 0;
        std::uint64_t quantisedUnits = 0;
    };
    Statistics statistics() const;

    // Start time and first-frame bookkeeping, as read by tests.
    double firstFrameTime() const;
    qint64 frameCount() const;
    std::int64_t lastPresentationTime() const;

private:
    void gogo(const QByteArray& unit, const QByteArray& frame, const QByteArray& sps, const QByteArray& pps,
              bool isKeyFrame);
    bool openEncoder(const std::string& name);
    void encoderFailed();
    void record(const QByteArray& frame, const QByteArray& sps, const QByteArray& pps, bool isKeyFrame);

    struct Impl;
    std::unique_ptr<Impl> d;

    std::atomic<int> m_fps{24};
    std::atomic<qint64> m_bitrate{0};
    std::atomic<qint64> m_keyframeInterval{0};
    std::atomic<bool> m_linkBehind{false};
    // Guards the encoder state (d) and the frame bookkeeping; taken after m_lock.
    mutable std::mutex m_encodeMutex;
    Clock m_clock;
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
