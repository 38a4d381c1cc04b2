#pragma once

#include "Pikora/Capture/CaptureSurface.h"

#include <cstdint>
#include <memory>

// A picture handed from the frame source to a compressor: a reference to a captured surface,
// not a copy. Hold it through std::shared_ptr; the surface goes back to its pool once every
// buffer over it (and the frame source) has let go.
class PixelBuffer
{
public:
    explicit PixelBuffer(std::shared_ptr<const CaptureSurface> surface);

    const std::uint8_t* baseAddress() const { return m_surface->data(); }
    int width() const { return m_surface->width(); }
    int height() const { return m_surface->height(); }
    int bytesPerRow() const { return m_surface->bytesPerRow(); }
    const CaptureSurface* surface() const { return m_surface.get(); }

private:
    std::shared_ptr<const CaptureSurface> m_surface;
};
