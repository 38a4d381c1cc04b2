#include "Pikora/Compressors/H264AccessUnit.h"

#include <algorithm>

namespace H264AccessUnit {

namespace {

constexpr char kStartCode[4] = {0, 0, 0, 1};

std::uint32_t readBigEndian(const char* p, int size)
{
    std::uint32_t value = 0;
    for (int i = 0; i < size; ++i)
        value = (value << 8) | std::uint8_t(p[i]);
    return value;
}

} // namespace

bool rewriteLengthPrefixedToStartCodes(QByteArray& data)
{
    // Validate the whole chain first so a malformed buffer is never half rewritten.
    const qsizetype size = data.size();
    qsizetype offset = 0;
    while (offset < size) {
        if (size - offset < 4)
            return false;
        const std::uint32_t length = readBigEndian(data.constData() + offset, 4);
        if (length == 0 || qsizetype(length) > size - offset - 4)
            return false;
        offset += 4 + qsizetype(length);
    }
    char* bytes = data.data();
    offset = 0;
    while (offset < size) {
        const std::uint32_t length = readBigEndian(bytes + offset, 4);
        std::copy(kStartCode, kStartCode + 4, bytes + offset);
        offset += 4 + qsizetype(length);
    }
    return true;
}

std::vector<QByteArrayView> splitAnnexB(QByteArrayView stream)
{
    std::vector<QByteArrayView> units;
    const auto* p = reinterpret_cast<const std::uint8_t*>(stream.data());
    const qsizetype n = stream.size();
    // Find the first start code.
    qsizetype i = 0;
    auto isStart = [&](qsizetype at) { return at + 2 < n && p[at] == 0 && p[at + 1] == 0 && p[at + 2] == 1; };
    while (i < n && !isStart(i))
        ++i;
    while (i < n) {
        const qsizetype begin = i + 3;
        qsizetype j = begin;
        while (j < n && !isStart(j))
            ++j;
        qsizetype end = j;
        // Zeros before the next start code belong to it (4-byte form) or are trailing padding.
        while (end > begin && p[end - 1] == 0)
            --end;
        if (end > begin)
            units.push_back(stream.sliced(begin, end - begin));
        i = j;
    }
    return units;
}

bool splitLengthPrefixed(QByteArrayView data, int lengthSize, std::vector<QByteArrayView>& units)
{
    if (lengthSize != 1 && lengthSize != 2 && lengthSize != 4)
        return false;
    qsizetype offset = 0;
    std::vector<QByteArrayView> found;
    while (offset < data.size()) {
        if (data.size() - offset < lengthSize)
            return false;
        const std::uint32_t length = readBigEndian(data.data() + offset, lengthSize);
        offset += lengthSize;
        if (qsizetype(length) > data.size() - offset)
            return false;
        if (length > 0)
            found.push_back(data.sliced(offset, length));
        offset += qsizetype(length);
    }
    units = std::move(found);
    return true;
}

ParameterSets parseExtradata(QByteArrayView extradata)
{
    ParameterSets sets;
    const auto* p = reinterpret_cast<const std::uint8_t*>(extradata.data());
    const qsizetype n = extradata.size();
    if (n >= 7 && p[0] == 1) {
        // avcC: version, profile, compatibility, level, lengthSizeMinusOne, SPS count, SPSs,
        // PPS count, PPSs (each behind a 2-byte length).
        sets.lengthSize = (p[4] & 0x3) + 1;
        qsizetype offset = 5;
        auto readSets = [&](int count, QByteArray& first) {
            for (int k = 0; k < count; ++k) {
                if (offset + 2 > n)
                    return false;
                const qsizetype length = (qsizetype(p[offset]) << 8) | p[offset + 1];
                offset += 2;
                if (offset + length > n)
                    return false;
                if (first.isEmpty() && length > 0)
                    first = extradata.sliced(offset, length).toByteArray();
                offset += length;
            }
            return true;
        };
        const int spsCount = p[offset++] & 0x1f;
        if (!readSets(spsCount, sets.sps) || offset >= n)
            return sets;
        const int ppsCount = p[offset++];
        readSets(ppsCount, sets.pps);
        return sets;
    }
    for (QByteArrayView nal : splitAnnexB(extradata)) {
        if (nalType(nal) == kNalSps && sets.sps.isEmpty())
            sets.sps = nal.toByteArray();
        else if (nalType(nal) == kNalPps && sets.pps.isEmpty())
            sets.pps = nal.toByteArray();
    }
    return sets;
}

Normalised normalisePacket(QByteArrayView packet, bool flaggedKey, ParameterSets& sets)
{
    std::vector<QByteArrayView> units;
    if (sets.lengthSize > 0) {
        if (!splitLengthPrefixed(packet, sets.lengthSize, units))
            return {};
    } else {
        units = splitAnnexB(packet);
    }
    Normalised out;
    bool hasIdr = false;
    for (QByteArrayView nal : units) {
        switch (nalType(nal)) {
        case kNalSps:
            sets.sps = nal.toByteArray();
            break;
        case kNalPps:
            sets.pps = nal.toByteArray();
            break;
        case kNalIdrSlice:
            hasIdr = true;
            [[fallthrough]];
        case kNalSlice:
        case 2: // data partitions A..C
        case 3:
        case 4:
            out.frame.append(kStartCode, 4);
            out.frame.append(nal.data(), nal.size());
            break;
        default:
            break; // SEI, AUD, end of sequence/stream, filler, ...
        }
    }
    if (out.frame.isEmpty())
        return {};
    out.isKeyFrame = hasIdr || flaggedKey;
    return out;
}

QByteArray assemble(const QByteArray& frame, const QByteArray& sps, const QByteArray& pps, bool isKeyFrame)
{
    QByteArray unit;
    unit.reserve(frame.size() + (isKeyFrame ? sps.size() + pps.size() + 8 : 0));
    if (isKeyFrame) {
        if (!sps.isEmpty()) {
            unit.append(kStartCode, 4);
            unit.append(sps);
        }
        if (!pps.isEmpty()) {
            unit.append(kStartCode, 4);
            unit.append(pps);
        }
    }
    unit.append(frame);
    return unit;
}

} // namespace H264AccessUnit
