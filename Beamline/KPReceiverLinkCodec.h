#pragma once

// The bodies of the frames exchanged on the receiver link. Every frame on the TCP stream is
// FrameCodec's 4-byte little-endian length followed by a body; the body's first byte is a
// KPBeamlineProtocol::FrameType. Shared by the transmitter and the receiver emulator.

#include "Beamline/KPBeamlineProtocol.h"
#include "Beamline/KPJSONRPC.h"

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

// The receiver's split-screen layout as carried by "splitScreen", the startDisplay answer and
// the hello answer: `screenNumber` screens (1 to kMaxScreens) and this sender's place among
// them, counted from 1. Position 0 means that the receiver does not show this sender at all
// (before its stream starts). Screen 1 of 1 is the whole screen.
struct Layout
{
    static constexpr int kMaxScreens = 16;
    int screenNumber = 1;
    int screenPosition = 0;

    bool isWholeScreen() const { return screenNumber == 1 && screenPosition == 1; }
    bool operator==(const Layout&) const = default;
};

enum class LayoutResult
{
    Ok,
    Absent,     // neither member is there
    Malformed,  // a member is missing, of the wrong type or out of range
    Impossible, // the position lies beyond the number of screens
};

// Reads `screenNumber` and `screenPosition` from `object` with their types and ranges checked.
// `out` holds the values read for Ok and Impossible and is left alone otherwise.
LayoutResult readLayout(const Json& object, Layout& out);
// The two members, to be merged into a message's params or result.
Json layoutJson(const Layout& layout);

// True when the Annex-B access unit holds an IDR slice or a sequence parameter set, i.e. a
// decoder can start from it.
bool isH264KeyFrame(QByteArrayView accessUnit);

} // namespace KPReceiverLinkCodec
