#pragma once

#include "Pikora/Capture/PixelBuffer.h"

#include <QtGlobal>
#include <memory>

// What the capture session asks of a frame source.
class KPImageDataProvider
{
public:
    virtual ~KPImageDataProvider() = default;
    // The newest frame as a new buffer over the captured surface (no copy); none before the
    // first frame.
    virtual std::shared_ptr<PixelBuffer> getCurrentImage() = 0;
    virtual qint64 getWidth() const = 0;
    virtual qint64 getHeight() const = 0;
};
