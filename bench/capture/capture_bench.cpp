// Measures the capture path on a 2880x1800 desktop scaled to 1728x1080 at quality 3
// (3.2 Mbit/s, 20 fps, a key frame every 15 frames):
//   1. the stages alone: colour conversion + scaling (libyuv and libswscale), JPEG;
//   2. the whole capture session (tick -> capture -> convert/scale -> encode -> hand-over)
//      fed by the synthetic test pattern, and by X11 capture of the same scene drawn on a
//      private Xvfb;
//   3. ffmpeg's x11grab + libx264 ultrafast pipeline on the same Xvfb screen.
// Quality is the luma PSNR of every decoded picture against the source frame it shows
// (frames carry their number as a barcode), downscaled with a Lanczos filter (which neither pipeline uses).
//
//   4. with --portal WxH (inside a Wayland session, see portal_bench.sh): the capture session
//      fed through the ScreenCast portal and PipeWire, beside the runs above.
//
// Usage: pikora-capture-bench [--seconds N] [--no-x11] [--no-ffmpeg] [--portal WxH]
// Network: none. Xvfb listens on a local socket only (-nolisten tcp).
#include "Beamline/KPDataTransmitter.h"
#include "Pikora/Capture/AVSessionUtility.h"
#include "Pikora/Capture/KPDesktopImageProvider.h"
#include "Pikora/Capture/PortalFrameSource.h"
#include "Pikora/Capture/SurfacePool.h"
#include "Pikora/Capture/TestPatternFrameSource.h"
#include "Pikora/Capture/TestPatternScene.h"
#include "Pikora/Capture/X11FrameSource.h"
#include "Pikora/Compressors/FrameConverter.h"
#include "Pikora/Compressors/KPJpegImageCompressor.h"
#include "Pikora/Compressors/KPh264ImageCompressor.h"
#include "Support/DispatchQueue.h"
#include "tests/Capture/XvfbServer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}
#include <QGuiApplication>
#include <QLoggingCategory>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sys/ipc.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <thread>
#include <xcb/shm.h>
#include <xcb/xcb.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kSrcW = 2880;
constexpr int kSrcH = 1800;
constexpr int kDstW = 1728;
constexpr int kDstH = 1080;

double processCpuMs()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double loadAverage()
{
    double load = 0;
    std::ifstream("/proc/loadavg") >> load;
    return load;
}

// ---- the scene driver: draws the test pattern onto an X display at 20 fps -------------

int driveScene(const char* display, double fps)
{
    xcb_connection_t* c = xcb_connect(display, nullptr);
    if (xcb_connection_has_error(c))
        return 1;
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const int W = screen->width_in_pixels;
    const int H = screen->height_in_pixels;
    const TestPatternScene scene(QSize(W, H));
    const std::size_t bytes = std::size_t(W) * H * 4;
    const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    auto* pixels = static_cast<std::uint8_t*>(shmat(id, nullptr, 0));
    const xcb_shm_seg_t seg = xcb_generate_id(c);
    xcb_shm_attach(c, seg, std::uint32_t(id), 1);
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    shmctl(id, IPC_RMID, nullptr);
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, screen->root, 0, nullptr);
    // Keep the pointer in a corner, out of the measured picture as far as possible.
    xcb_warp_pointer(c, XCB_NONE, screen->root, 0, 0, 0, 0, std::int16_t(W - 1), std::int16_t(H - 1));

    std::optional<std::uint64_t> previous;
    const auto period = std::chrono::nanoseconds(std::llround(1e9 / fps));
    auto next = Clock::now();
    for (std::uint64_t n = 0;; ++n) {
        const QRect r = scene.render(n, pixels, W * 4, previous);
        previous = n;
        // One request per frame, so a capture never sees half a frame.
        xcb_shm_put_image(c, screen->root, gc, std::uint16_t(W), std::uint16_t(H), std::uint16_t(r.x()),
                          std::uint16_t(r.y()), std::uint16_t(r.width()), std::uint16_t(r.height()),
                          std::int16_t(r.x()), std::int16_t(r.y()), 24, XCB_IMAGE_FORMAT_Z_PIXMAP, 0, seg, 0);
        free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        if (xcb_connection_has_error(c))
            return 0;
        next += period;
        std::this_thread::sleep_until(next);
    }
}

