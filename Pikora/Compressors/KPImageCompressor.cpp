#include "Pikora/Compressors/KPImageCompressor.h"

KPImageCompressor::KPImageCompressor() : m_resolution(1280, 720) {}

KPImageCompressor::~KPImageCompressor() = default;

bool KPImageCompressor::setup()
{
    return false;
}

void KPImageCompressor::compressRawImage(std::shared_ptr<PixelBuffer>, CompletionBlock) {}

void KPImageCompressor::cleanup()
{
    std::lock_guard lock(m_lock);
    setCompletionBlock(nullptr);
}

QSizeF KPImageCompressor::resolution() const
{
    std::lock_guard lock(m_stateMutex);
    return m_resolution;
}

void KPImageCompressor::setResolution(const QSizeF& resolution)
{
    std::lock_guard lock(m_stateMutex);
    m_resolution = resolution;
}

void KPImageCompressor::setCompletionBlock(CompletionBlock completion)
{
    std::lock_guard lock(m_stateMutex);
    m_completionBlock = std::move(completion);
}

KPImageCompressor::CompletionBlock KPImageCompressor::completionBlock() const
{
    std::lock_guard lock(m_stateMutex);
    return m_completionBlock;
}
