#pragma once

#include <QByteArray>
#include <QString>

// What the receiver makes of the PCM it is sent (signed 16-bit little-endian, interleaved
// stereo, 44,100 Hz): the strongest frequency and the level, and a WAV file of it.
namespace PcmAnalysis {

constexpr int kSampleRate = 44100;
constexpr int kChannels = 2;
constexpr int kBytesPerFrame = 4;

// Strongest frequency of the left channel over (at most) the last 65,536 frames, in hertz,
// interpolated between transform bins (within a fraction of a hertz for a clean tone); 0 for
// silence or less than 4,096 frames.
double dominantFrequency(const QByteArray& pcm, int sampleRate = kSampleRate);
// Root-mean-square level of all samples, 0 to 32,768.
double rmsLevel(const QByteArray& pcm);
// Writes header and samples atomically; false with `error` filled on failure.
bool writeWav(const QString& path, const QByteArray& pcm, QString* error = nullptr);

} // namespace PcmAnalysis
