#pragma once

#include "Pikora/Capture/CaptureSurface.h"
#include "Pikora/Capture/StreamFrameLayout.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

class SurfacePool;

// Turns the buffers of a screen-cast stream into capture surfaces, without the stream library
// (so it can be driven by recorded buffer descriptions). A buffer in the encoders' byte order
// whose memory stays mapped on its own ("lendable") is handed on as it is: the surface keeps
// the buffer, and gives it back to the stream when the last reference goes. Lending stops
// while the producer would be left with fewer than kProducerReserve buffers; then, and for
// every other format or memory type, the picture is copied (and swizzled) into a small pool.
// Either way the stream's buffer is given back exactly once.
class StreamFrameAssembler
{
public:
    // Gives a buffer back to the stream; may be called on any thread, also after the stream
    // has gone (it must then do nothing).
    using GiveBack = std::function<void()>;

    static constexpr int kProducerReserve = 2;
    static constexpr int kPoolCapacity = 4;

    StreamFrameAssembler();
    ~StreamFrameAssembler();

    // How many buffers the stream has; 0 until it says.
    void setBufferCount(int count);

    struct Outcome
    {
        std::shared_ptr<CaptureSurface> surface; // null when nothing is delivered
        StreamFrameLayout::Result result = StreamFrameLayout::Result::Ok;
        bool lent = false;
    };

    // `keepAlive` keeps the buffer's memory mapped while a lent surface exists.
    Outcome take(const StreamFrameLayout::Buffer& buffer, bool lendable, std::shared_ptr<void> keepAlive,
                 GiveBack giveBack);

    int lentOut() const { return m_lent->load(); }
    std::uint64_t framesLent() const { return m_framesLent.load(); }
    std::uint64_t framesCopied() const { return m_framesCopied.load(); }
    std::uint64_t framesRefused() const { return m_framesRefused.load(); }
    // Good buffers dropped because every pooled surface was still held downstream.
    std::uint64_t framesSkipped() const { return m_framesSkipped.load(); }

private:
    std::shared_ptr<std::atomic<int>> m_lent = std::make_shared<std::atomic<int>>(0);
    std::atomic<int> m_bufferCount{0};
    std::mutex m_poolMutex;
    std::shared_ptr<SurfacePool> m_pool;
    std::atomic<std::uint64_t> m_framesLent{0};
    std::atomic<std::uint64_t> m_framesCopied{0};
    std::atomic<std::uint64_t> m_framesRefused{0};
    std::atomic<std::uint64_t> m_framesSkipped{0};
    std::uint64_t m_sequence = 0;
};
