#pragma once

#include "Pikora/Capture/DesktopFrameSource.h"

#include <QByteArray>
#include <atomic>
#include <memory>

// Captures an X11 display (a RandR output's area of the root window) through MIT-SHM into a
// pool of 8 shared-memory surfaces. Damage tells which ticks have something new: a tick
// without damage and without pointer movement delivers nothing. The pointer is drawn into
// the frames (XFixes) when asked. Without MIT-SHM (a remote server) it falls back to plain
// GetImage copies.
class X11FrameSource final : public DesktopFrameSource
{
public:
    // `displayName` as for XOpenDisplay; empty = $DISPLAY.
    explicit X11FrameSource(const QByteArray& displayName = {});
    ~X11FrameSource() override;

    bool isConnected() const;
    bool usesSharedMemory() const;

    std::vector<Display> displays() override;
    std::optional<QString> screenName(std::uint32_t display) override;
    bool start(std::uint32_t display, QSize pixelSize, double fps, bool showCursor, DispatchQueue& queue,
               FrameHandler handler) override;
    void stop() override;

    std::uint64_t framesCaptured() const;
    // Ticks that had something new but found every pooled surface still held downstream.
    std::uint64_t framesSkipped() const;

    struct Impl;

private:
    std::shared_ptr<Impl> d;
};
