#pragma once

#include "Pikora/Capture/CaptureSurface.h"

#include <QSize>
#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

// Receives a screen-cast video stream from PipeWire over the descriptor the portal opened, on
// PipeWire's own thread loop. Of the buffers waiting at each wake-up only the newest becomes
// a surface (through StreamFrameAssembler: shared memory lent without a copy where possible,
// DMA-BUF mapped and copied); older ones go straight back to the producer. The callbacks run
// on the stream's thread and must not block.
class PipeWireScreenStream
{
public:
    struct Callbacks
    {
        std::function<void(std::shared_ptr<CaptureSurface>)> frame;
        std::function<void(QSize)> sizeChanged;
        // The stream has ended (producer gone, error); called at most once.
        std::function<void(const QString& reason)> ended;
    };

    struct Statistics
    {
        std::uint64_t lent = 0;
        std::uint64_t copied = 0;
        std::uint64_t refused = 0;
        std::uint64_t skipped = 0;
        int buffers = 0;
    };

    PipeWireScreenStream();
    ~PipeWireScreenStream();
    PipeWireScreenStream(const PipeWireScreenStream&) = delete;
    PipeWireScreenStream& operator=(const PipeWireScreenStream&) = delete;

    // Takes ownership of `fd` (closed on failure too). False, with `error`, when the stream
    // cannot be set up; frames then never arrive.
    bool start(int fd, std::uint32_t nodeId, double fps, Callbacks callbacks, QString* error);
    // Disconnects and stops the thread loop; no callback runs once it returns. Surfaces still
    // held downstream stay valid (their memory stays mapped until they go).
    void stop();

    Statistics statistics() const;

    struct Impl;

private:
    std::shared_ptr<Impl> d;
};
