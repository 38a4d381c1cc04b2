#pragma once

#include <QByteArray>
#include <QSize>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

// The producing end of a screen-cast stream: a PipeWire video source (BGRx in shared memory)
// that sends the newest picture set with setPicture() ten times a second, on PipeWire's own
// thread loop.
class PipeWireScreenSource
{
public:
    PipeWireScreenSource();
    ~PipeWireScreenSource();

    // Connects to the session's PipeWire and creates the node; the node id is known once
    // nodeId() is non-zero. False when PipeWire is not reachable.
    // With `cursorMetadata` each buffer carries the pointer beside the picture (a 16x16 green
    // square at kCursorPosition, hotspot at its top left) instead of none.
    bool start(QSize size, bool cursorMetadata = false);
    static constexpr int kCursorX = 100, kCursorY = 100, kCursorSide = 16;
    void stop();
    std::uint32_t nodeId() const;
    QSize size() const { return m_size; }

    // `bgrx` holds size().height() rows of size().width() * 4 bytes.
    void setPicture(QByteArray bgrx);

    struct Impl;

private:
    std::unique_ptr<Impl> d;
    QSize m_size;
};
