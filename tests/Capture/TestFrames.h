#pragma once

#include "Pikora/Capture/PixelBuffer.h"
#include "Pikora/Capture/SurfacePool.h"
#include "Pikora/Capture/TestPatternScene.h"

#include <memory>

// Pictures of the test scene as the frame source would deliver them.
class TestFrames
{
public:
    explicit TestFrames(QSize size, int poolDepth = 4)
        : m_scene(size), m_pool(SurfacePool::create(poolDepth, size.width(), size.height()))
    {
    }
    std::shared_ptr<PixelBuffer> frame(std::uint64_t n)
    {
        std::shared_ptr<CaptureSurface> surface = m_pool->acquire();
        if (!surface)
            return nullptr;
        std::optional<std::uint64_t> previous;
        if (surface->contentTag)
            previous = surface->contentTag - 1;
        m_scene.render(n, surface->mutableData(), surface->bytesPerRow(), previous);
        surface->contentTag = n + 1;
        return std::make_shared<PixelBuffer>(surface);
    }
    // A plain picture of one colour (B, G, R).
    std::shared_ptr<PixelBuffer> solid(std::uint8_t b, std::uint8_t g, std::uint8_t r)
    {
        std::shared_ptr<CaptureSurface> surface = m_pool->acquire();
        if (!surface)
            return nullptr;
        for (int y = 0; y < surface->height(); ++y)
            for (int x = 0; x < surface->width(); ++x) {
                std::uint8_t* p = surface->mutableData() + std::size_t(y) * surface->bytesPerRow() + x * 4;
                p[0] = b;
                p[1] = g;
                p[2] = r;
                p[3] = 255;
            }
        surface->contentTag = 0;
        return std::make_shared<PixelBuffer>(surface);
    }
    const TestPatternScene& scene() const { return m_scene; }
    SurfacePool& pool() { return *m_pool; }

private:
    TestPatternScene m_scene;
    std::shared_ptr<SurfacePool> m_pool;
};
