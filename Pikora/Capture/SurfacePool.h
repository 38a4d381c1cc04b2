#pragma once

#include "Pikora/Capture/CaptureSurface.h"

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// A fixed number of equally sized surfaces. acquire() hands out a free one (allocating its
// memory on first use) or nothing when every surface is still held; a surface returns to the
// pool when its last shared pointer goes away, from any thread. Outstanding surfaces keep
// the pool alive.
class SurfacePool : public std::enable_shared_from_this<SurfacePool>
{
public:
    using MemoryFactory = std::function<std::unique_ptr<SurfaceMemory>(std::size_t bytes)>;

    static std::shared_ptr<SurfacePool> create(int capacity, int width, int height,
                                               MemoryFactory factory = {});
    ~SurfacePool();

    std::shared_ptr<CaptureSurface> acquire();

    int capacity() const { return static_cast<int>(m_slots.size()); }
    int inUse() const;
    int width() const { return m_width; }
    int height() const { return m_height; }
    int bytesPerRow() const { return m_width * 4; }

    static std::unique_ptr<SurfaceMemory> heapMemory(std::size_t bytes);

private:
    SurfacePool(int capacity, int width, int height, MemoryFactory factory);
    void release(int slot);

    struct Slot
    {
        std::unique_ptr<CaptureSurface> surface;
        bool busy = false;
    };
    mutable std::mutex m_mutex;
    std::vector<Slot> m_slots;
    int m_width;
    int m_height;
    MemoryFactory m_factory;
};
