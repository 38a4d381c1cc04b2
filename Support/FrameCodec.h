#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <cstdint>

// Length-prefixed framing shared by the accessory link and the receiver link: a 4-byte
// little-endian unsigned length counting the body's bytes, then the body.
namespace FrameCodec {

constexpr std::uint32_t kDefaultMaxFrameSize = 1u << 20; // 1 MiB

QByteArray encodeHeader(std::uint32_t length);
QByteArray encode(QByteArrayView body);
std::uint32_t decodeLength(const char header[4]);

// Incremental decoder: feed bytes as they arrive and take whole frames out. A declared
// length above the bound puts the decoder into the error state (it never allocates what a
// peer claims); after an error it drops what it is given and yields nothing more until
// reset(). Frames come out in arrival order; a zero length is a valid, empty frame.
class Decoder
{
public:
    enum class Status
    {
        NeedMore,
        Frame,
        Error
    };

    explicit Decoder(std::uint32_t maxFrameSize = kDefaultMaxFrameSize);

    void append(QByteArrayView bytes);
    Status next(QByteArray& frame);
    QString errorString() const { return m_error; }
    // Bytes received but not yet taken out as frames.
    qsizetype buffered() const { return m_buffer.size() - m_offset; }
    bool hasError() const { return !m_error.isEmpty(); }
    std::uint32_t maxFrameSize() const { return m_max; }
    void reset();

private:
    std::uint32_t m_max;
    QByteArray m_buffer;
    qsizetype m_offset = 0; // start of the first unread byte in m_buffer
    QString m_error;
};

} // namespace FrameCodec
