#pragma once

// The bodies of the frames exchanged on the receiver link. Every frame on the TCP stream is
// FrameCodec's 4-byte little-endian length followed by a body; the body's first byte is a
// KPBeamlineProtocol::FrameType. Shared by the transmitter and the receiver emulator.

#include "Beamline/KPBeamlineProtocol.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <chrono>
#include <cstdint>
#include <optional>

namespace KPReceiverLinkCodec {

// Whole frames (length prefix included), ready to be written to the socket. Payloads larger
// than the protocol's limits are refused: the result is then empty.
QByteArray encodeJson(const std::string& jsonText);
QByteArray encodeH264(QByteArrayView accessUnit, int width, int height);
QByteArray encodeJpeg(QByteArrayView jpeg);
QByteArray encodePcm(QByteArrayView pcm);
// The capture time of the next picture, in microseconds on the sender's steady clock.
QByteArray encodeCaptureTime(std::uint64_t microseconds);

// A steady-clock time point as carried by FrameType::CaptureTime; empty for a time point
// before the clock's epoch (it cannot be carried).
std::optional<std::uint64_t> captureTimeMicroseconds(std::chrono::steady_clock::time_point time);

// One decoded frame body.
struct Message
{
    KPBeamlineProtocol::FrameType type = KPBeamlineProtocol::FrameType::Json;
    QByteArray payload;              // JSON text, access unit, JPEG or PCM bytes
    int width = 0;                   // H.264 only
    int height = 0;                  // H.264 only
    std::uint64_t captureTimeUs = 0; // CaptureTime only (the payload stays empty)
};

enum class DecodeResult
{
    Ok,
    Empty,
    UnknownType,
    Truncated,
    TooLarge,
    BadDimensions
};

// Decodes a frame body (without the length prefix). Nothing is allocated beyond the body.
DecodeResult decodeBody(const QByteArray& body, Message& out);
QString describe(DecodeResult result);

// True when the Annex-B access unit holds an IDR slice or a sequence parameter set, i.e. a
// decoder can start from it.
bool isH264KeyFrame(QByteArrayView accessUnit);

} // namespace KPReceiverLinkCodec
