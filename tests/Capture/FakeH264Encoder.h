#pragma once

#include "Pikora/Compressors/H264Encoder.h"

#include <atomic>
#include <functional>
#include <vector>

// An encoder double: opens at any size, takes pictures into its own planes and emits a
// made-up access unit per picture (an IDR slice on the first picture, every `keyInterval`
// pictures and when asked; else a plain slice) of `packetBytes` bytes. It can fail from a
// given picture on, and reports what it was asked through shared counters.
class FakeH264Encoder : public H264Encoder
{
public:
    struct Log
    {
        std::atomic<int> opens{0};
        std::atomic<int> encodes{0};
        std::atomic<int> forcedKeys{0};
        std::vector<Config> configs;     // of every open (written on the opening thread)
        std::vector<double> rateBuffers; // every setRateBufferSeconds(), in seconds
    };

    FakeH264Encoder(QString name, bool hardware, Log& log)
        : m_name(std::move(name)), m_hardware(hardware), m_log(log)
    {
    }

    // Pictures from this one on (counted from 0) make encode() fail; -1: never.
    int failFrom = -1;
    // Size of each packet, including its start code and NAL header; at least 6.
    std::function<qsizetype(int picture, bool key)> packetBytes = [](int, bool key) {
        return key ? 4000 : 1000;
    };
    // The quantiser each packet reports; -1: none, as some hardware encoders.
    std::function<int(int picture, bool key)> quantiser = [](int, bool) { return -1; };
    int keyInterval = 15;
    // Whether setRateBufferSeconds() is taken (as libx264 does) or refused (hardware).
    bool takesRateBuffer = true;

    bool open(const Config& config) override
    {
        ++m_log.opens;
        m_log.configs.push_back(config);
        m_config = config;
        m_luma.assign(std::size_t(config.width) * std::size_t(config.height), 0);
        m_chroma.assign(2 * std::size_t((config.width + 1) / 2) * std::size_t((config.height + 1) / 2), 0);
        return true;
    }
    QString name() const override { return m_name; }
    bool isHardware() const override { return m_hardware; }
    bool rateLimited() const override { return true; }
    FrameConverter::Layout layout() const override { return FrameConverter::Layout::I420; }
    H264AccessUnit::ParameterSets parameterSets() const override
    {
        H264AccessUnit::ParameterSets sets;
        sets.sps = QByteArray("\x67\x4d\x00\x1f\x11\x22", 6);
        sets.pps = QByteArray("\x68\xee\x3c\x80", 4);
        return sets;
    }
    std::optional<Picture> picture() override
    {
        Picture p;
        const int cw = (m_config.width + 1) / 2;
        const std::size_t chromaPlane = std::size_t(cw) * std::size_t((m_config.height + 1) / 2);
        p.planes = {m_luma.data(), m_chroma.data(), m_chroma.data() + chromaPlane};
        p.strides = {m_config.width, cw, cw};
        return p;
    }
    bool encode(std::int64_t, bool forceKeyFrame, std::vector<Packet>& out) override
    {
        const int n = m_pictures++;
        ++m_log.encodes;
        if (failFrom >= 0 && n >= failFrom)
            return false;
        m_log.forcedKeys += forceKeyFrame ? 1 : 0;
        const bool key = n == 0 || forceKeyFrame || (keyInterval > 0 && m_sinceKey + 1 >= keyInterval);
        m_sinceKey = key ? 0 : m_sinceKey + 1;
        const qsizetype size = std::max<qsizetype>(6, packetBytes(n, key));
        QByteArray data(size, '\x11');
        data[0] = data[1] = data[2] = 0;
        data[3] = 1;
        data[4] = key ? '\x65' : '\x41';
        out.push_back({data, key, quantiser(n, key)});
        return true;
    }

    bool setRateBufferSeconds(double seconds) override
    {
        if (!takesRateBuffer)
            return false;
        m_log.rateBuffers.push_back(seconds);
        return true;
    }

private:
    QString m_name;
    bool m_hardware;
    Log& m_log;
    Config m_config;
    std::vector<std::uint8_t> m_luma;
    std::vector<std::uint8_t> m_chroma;
    int m_pictures = 0;
    int m_sinceKey = 0;
};
