#pragma once

// The access-unit layout we hand downstream: every NAL unit behind a 4-byte start code
// (00 00 00 01); a key frame is SPS, PPS, then its IDR slice(s); any other frame is just its
// slice(s). These helpers bring whatever an encoder emits into that layout.

#include <QByteArray>
#include <QByteArrayView>
#include <cstdint>
#include <vector>

namespace H264AccessUnit {

enum NalType : int
{
    kNalSlice = 1,
    kNalIdrSlice = 5,
    kNalSei = 6,
    kNalSps = 7,
    kNalPps = 8,
    kNalAud = 9,
};

inline int nalType(QByteArrayView nal)
{
    return nal.isEmpty() ? -1 : (std::uint8_t(nal.front()) & 0x1f);
}

// Rewrites a buffer of NAL units behind 4-byte big-endian lengths into the same NAL units
// behind 4-byte start codes, in place (the size does not change). Returns false, leaving the
// buffer untouched, when a length runs past the end of the buffer or a unit is empty.
bool rewriteLengthPrefixedToStartCodes(QByteArray& data);

// The NAL units (without start codes) of an Annex-B byte stream, accepting 3- and 4-byte
// start codes and dropping trailing zero bytes.
std::vector<QByteArrayView> splitAnnexB(QByteArrayView stream);

// The NAL units of a buffer of units behind big-endian lengths of `lengthSize` (1, 2 or 4)
// bytes. Returns false when the buffer is malformed.
bool splitLengthPrefixed(QByteArrayView data, int lengthSize, std::vector<QByteArrayView>& units);

struct ParameterSets
{
    QByteArray sps;
    QByteArray pps;
    // Size of the NAL length fields when the encoder's packets are length-prefixed (its
    // extradata is an avcC record); 0 when they are Annex B.
    int lengthSize = 0;
};

// Reads SPS and PPS from an encoder's extradata, which is either Annex B or an avcC record.
ParameterSets parseExtradata(QByteArrayView extradata);

// One encoder packet in our layout. Parameter sets found in the packet update `sets`; SEI,
// AUD and any other non-slice units are dropped. Empty when the packet has no slice.
struct Normalised
{
    QByteArray frame; // the slice NAL units, each behind 00 00 00 01
    bool isKeyFrame = false;
};
Normalised normalisePacket(QByteArrayView packet, bool flaggedKey, ParameterSets& sets);

// Key frame: 00 00 00 01 SPS, 00 00 00 01 PPS (each when not empty), then `frame`.
QByteArray assemble(const QByteArray& frame, const QByteArray& sps, const QByteArray& pps, bool isKeyFrame);

} // namespace H264AccessUnit
