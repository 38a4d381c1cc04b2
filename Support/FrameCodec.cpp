#include "Support/FrameCodec.h"

#include "Support/Logging.h"

#include <limits>

namespace FrameCodec {

QByteArray encodeHeader(std::uint32_t length)
{
    QByteArray header(4, Qt::Uninitialized);
    header[0] = static_cast<char>(length & 0xff);
    header[1] = static_cast<char>((length >> 8) & 0xff);
    header[2] = static_cast<char>((length >> 16) & 0xff);
    header[3] = static_cast<char>((length >> 24) & 0xff);
    return header;
}

QByteArray encode(QByteArrayView body)
{
    if (static_cast<quint64>(body.size()) > std::numeric_limits<std::uint32_t>::max()) {
        qCWarning(lcSupport) << "FrameCodec: a body of" << body.size() << "bytes cannot be framed";
        return {};
    }
    QByteArray frame;
    frame.reserve(4 + body.size());
    frame.append(encodeHeader(static_cast<std::uint32_t>(body.size())));
    frame.append(body);
    return frame;
}

std::uint32_t decodeLength(const char header[4])
{
    const auto* b = reinterpret_cast<const unsigned char*>(header);
    return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
           (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

Decoder::Decoder(std::uint32_t maxFrameSize) : m_max(maxFrameSize) {}

void Decoder::append(QByteArrayView bytes)
{
    if (hasError() || bytes.isEmpty())
        return;
    // Reclaim the consumed front before growing, so a long-lived link does not keep every
    // byte it ever received.
    if (m_offset > 0 && (m_offset == m_buffer.size() || m_offset >= 4096)) {
        m_buffer.remove(0, m_offset);
        m_offset = 0;
    }
    m_buffer.append(bytes);
}

Decoder::Status Decoder::next(QByteArray& frame)
{
    if (hasError())
        return Status::Error;
    const qsizetype available = m_buffer.size() - m_offset;
    if (available < 4)
        return Status::NeedMore;
    const std::uint32_t length = decodeLength(m_buffer.constData() + m_offset);
    if (length > m_max) {
        m_error = QStringLiteral("frame of %1 bytes exceeds the limit of %2 bytes").arg(length).arg(m_max);
        m_buffer.clear();
        m_buffer.squeeze();
        m_offset = 0;
        return Status::Error;
    }
    if (available - 4 < static_cast<qsizetype>(length))
        return Status::NeedMore;
    frame = m_buffer.mid(m_offset + 4, length);
    m_offset += 4 + static_cast<qsizetype>(length);
    if (m_offset == m_buffer.size()) {
        m_buffer.resize(0); // keeps the capacity for the next frame
        m_offset = 0;
    }
    return Status::Frame;
}

void Decoder::reset()
{
    m_buffer.clear();
    m_offset = 0;
    m_error.clear();
}

} // namespace FrameCodec
