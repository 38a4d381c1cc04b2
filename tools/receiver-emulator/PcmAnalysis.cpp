#include "PcmAnalysis.h"

#include "Support/WavHeader.h"

#include <QSaveFile>
#include <QtEndian>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/tx.h>
}

namespace PcmAnalysis {

namespace {
struct TxDeleter
{
    void operator()(AVTXContext* tx) const { av_tx_uninit(&tx); }
};
struct AvFreeDeleter
{
    void operator()(void* p) const { av_free(p); }
};
constexpr int kMinFrames = 4096;
constexpr int kMaxFrames = 65536;
} // namespace

double dominantFrequency(const QByteArray& pcm, int sampleRate)
{
    const qsizetype frames = pcm.size() / kBytesPerFrame;
    if (frames < kMinFrames || sampleRate <= 0)
        return 0;
    int n = kMinFrames;
    while (n * 2 <= frames && n * 2 <= kMaxFrames)
        n *= 2;
    const char* start = pcm.constData() + (frames - n) * kBytesPerFrame;

    AVTXContext* raw = nullptr;
    av_tx_fn fft = nullptr;
    float scale = 1.0f;
    if (av_tx_init(&raw, &fft, AV_TX_FLOAT_FFT, 0, n, &scale, 0) < 0 || !raw)
        return 0;
    std::unique_ptr<AVTXContext, TxDeleter> tx(raw);
    // The transform's SIMD code wants its own alignment.
    std::unique_ptr<AVComplexFloat, AvFreeDeleter> inBuffer(
        static_cast<AVComplexFloat*>(av_malloc(sizeof(AVComplexFloat) * std::size_t(n))));
    std::unique_ptr<AVComplexFloat, AvFreeDeleter> outBuffer(
        static_cast<AVComplexFloat*>(av_malloc(sizeof(AVComplexFloat) * std::size_t(n))));
    if (!inBuffer || !outBuffer)
        return 0;
    AVComplexFloat* in = inBuffer.get();
    AVComplexFloat* out = outBuffer.get();
    double energy = 0;
    for (int i = 0; i < n; ++i) {
        const float sample = float(qFromLittleEndian<qint16>(start + i * kBytesPerFrame));
        const float window = 0.5f - 0.5f * std::cos(2.0f * float(M_PI) * float(i) / float(n - 1)); // Hann
        in[std::size_t(i)] = {sample * window, 0.0f};
        energy += double(sample) * sample;
    }
    if (energy / n < 1.0) // below one step of the 16-bit scale: silence
        return 0;
    fft(tx.get(), out, in, sizeof(AVComplexFloat));

    auto magnitude = [&](int k) {
        const AVComplexFloat c = out[std::size_t(k)];
        return std::sqrt(double(c.re) * c.re + double(c.im) * c.im);
    };
    int peak = 1;
    for (int k = 2; k < n / 2; ++k)
        if (magnitude(k) > magnitude(peak))
            peak = k;
    // Parabolic interpolation on the log magnitudes of the peak and its neighbours.
    double offset = 0;
    if (peak > 1 && peak < n / 2 - 1) {
        const double a = std::log(magnitude(peak - 1) + 1e-9);
        const double b = std::log(magnitude(peak) + 1e-9);
        const double c = std::log(magnitude(peak + 1) + 1e-9);
        const double denominator = a - 2 * b + c;
        if (denominator != 0)
            offset = 0.5 * (a - c) / denominator;
    }
    return (peak + offset) * sampleRate / n;
}

double rmsLevel(const QByteArray& pcm)
{
    const qsizetype samples = pcm.size() / 2;
    if (samples == 0)
        return 0;
    double sum = 0;
    for (qsizetype i = 0; i < samples; ++i) {
        const double s = qFromLittleEndian<qint16>(pcm.constData() + i * 2);
        sum += s * s;
    }
    return std::sqrt(sum / double(samples));
}

bool writeWav(const QString& path, const QByteArray& pcm, QString* error)
{
    QSaveFile file(path);
    const QByteArray header = ::wavHeader(quint32(pcm.size()), kSampleRate, kChannels);
    if (!file.open(QIODevice::WriteOnly) || file.write(header) != header.size() ||
        file.write(pcm) != pcm.size() || !file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace PcmAnalysis
