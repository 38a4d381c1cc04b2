#pragma once

#include "Pikora/Capture/RowSpan.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

// Memory a frame source captures into (heap, or shared memory with the display server).
class SurfaceMemory
{
public:
    virtual ~SurfaceMemory() = default;
    virtual std::uint8_t* data() = 0;
    virtual std::size_t size() const = 0;
};

// One captured picture: 32-bit pixels with the bytes B, G, R, A (or X) in memory order.
// Surfaces belong to a SurfacePool and are handed out as shared pointers; the pool takes a
// surface back when its last reference is dropped, so a surface's pixels never change while
// anyone still holds it.
class CaptureSurface
{
public:
    const std::uint8_t* data() const { return m_memory->data(); }
    std::uint8_t* mutableData() { return m_memory->data(); }
    int width() const { return m_width; }
    int height() const { return m_height; }
    int bytesPerRow() const { return m_bytesPerRow; }

    SurfaceMemory* memory() const { return m_memory.get(); }
    int slot() const { return m_slot; }
    // Unique in the process for each time a surface is handed out to be filled: equal
    // generations mean the same pixels.
    std::uint64_t generation() const { return m_generation; }

    // Free for the frame source's own bookkeeping; kept while the slot is reused, so a
    // source can tell what the slot held last time (e.g. which frame it drew into it).
    std::uint64_t contentTag = 0;
    // Monotonic number of the capture that filled the surface.
    std::uint64_t sequence = 0;
    // When the pixels were read from the display (steady clock); unset when unknown.
    std::optional<std::chrono::steady_clock::time_point> captureTime;

    // What changed, as far as the frame source knows: for a few earlier pictures of the same
    // stream (by generation), the rows in which this picture differs from each. A consumer
    // that still holds the result of one of them needs to redo only those rows.
    struct Changes
    {
        std::uint64_t since = 0;
        std::vector<RowSpan> rows;
    };
    std::vector<Changes> changes;

    // The rows changed since the picture of `generation`; none when the source cannot tell.
    std::optional<std::vector<RowSpan>> changedRowsSince(std::uint64_t earlierGeneration) const
    {
        if (earlierGeneration == 0)
            return std::nullopt;
        for (const Changes& c : changes)
            if (c.since == earlierGeneration)
                return c.rows;
        return std::nullopt;
    }

    // A surface over memory that some other owner lends (a stream's buffer): not pooled; the
    // memory object gives the pixels back when the last reference goes. `data()` is the first
    // pixel; `generation` must be unique in the process (see generation()).
    static std::shared_ptr<CaptureSurface> wrap(std::unique_ptr<SurfaceMemory> memory, int width, int height,
                                                int bytesPerRow, std::uint64_t generation)
    {
        auto surface = std::make_shared<CaptureSurface>();
        surface->m_memory = std::move(memory);
        surface->m_width = width;
        surface->m_height = height;
        surface->m_bytesPerRow = bytesPerRow;
        surface->m_generation = generation;
        return surface;
    }

private:
    friend class SurfacePool;
    std::unique_ptr<SurfaceMemory> m_memory;
    int m_width = 0;
    int m_height = 0;
    int m_bytesPerRow = 0;
    int m_slot = -1;
    std::uint64_t m_generation = 0;
};
