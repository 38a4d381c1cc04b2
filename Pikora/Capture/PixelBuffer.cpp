#include "Pikora/Capture/PixelBuffer.h"

#include <stdexcept>

PixelBuffer::PixelBuffer(std::shared_ptr<const CaptureSurface> surface) : m_surface(std::move(surface))
{
    if (!m_surface)
        throw std::invalid_argument("PixelBuffer needs a surface");
}
