#include "Pikora/Capture/StreamFrameAssembler.h"

#include "Pikora/Capture/SurfacePool.h"

namespace {

// Generations of lent surfaces: a range of their own, apart from the pools' counter.
std::atomic<std::uint64_t> g_lentGeneration{std::uint64_t(1) << 62};

// The pixels of a stream buffer, borrowed until the surface over them goes.
class LentMemory final : public SurfaceMemory
{
public:
    LentMemory(const std::uint8_t* pixels, std::size_t size, std::shared_ptr<void> keepAlive,
               StreamFrameAssembler::GiveBack giveBack, std::shared_ptr<std::atomic<int>> lent)
        : m_pixels(const_cast<std::uint8_t*>(pixels)), m_size(size), m_keepAlive(std::move(keepAlive)),
          m_giveBack(std::move(giveBack)), m_lent(std::move(lent))
    {
        m_lent->fetch_add(1);
    }
    ~LentMemory() override
    {
        m_lent->fetch_sub(1);
        if (m_giveBack)
            m_giveBack();
    }
    // Read-only in practice: nothing downstream writes into a captured surface.
    std::uint8_t* data() override { return m_pixels; }
    std::size_t size() const override { return m_size; }

private:
    std::uint8_t* m_pixels;
    std::size_t m_size;
    std::shared_ptr<void> m_keepAlive;
    StreamFrameAssembler::GiveBack m_giveBack;
    std::shared_ptr<std::atomic<int>> m_lent;
};

} // namespace

StreamFrameAssembler::StreamFrameAssembler() = default;
StreamFrameAssembler::~StreamFrameAssembler() = default;

void StreamFrameAssembler::setBufferCount(int count)
{
    m_bufferCount.store(count < 0 ? 0 : count);
}

StreamFrameAssembler::Outcome StreamFrameAssembler::take(const StreamFrameLayout::Buffer& buffer,
                                                         bool lendable, std::shared_ptr<void> keepAlive,
                                                         GiveBack giveBack)
{
    Outcome out;
    StreamFrameLayout::View view;
    out.result = StreamFrameLayout::locate(buffer, view);
    if (out.result != StreamFrameLayout::Result::Ok) {
        ++m_framesRefused;
        if (giveBack)
            giveBack();
        return out;
    }

    const bool mayLend = lendable && StreamFrameLayout::isNativeOrder(view.format) &&
                         m_lent->load() < m_bufferCount.load() - kProducerReserve;
    if (mayLend) {
        const std::size_t bytes =
            std::size_t(view.height - 1) * std::size_t(view.bytesPerRow) + std::size_t(view.width) * 4;
        auto memory = std::make_unique<LentMemory>(view.pixels, bytes, std::move(keepAlive),
                                                   std::move(giveBack), m_lent);
        out.surface = CaptureSurface::wrap(std::move(memory), view.width, view.height, view.bytesPerRow,
                                           ++g_lentGeneration);
        out.surface->sequence = ++m_sequence;
        out.lent = true;
        ++m_framesLent;
        return out;
    }

    std::shared_ptr<CaptureSurface> surface;
    {
        std::lock_guard lock(m_poolMutex);
        if (!m_pool || m_pool->width() != view.width || m_pool->height() != view.height)
            m_pool = SurfacePool::create(kPoolCapacity, view.width, view.height);
        surface = m_pool->acquire();
    }
    if (surface) {
        StreamFrameLayout::copyToBGRX(view, surface->mutableData(), surface->bytesPerRow());
        surface->sequence = ++m_sequence;
        ++m_framesCopied;
        out.surface = std::move(surface);
    } else {
        ++m_framesSkipped;
    }
    if (giveBack)
        giveBack();
    return out;
}
