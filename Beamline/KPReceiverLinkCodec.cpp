#include "Beamline/KPReceiverLinkCodec.h"

#include "Beamline/JsonAccess.h"
#include "Support/FrameCodec.h"

#include <QtEndian>

namespace KPReceiverLinkCodec {

using KPBeamlineProtocol::FrameType;

namespace {

QByteArray frame(FrameType type, QByteArrayView header, QByteArrayView payload)
{
    const qsizetype bodySize = 1 + header.size() + payload.size();
    QByteArray out;
    out.reserve(4 + bodySize);
    out.append(FrameCodec::encodeHeader(static_cast<std::uint32_t>(bodySize)));
    out.append(static_cast<char>(type));
    out.append(header);
    out.append(payload);
    return out;
}

bool validDimension(int v)
{
    return v > 0 && v <= 16384;
}

} // namespace

QByteArray encodeJson(const std::string& jsonText)
{
    if (jsonText.empty() || jsonText.size() > KPBeamlineProtocol::kMaxControlMessageSize)
        return {};
    return frame(FrameType::Json, {}, QByteArrayView(jsonText.data(), qsizetype(jsonText.size())));
}

QByteArray encodeH264(QByteArrayView accessUnit, int width, int height)
{
    if (accessUnit.isEmpty() || accessUnit.size() > qsizetype(KPBeamlineProtocol::kMaxMediaPayloadSize) ||
        !validDimension(width) || !validDimension(height))
        return {};
    char header[8];
    qToLittleEndian<quint32>(quint32(width), header);
    qToLittleEndian<quint32>(quint32(height), header + 4);
    return frame(FrameType::H264, QByteArrayView(header, 8), accessUnit);
}

QByteArray encodeJpeg(QByteArrayView jpeg)
{
    if (jpeg.isEmpty() || jpeg.size() > qsizetype(KPBeamlineProtocol::kMaxMediaPayloadSize))
        return {};
    return frame(FrameType::Jpeg, {}, jpeg);
}

QByteArray encodePcm(QByteArrayView pcm)
{
    // Whole sample frames only (2 channels x 16 bits).
    if (pcm.isEmpty() || pcm.size() > qsizetype(KPBeamlineProtocol::kMaxMediaPayloadSize) ||
        pcm.size() % 4 != 0)
        return {};
    return frame(FrameType::Pcm, {}, pcm);
}

QByteArray encodeCaptureTime(std::uint64_t microseconds)
{
    char payload[KPBeamlineProtocol::kCaptureTimePayloadSize];
    qToLittleEndian<quint64>(quint64(microseconds), payload);
    return frame(FrameType::CaptureTime, {}, QByteArrayView(payload, sizeof payload));
}

std::optional<std::uint64_t> captureTimeMicroseconds(std::chrono::steady_clock::time_point time)
{
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
    if (us < 0)
        return std::nullopt;
    return std::uint64_t(us);
}

DecodeResult decodeBody(const QByteArray& body, Message& out)
{
    if (body.isEmpty())
        return DecodeResult::Empty;
    const auto type = static_cast<std::uint8_t>(body.at(0));
    const qsizetype payloadSize = body.size() - 1;
    switch (type) {
    case std::uint8_t(FrameType::Json):
        if (payloadSize == 0)
            return DecodeResult::Truncated;
        if (payloadSize > qsizetype(KPBeamlineProtocol::kMaxControlMessageSize))
            return DecodeResult::TooLarge;
        out.type = FrameType::Json;
        out.payload = body.mid(1);
        out.width = out.height = 0;
        out.captureTimeUs = 0;
        return DecodeResult::Ok;
    case std::uint8_t(FrameType::H264): {
        if (payloadSize <= 8)
            return DecodeResult::Truncated;
        if (payloadSize - 8 > qsizetype(KPBeamlineProtocol::kMaxMediaPayloadSize))
            return DecodeResult::TooLarge;
        const quint32 w = qFromLittleEndian<quint32>(body.constData() + 1);
        const quint32 h = qFromLittleEndian<quint32>(body.constData() + 5);
        if (w > 16384 || h > 16384 || !validDimension(int(w)) || !validDimension(int(h)))
            return DecodeResult::BadDimensions;
        out.type = FrameType::H264;
        out.width = int(w);
        out.height = int(h);
        out.payload = body.mid(9);
        out.captureTimeUs = 0;
        return DecodeResult::Ok;
    }
    case std::uint8_t(FrameType::CaptureTime):
        if (payloadSize < qsizetype(KPBeamlineProtocol::kCaptureTimePayloadSize))
            return DecodeResult::Truncated;
        if (payloadSize > qsizetype(KPBeamlineProtocol::kCaptureTimePayloadSize))
            return DecodeResult::TooLarge;
        out.type = FrameType::CaptureTime;
        out.captureTimeUs = qFromLittleEndian<quint64>(body.constData() + 1);
        out.payload.clear();
        out.width = out.height = 0;
        return DecodeResult::Ok;
    case std::uint8_t(FrameType::Jpeg):
    case std::uint8_t(FrameType::Pcm):
        if (payloadSize == 0)
            return DecodeResult::Truncated;
        if (payloadSize > qsizetype(KPBeamlineProtocol::kMaxMediaPayloadSize))
            return DecodeResult::TooLarge;
        out.type = static_cast<FrameType>(type);
        out.payload = body.mid(1);
        out.width = out.height = 0;
        out.captureTimeUs = 0;
        return DecodeResult::Ok;
    default:
        return DecodeResult::UnknownType;
    }
}

QString describe(DecodeResult result)
{
    switch (result) {
    case DecodeResult::Ok:
        return QStringLiteral("ok");
    case DecodeResult::Empty:
        return QStringLiteral("empty frame");
    case DecodeResult::UnknownType:
        return QStringLiteral("unknown frame type");
    case DecodeResult::Truncated:
        return QStringLiteral("truncated frame");
    case DecodeResult::TooLarge:
        return QStringLiteral("frame payload too large");
    case DecodeResult::BadDimensions:
        return QStringLiteral("invalid picture size");
    }
    return {};
}

bool isH264KeyFrame(QByteArrayView au)
{
    // Walk the start codes (00 00 01 or 00 00 00 01) and look at each NAL unit type.
    const qsizetype n = au.size();
    for (qsizetype i = 0; i + 3 < n; ++i) {
        if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
            const int nalType = static_cast<std::uint8_t>(au[i + 3]) & 0x1f;
            if (nalType == 5 || nalType == 7)
                return true;
            i += 2;
        }
    }
    return false;
}

LayoutResult readLayout(const Json& object, Layout& out)
{
    const auto number = JsonAccess::integer(object, "screenNumber", 1, Layout::kMaxScreens);
    const auto position = JsonAccess::integer(object, "screenPosition", 0, Layout::kMaxScreens);
    if (!number || !position) {
        const bool absent = number.error == JsonAccess::ReadError::Missing &&
                            position.error == JsonAccess::ReadError::Missing;
        return absent ? LayoutResult::Absent : LayoutResult::Malformed;
    }
    out = Layout{int(*number), int(*position)};
    return *position > *number ? LayoutResult::Impossible : LayoutResult::Ok;
}

Json layoutJson(const Layout& layout)
{
    return Json{{"screenNumber", layout.screenNumber}, {"screenPosition", layout.screenPosition}};
}

} // namespace KPReceiverLinkCodec