class SceneDriver
{
public:
    SceneDriver(const char* self, const QByteArray& display)
    {
        m_pid = fork();
        if (m_pid == 0) {
            execl(self, self, "--drive-scene", display.constData(), static_cast<char*>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(500ms); // first full frame drawn
    }
    ~SceneDriver()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }

private:
    pid_t m_pid = -1;
};

// ---- decoding and quality --------------------------------------------------------------

struct Picture
{
    int width = 0, height = 0;
    std::vector<std::uint8_t> luma;
};

class Decoder
{
public:
    Decoder()
    {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        m_ctx = avcodec_alloc_context3(codec);
        m_ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
        avcodec_open2(m_ctx, codec, nullptr);
        m_parser = av_parser_init(AV_CODEC_ID_H264);
        m_frame = av_frame_alloc();
        m_packet = av_packet_alloc();
    }
    ~Decoder()
    {
        av_parser_close(m_parser);
        avcodec_free_context(&m_ctx);
        av_frame_free(&m_frame);
        av_packet_free(&m_packet);
    }
    // Decodes one whole access unit.
    void decodeUnit(const QByteArray& unit, std::vector<Picture>& out)
    {
        av_new_packet(m_packet, int(unit.size()));
        memcpy(m_packet->data, unit.constData(), std::size_t(unit.size()));
        send(out);
    }
    // Decodes an Annex-B stream of any packetisation.
    void decodeStream(const QByteArray& stream, std::vector<Picture>& out)
    {
        const auto* data = reinterpret_cast<const std::uint8_t*>(stream.constData());
        int left = int(stream.size());
        while (left > 0 || data) {
            std::uint8_t* pkt = nullptr;
            int size = 0;
            const int used = av_parser_parse2(m_parser, m_ctx, &pkt, &size, left > 0 ? data : nullptr, left,
                                              AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
            if (left == 0)
                data = nullptr;
            else {
                data += used;
                left -= used;
            }
            if (size > 0) {
                av_new_packet(m_packet, size);
                memcpy(m_packet->data, pkt, std::size_t(size));
                send(out);
            } else if (!data) {
                break;
            }
        }
        avcodec_send_packet(m_ctx, nullptr);
        receive(out);
    }

private:
    void send(std::vector<Picture>& out)
    {
        avcodec_send_packet(m_ctx, m_packet);
        av_packet_unref(m_packet);
        receive(out);
    }
    void receive(std::vector<Picture>& out)
    {
        while (avcodec_receive_frame(m_ctx, m_frame) >= 0) {
            Picture p;
            p.width = m_frame->width;
            p.height = m_frame->height;
            p.luma.resize(std::size_t(p.width) * p.height);
            for (int y = 0; y < p.height; ++y)
                memcpy(p.luma.data() + std::size_t(y) * p.width,
                       m_frame->data[0] + std::size_t(y) * m_frame->linesize[0], std::size_t(p.width));
            out.push_back(std::move(p));
            av_frame_unref(m_frame);
        }
    }
    AVCodecContext* m_ctx = nullptr;
    AVCodecParserContext* m_parser = nullptr;
    AVFrame* m_frame = nullptr;
    AVPacket* m_packet = nullptr;
};

struct QualityResult
{
    int pictures = 0;
    int identified = 0;
    int measured = 0;
    double meanPsnr = 0;
    double minPsnr = 0;
};

// PSNR of the luma of every `step`-th picture against the Lanczos-downscaled source frame.
QualityResult measureQuality(const std::vector<Picture>& pictures, int step = 3)
{
    QualityResult q;
    q.pictures = int(pictures.size());
    const TestPatternScene scene(QSize(kSrcW, kSrcH));
    std::vector<std::uint8_t> source(std::size_t(kSrcW) * kSrcH * 4);
    std::vector<std::uint8_t> ref(std::size_t(kDstW) * kDstH), u(std::size_t(kDstW / 2) * (kDstH / 2)),
        v(u.size());
    SwsContext* sws = sws_getContext(kSrcW, kSrcH, AV_PIX_FMT_BGR0, kDstW, kDstH, AV_PIX_FMT_YUV420P,
                                     SWS_LANCZOS | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    std::uint64_t last = 0;
    bool found = false;
    double sum = 0;
    q.minPsnr = 1e9;
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        const Picture& p = pictures[i];
        if (p.width != kDstW || p.height != kDstH)
            continue;
        const std::uint64_t from = found ? (last > 5 ? last - 5 : 0) : 0;
        const std::uint64_t to = found ? last + 400 : 200000;
        const std::optional<std::uint64_t> n = scene.identifyFrame(
            p.luma.data(), p.width, QSize(p.width, p.height), double(kDstW) / kSrcW, from, to);
        if (!n)
            continue;
        ++q.identified;
        found = true;
        last = *n;
        if (i % std::size_t(step) != 0)
            continue;
        scene.render(*n, source.data(), kSrcW * 4);
        const std::uint8_t* src[1] = {source.data()};
        const int srcStride[1] = {kSrcW * 4};
        std::uint8_t* dst[3] = {ref.data(), u.data(), v.data()};
        const int dstStride[3] = {kDstW, kDstW / 2, kDstW / 2};
        sws_scale(sws, src, srcStride, 0, kSrcH, dst, dstStride);
        double se = 0;
        for (std::size_t k = 0; k < ref.size(); ++k) {
            const int d = int(ref[k]) - int(p.luma[k]);
            se += d * d;
        }
        const double mse = std::max(se / double(ref.size()), 1e-6);
        const double psnr = 10 * std::log10(255.0 * 255.0 / mse);
        sum += psnr;
        q.minPsnr = std::min(q.minPsnr, psnr);
        ++q.measured;
    }
    sws_freeContext(sws);
    q.meanPsnr = q.measured ? sum / q.measured : 0;
    if (!q.measured)
        q.minPsnr = 0;
    return q;
}

// ---- the transmitter the session hands over to ----------------------------------------

class RecordingTransmitter : public KPDataTransmitter
{
public:
    std::shared_ptr<KPPrototypeDevice> connectedDevice() const override { return nullptr; }
    int currentState() const override { return 0; }
    std::optional<KPSocketStatus> socketStatus() const override { return KPSocketStatus{}; }
    void sendH264Data(const QByteArray& unit, int, int) override
    {
        std::lock_guard lock(mutex);
        units.push_back(unit);
    }
    void sendImageWithData(const QByteArray& jpeg) override
    {
        std::lock_guard lock(mutex);
        units.push_back(jpeg);
    }
    void sendPCMData(const QByteArray&) override {}
    KPSplitScreenController* splitScreenController() override { return nullptr; }
    KPHIDEventController* HIDEventController() override { return nullptr; }
    KPDataTransmitterConferenceControl* conferenceController() override { return nullptr; }
    void cancelRequest() override {}

