#include "Pikora/Capture/SurfacePool.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

namespace {

class HeapMemory final : public SurfaceMemory
{
public:
    explicit HeapMemory(std::size_t bytes) : m_size(bytes)
    {
        // 64-byte alignment keeps the SIMD converters on their fast paths.
        m_data = static_cast<std::uint8_t*>(std::aligned_alloc(64, (bytes + 63) / 64 * 64));
        if (!m_data)
            throw std::bad_alloc();
    }
    ~HeapMemory() override { std::free(m_data); }
    std::uint8_t* data() override { return m_data; }
    std::size_t size() const override { return m_size; }

private:
    std::uint8_t* m_data = nullptr;
    std::size_t m_size;
};

} // namespace

std::unique_ptr<SurfaceMemory> SurfacePool::heapMemory(std::size_t bytes)
{
    return std::make_unique<HeapMemory>(bytes);
}

std::shared_ptr<SurfacePool> SurfacePool::create(int capacity, int width, int height, MemoryFactory factory)
{
    return std::shared_ptr<SurfacePool>(new SurfacePool(capacity, width, height, std::move(factory)));
}

SurfacePool::SurfacePool(int capacity, int width, int height, MemoryFactory factory)
    : m_slots(static_cast<std::size_t>(std::max(capacity, 1))), m_width(std::max(width, 0)),
      m_height(std::max(height, 0)),
      m_factory(factory ? std::move(factory) : MemoryFactory(&SurfacePool::heapMemory))
{
}

SurfacePool::~SurfacePool() = default;

std::shared_ptr<CaptureSurface> SurfacePool::acquire()
{
    std::unique_lock lock(m_mutex);
    for (std::size_t i = 0; i < m_slots.size(); ++i) {
        Slot& slot = m_slots[i];
        if (slot.busy)
            continue;
        if (!slot.surface) {
            const std::size_t bytes = std::size_t(bytesPerRow()) * std::size_t(m_height);
            std::unique_ptr<SurfaceMemory> memory;
            try {
                memory = m_factory(bytes);
            } catch (const std::exception&) {
                return nullptr;
            }
            if (!memory || memory->size() < bytes)
                return nullptr;
            auto surface = std::make_unique<CaptureSurface>();
            surface->m_memory = std::move(memory);
            surface->m_width = m_width;
            surface->m_height = m_height;
            surface->m_bytesPerRow = bytesPerRow();
            surface->m_slot = static_cast<int>(i);
            slot.surface = std::move(surface);
        }
        slot.busy = true;
        static std::atomic<std::uint64_t> generations{0};
        slot.surface->m_generation = ++generations;
        std::shared_ptr<SurfacePool> self = shared_from_this();
        CaptureSurface* raw = slot.surface.get();
        return std::shared_ptr<CaptureSurface>(raw, [self](CaptureSurface* s) { self->release(s->slot()); });
    }
    return nullptr;
}

void SurfacePool::release(int slot)
{
    std::lock_guard lock(m_mutex);
    if (slot >= 0 && std::size_t(slot) < m_slots.size())
        m_slots[std::size_t(slot)].busy = false;
}

int SurfacePool::inUse() const
{
    std::lock_guard lock(m_mutex);
    int n = 0;
    for (const Slot& slot : m_slots)
        n += slot.busy ? 1 : 0;
    return n;
}
