#pragma once

#include "Pikora/Capture/PixelBuffer.h"

#include <QByteArray>
#include <QSizeF>
#include <functional>
#include <memory>
#include <mutex>

// Base of the compressors the capture session uses: an output size and the closure that
// receives each compressed picture (bytes, width, height).
class KPImageCompressor
{
public:
    using CompletionBlock = std::function<void(const QByteArray& data, qint64 width, qint64 height)>;

    KPImageCompressor();
    virtual ~KPImageCompressor();
    KPImageCompressor(const KPImageCompressor&) = delete;
    KPImageCompressor& operator=(const KPImageCompressor&) = delete;

    // Prepares the encoder; false when it cannot encode (the base never can).
    virtual bool setup();
    // Compresses one frame; the result goes to `completion` (which replaces the stored one).
    virtual void compressRawImage(std::shared_ptr<PixelBuffer> image, CompletionBlock completion);
    // Forgets the completion closure: output produced afterwards goes nowhere.
    virtual void cleanup();

    // Output size in pixels; 1280x720 after construction.
    QSizeF resolution() const;
    void setResolution(const QSizeF& resolution);

protected:
    void setCompletionBlock(CompletionBlock completion);
    CompletionBlock completionBlock() const;

    // The compressor's own lock (set-up, clean-up, teardown).
    mutable std::recursive_mutex m_lock;

private:
    mutable std::mutex m_stateMutex;
    QSizeF m_resolution;
    CompletionBlock m_completionBlock;
};