    std::mutex mutex;
    std::vector<QByteArray> units;
};

// ---- runs ------------------------------------------------------------------------------

struct RunResult
{
    std::string name;
    double seconds = 0;
    std::uint64_t ticks = 0, ticksWithoutFrame = 0, notReady = 0, sent = 0;
    double cpuPerFrame = 0; // whole process
    double captureCpu = 0;  // frame-source thread
    double convertCpu = 0, convertWall = 0;
    double encodeCallCpu = 0, encodeCallWall = 0;
    double otherCpu = 0; // encoder worker threads and the rest
    double p50 = 0, p99 = 0, maxLatency = 0;
    double kbps = 0;
    QualityResult quality;
    std::string encoder;
};

double percentile(std::vector<std::uint32_t> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(p * (v.size() - 1) + 0.5))] / 1000.0;
}

RunResult runSession(const std::string& name, KPDesktopImageProvider::FrameSourceFactory factory,
                     qint64 format, double seconds)
{
    RunResult r;
    r.name = name;
    KPDesktopImageProvider::setFrameSourceFactory(std::move(factory));
    auto tx = std::make_shared<RecordingTransmitter>();
    auto session = AVSessionUtility::create();
    session->setTransmitterProvider([tx] { return tx; });
    session->setDeviceNativeResolution(QSizeF(1920, 1080));
    const std::uint32_t display = KPDesktopImageProvider::mainDisplayID();
    session->startCapture(AbstractCaptureDevice::mainDisplay(display), format, 3);
    std::shared_ptr<KPDesktopImageProvider> provider = session->desktopImageProvider();
    std::this_thread::sleep_for(1s); // warm up: first frames, encoder start
    session->resetStatistics();
    const auto h264Stats0 =
        std::dynamic_pointer_cast<KPh264ImageCompressor>(session->compressor())
            ? std::dynamic_pointer_cast<KPh264ImageCompressor>(session->compressor())->statistics()
            : KPh264ImageCompressor::Statistics{};
    std::size_t units0;
    {
        std::lock_guard lock(tx->mutex);
        units0 = tx->units.size();
    }
    double capture0 = 0;
    provider->captureQueue().sync([&] { capture0 = threadCpuMs(); });
    const double cpu0 = processCpuMs();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double cpu1 = processCpuMs();
    double capture1 = 0;
    provider->captureQueue().sync([&] { capture1 = threadCpuMs(); });
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    const AVSessionUtility::Statistics stats = session->statistics();
    KPh264ImageCompressor::Statistics h264Stats{};
    if (auto h264 = std::dynamic_pointer_cast<KPh264ImageCompressor>(session->compressor())) {
        h264Stats = h264->statistics();
        r.encoder = h264->encoderName().toStdString();
    } else {
        r.encoder = "TurboJPEG (Lanczos scale)";
    }
    session->stopCapture();
    provider.reset();
    KPDesktopImageProvider::setFrameSourceFactory({});

    r.seconds = elapsed;
    r.ticks = stats.ticks;
    r.ticksWithoutFrame = stats.ticksWithoutFrame;
    r.notReady = stats.framesNotReady;
    r.sent = stats.picturesSent;
    const double frames = std::max<double>(1, double(stats.picturesSent));
    r.cpuPerFrame = (cpu1 - cpu0) / frames;
    r.captureCpu = (capture1 - capture0) / frames;
    const double submitted =
        std::max<double>(1, double(h264Stats.framesSubmitted - h264Stats0.framesSubmitted));
    r.convertCpu = (h264Stats.convertCpuMs - h264Stats0.convertCpuMs) / submitted;
    r.convertWall = (h264Stats.convertWallMs - h264Stats0.convertWallMs) / submitted;
    r.encodeCallCpu = (h264Stats.encodeCpuMs - h264Stats0.encodeCpuMs) / submitted;
    r.encodeCallWall = (h264Stats.encodeWallMs - h264Stats0.encodeWallMs) / submitted;
    r.otherCpu = r.cpuPerFrame - r.captureCpu - (format == 2 ? r.convertCpu + r.encodeCallCpu : 0);
    r.p50 = percentile(stats.latenciesUs, 0.50);
    r.p99 = percentile(stats.latenciesUs, 0.99);
    r.maxLatency = percentile(stats.latenciesUs, 1.0);
    r.kbps = double(stats.bytesSent) * 8 / elapsed / 1000;

    if (format == 2) {
        // Decode everything from the first key frame on; measure the pictures of the window.
        std::vector<QByteArray> units;
        {
            std::lock_guard lock(tx->mutex);
            units = tx->units;
        }
        Decoder decoder;
        std::vector<Picture> all;
        for (const QByteArray& unit : units)
            decoder.decodeUnit(unit, all);
        std::vector<Picture> window(all.begin() + std::min(all.size(), units0), all.end());
        r.quality = measureQuality(window);
    }
    return r;
}

