#pragma once

// Constants of the receiver protocol: ports, size limits, message-type bytes and JSON-RPC
// method names. docs/beamline-protocol.md describes the wire format in full.

#include <cstdint>

namespace KPBeamlineProtocol {

constexpr int kProtocolVersion = 1;

// Discovery over UDP.
constexpr std::uint16_t kDiscoveryPort = 63630;
constexpr int kMaxEchoDatagramSize = 1024;          // the query
constexpr int kMaxDiscoveryDatagramSize = 8 * 1024; // the reply
// The echo query carries a fresh random token that the reply must carry back; a sender
// counts a reply only when its token is one it sent recently.
constexpr int kQueryTokenLength = 16;  // what Beamline sends: hexadecimal digits
constexpr int kMaxQueryTokenSize = 64; // what a receiver echoes back at most

// Control and media link over TCP.
constexpr std::uint16_t kDefaultControlPort = 63630;
constexpr std::uint32_t kMaxControlMessageSize = 64 * 1024;     // one JSON-RPC text
constexpr std::uint32_t kMaxMediaPayloadSize = 8 * 1024 * 1024; // one picture / PCM chunk
// The largest frame body: type byte + the H.264 header (width, height) + a media payload.
constexpr std::uint32_t kMaxFrameBodySize = kMaxMediaPayloadSize + 1 + 8;

// Receiver configuration file served over HTTP.
constexpr std::uint16_t kDefaultConfigPort = 80;
constexpr std::uint16_t kFallbackConfigPort = 8080;
constexpr const char* kConfigFileName = "pikora_config.json";

// The first byte of every frame body says what follows.
enum class FrameType : std::uint8_t
{
    Json = 0x01, // UTF-8 JSON-RPC 2.0 text
    H264 = 0x02, // uint32 LE width, uint32 LE height, one Annex-B access unit
    Jpeg = 0x03, // one JPEG picture
    Pcm = 0x04,  // signed 16-bit little-endian interleaved samples, 44,100 Hz, 2 channels
    // uint64 LE microseconds on the sender's steady clock at which the picture of the next
    // H.264 or JPEG frame on the link was captured. Optional; 8 bytes exactly.
    CaptureTime = 0x05,
};

// Payload size of FrameType::CaptureTime.
constexpr std::uint32_t kCaptureTimePayloadSize = 8;

// PCM format carried by FrameType::Pcm.
constexpr int kPcmSampleRate = 44100;
constexpr int kPcmChannels = 2;
constexpr int kPcmBitsPerSample = 16;

// Sender -> receiver requests.
namespace Method {
constexpr const char* Hello = "hello";
constexpr const char* StartDisplay = "startDisplay";
constexpr const char* StopDisplay = "stopDisplay";
constexpr const char* RequestFullscreen = "requestFullscreen";
constexpr const char* CancelRequest = "hostControl.cancelRequest"; // notification
constexpr const char* Ping = "ping";                               // keep-alive request, answered with {}
// Receiver -> sender notifications.
constexpr const char* DisplayStop = "display.stop";
constexpr const char* DisplayPause = "display.pause";
constexpr const char* DisplayResume = "display.resume";
constexpr const char* SplitScreen = "splitScreen";
constexpr const char* Pointer = "pointer";
constexpr const char* Bye = "bye";
// Receiver -> sender host-control exchange.
constexpr const char* HostAsk = "hostControl.ask"; // request, answered with {allow, mode}
constexpr const char* HostCancel = "hostControl.cancel";
constexpr const char* HostWait = "hostControl.wait";
constexpr const char* HostAccept = "hostControl.accept";
constexpr const char* HostDeny = "hostControl.deny";
constexpr const char* HostRole = "hostControl.role";
constexpr const char* HostDisconnect = "hostControl.disconnect";
constexpr const char* HostAutoDisplay = "hostControl.autoDisplay"; // request, answered with {data}
constexpr const char* HostAutoDisplayDisconnected = "hostControl.autoDisplayDisconnected";
} // namespace Method

// Application error codes in JSON-RPC error responses.
namespace ErrorCode {
constexpr int Refused = 1001;      // the receiver does not accept this sender or stream
constexpr int DeniedByHost = 1002; // the conference host said no
constexpr int Cancelled = 1003;    // the guest withdrew its request
constexpr int NotStreaming = 1004; // a request that needs a running stream
constexpr int InvalidParams = -32602;
} // namespace ErrorCode

// Pointer event names carried in the "event" member of a "pointer" notification.
namespace Pointer {
constexpr const char* PluggedIn = "pluggedIn";
constexpr const char* PluggedOut = "pluggedOut";
constexpr const char* Move = "move"; // dx, dy
constexpr const char* LeftDown = "leftDown";
constexpr const char* LeftUp = "leftUp";
constexpr const char* LeftDrag = "leftDrag"; // dx, dy
constexpr const char* RightDown = "rightDown";
constexpr const char* RightUp = "rightUp";
constexpr const char* TouchDown = "touchDown"; // x, y, baseWidth, baseHeight
constexpr const char* TouchUp = "touchUp";     // x, y, baseWidth, baseHeight
constexpr const char* TouchDrag = "touchDrag"; // x, y, baseWidth, baseHeight
constexpr const char* WheelDown = "wheelDown";
constexpr const char* WheelUp = "wheelUp";
constexpr const char* WheelScroll = "wheelScroll"; // dx, dy
} // namespace Pointer

// Conference roles ("role" member of hello results and "hostControl.role").
enum Role : int
{
    RoleNone = 0,
    RoleHost = 1,
    RoleGuest = 2
};

} // namespace KPBeamlineProtocol