RunResult runFfmpeg(const QByteArray& display, double seconds, const std::string& output)
{
    RunResult r;
    r.name = "ffmpeg x11grab + libx264 ultrafast";
    r.encoder = "libx264 (ffmpeg)";
    const std::string size = std::to_string(kSrcW) + "x" + std::to_string(kSrcH);
    const std::string duration = std::to_string(seconds + 1);
    const auto t0 = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, STDERR_FILENO);
        dup2(devnull, STDOUT_FILENO);
        execlp("ffmpeg", "ffmpeg", "-nostdin", "-y", "-f", "x11grab", "-framerate", "20", "-video_size",
               size.c_str(), "-i", display.constData(), "-t", duration.c_str(), "-vf", "scale=1728:1080",
               "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency", "-g", "15", "-b:v", "3.2M",
               "-f", "h264", output.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu =
        (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
    QByteArray stream;
    if (FILE* f = fopen(output.c_str(), "rb")) {
        std::vector<char> buffer(1 << 20);
        std::size_t n;
        while ((n = fread(buffer.data(), 1, buffer.size(), f)) > 0)
            stream.append(buffer.data(), qsizetype(n));
        fclose(f);
    }
    Decoder decoder;
    std::vector<Picture> pictures;
    decoder.decodeStream(stream, pictures);
    r.sent = pictures.size();
    r.cpuPerFrame = cpu / std::max<double>(1, double(pictures.size()));
    r.kbps = double(stream.size()) * 8 / std::max(1.0, double(pictures.size()) / 20.0) / 1000;
    r.quality = measureQuality(pictures);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::fprintf(stderr, "ffmpeg exited with status %d\n", status);
    return r;
}

void printRun(const RunResult& r)
{
    std::printf("\n### %s\n", r.name.c_str());
    std::printf("encoder: %s; measured %.1f s\n", r.encoder.c_str(), r.seconds);
    if (r.ticks)
        std::printf("ticks %llu, ticks without a frame %llu, not ready %llu, pictures handed over %llu "
                    "(dropped %llu)\n",
                    (unsigned long long)r.ticks, (unsigned long long)r.ticksWithoutFrame,
                    (unsigned long long)r.notReady, (unsigned long long)r.sent,
                    (unsigned long long)(r.ticks > r.sent ? r.ticks - r.sent : 0));
    else
        std::printf("pictures encoded %llu\n", (unsigned long long)r.sent);
    std::printf("CPU per frame: total %.2f ms", r.cpuPerFrame);
    if (r.ticks)
        std::printf(
            " = capture thread %.2f + convert/scale %.2f + encoder call %.2f + encoder threads/other %.2f",
            r.captureCpu, r.convertCpu, r.encodeCallCpu, r.otherCpu);
    std::printf("\n");
    if (r.ticks) {
        if (r.convertWall > 0)
            std::printf("wall per frame: convert/scale %.2f ms, encode %.2f ms\n", r.convertWall,
                        r.encodeCallWall);
        std::printf("tick -> hand-over: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", r.p50, r.p99, r.maxLatency);
    }
    std::printf("bit rate %.0f kbit/s\n", r.kbps);
    if (r.quality.pictures)
        std::printf(
            "quality: %d pictures, %d identified, luma PSNR mean %.2f dB, min %.2f dB (%d measured)\n",
            r.quality.pictures, r.quality.identified, r.quality.meanPsnr, r.quality.minPsnr,
            r.quality.measured);
}

void stageBenchmarks()
{
    std::printf("\n### Stages alone (one thread, %dx%d test pattern -> %dx%d)\n", kSrcW, kSrcH, kDstW, kDstH);
    const TestPatternScene scene(QSize(kSrcW, kSrcH));
    auto pool = SurfacePool::create(2, kSrcW, kSrcH);
    std::shared_ptr<CaptureSurface> surface = pool->acquire();
    scene.render(7, surface->mutableData(), surface->bytesPerRow());
    std::vector<std::uint8_t> y(std::size_t(kDstW) * kDstH), u(y.size() / 4), v(y.size() / 4);
    std::uint8_t* planes[3] = {y.data(), u.data(), v.data()};
    const int strides[3] = {kDstW, kDstW / 2, kDstW / 2};
    for (auto method : {FrameConverter::Method::Libyuv, FrameConverter::Method::Swscale}) {
        FrameConverter converter(method);
        converter.convert(surface->data(), surface->bytesPerRow(), kSrcW, kSrcH, planes, strides, kDstW,
                          kDstH, FrameConverter::Layout::I420);
        const int n = 40;
        const double c0 = threadCpuMs();
        const auto w0 = Clock::now();
        for (int i = 0; i < n; ++i)
            converter.convert(surface->data(), surface->bytesPerRow(), kSrcW, kSrcH, planes, strides, kDstW,
                              kDstH, FrameConverter::Layout::I420);
        std::printf("convert+scale BGRX->I420 %s: CPU %.2f ms, wall %.2f ms per frame\n",
                    method == FrameConverter::Method::Libyuv ? "libyuv convert + swscale bicubic/area, banded"
                                                             : "libswscale (bilinear)",
                    (threadCpuMs() - c0) / n,
                    std::chrono::duration<double, std::milli>(Clock::now() - w0).count() / n);
    }
    KPJpegImageCompressor jpeg;
    jpeg.setResolution(QSizeF(kDstW, kDstH));
    jpeg.setJpegQuality(0.7);
    qsizetype bytes = 0;
    const int n = 15;
    const double c0 = threadCpuMs();
    const auto w0 = Clock::now();
    for (int i = 0; i < n; ++i)
        jpeg.compressRawImage(std::make_shared<PixelBuffer>(surface),
                              [&](const QByteArray& data, qint64, qint64) { bytes = data.size(); });
    std::printf("JPEG 0.7 (Lanczos scale + TurboJPEG): CPU %.2f ms, wall %.2f ms per frame, %lld bytes\n",
                (threadCpuMs() - c0) / n,
                std::chrono::duration<double, std::milli>(Clock::now() - w0).count() / n, (long long)bytes);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "--drive-scene") == 0)
        return driveScene(argv[2], 20.0);

    double seconds = 10;
    bool x11 = true;
    bool ffmpeg = true;
    QSize portalSize; // the Wayland screen's size, when the portal path is measured
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--no-x11") == 0)
            x11 = false;
        else if (std::strcmp(argv[i], "--no-ffmpeg") == 0)
            ffmpeg = false;
        else if (std::strcmp(argv[i], "--portal") == 0 && i + 1 < argc)
            portalSize =
                QSize(std::atoi(argv[i + 1]),
                      std::atoi(std::strchr(argv[i + 1], 'x') ? std::strchr(argv[i + 1], 'x') + 1 : "0")),
            ++i;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("pikora.*.info=false"));
    KPh264ImageCompressor::setEncoderCandidates(KPh264ImageCompressor::encoderCandidates());

    std::printf("## Capture benchmark: %dx%d -> %dx%d, quality 3 (3.2 Mbit/s), 20 fps, key frame every 15\n",
                kSrcW, kSrcH, kDstW, kDstH);
    std::printf("cores: %u, load average at start: %.2f\n", std::thread::hardware_concurrency(),
                loadAverage());

    stageBenchmarks();

    std::vector<RunResult> runs;
    runs.push_back(runSession(
        "Capture session, test pattern source, H.264",
        [] { return std::make_unique<TestPatternFrameSource>(QSize(kSrcW, kSrcH), 2.0); }, 2, seconds));
    printRun(runs.back());
    runs.push_back(runSession(
        "Capture session, test pattern source, JPEG 0.7",
        [] { return std::make_unique<TestPatternFrameSource>(QSize(kSrcW, kSrcH), 2.0); }, 1, seconds / 2));
    printRun(runs.back());

    if (x11 && XvfbServer::available()) {
        XvfbServer server(QSize(kSrcW, kSrcH));
        if (!server.running()) {
            std::printf("\nXvfb did not start; X11 runs skipped\n");
        } else {
            SceneDriver driver(argv[0], server.display());
            const QByteArray display = server.display();
            RunResult ours = runSession(
                "Capture session, X11 (MIT-SHM) of the scene on Xvfb, H.264",
                [display] { return std::make_unique<X11FrameSource>(display); }, 2, seconds);
            printRun(ours);
            if (ffmpeg) {
                const std::string out = "/tmp/pikora-capture-bench-ffmpeg.h264";
                RunResult theirs = runFfmpeg(display, seconds, out);
                std::remove(out.c_str());
                printRun(theirs);
                std::printf("\n### Same screen, side by side\n");
                std::printf("CPU per frame: ours %.2f ms, ffmpeg %.2f ms, ratio %.2f\n", ours.cpuPerFrame,
                            theirs.cpuPerFrame, ours.cpuPerFrame / std::max(1e-9, theirs.cpuPerFrame));
                std::printf(
                    "luma PSNR: ours %.2f dB, ffmpeg %.2f dB; bit rate: ours %.0f, ffmpeg %.0f kbit/s\n",
                    ours.quality.meanPsnr, theirs.quality.meanPsnr, ours.kbps, theirs.kbps);
            }
        }
    }
    if (portalSize.isValid()) {
        // The screen is whatever the session shows: no barcode, so no quality figure.
        PortalFrameSource::setSizeHint([portalSize] { return portalSize; });
        RunResult portal = runSession(
            "Capture session, ScreenCast portal + PipeWire (Wayland session), H.264",
            [] { return std::make_unique<PortalFrameSource>(); }, 2, seconds);
        printRun(portal);
    }
    std::printf("\nload average at end: %.2f\n", loadAverage());
    return 0;
}
