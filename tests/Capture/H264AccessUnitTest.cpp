#include "Pikora/Compressors/H264AccessUnit.h"

#include "H264TestDecoder.h"

#include <gtest/gtest.h>

using namespace H264AccessUnit;

namespace {

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

QByteArray nal(int type, int payload, char fill = '\x5a')
{
    QByteArray out(1, char(0x60 | type));
    out.append(QByteArray(payload, fill));
    return out;
}

QByteArray lengthPrefixed(const QByteArray& unit)
{
    const auto n = quint32(unit.size());
    return bytes({int(n >> 24), int((n >> 16) & 0xff), int((n >> 8) & 0xff), int(n & 0xff)}) + unit;
}

const QByteArray kStart = bytes({0, 0, 0, 1});

TEST(LengthPrefixRewrite, TwoUnitsKeepTheirSizeAndBecomeStartCodes)
{
    const QByteArray a = nal(kNalIdrSlice, 9); // 10 bytes
    const QByteArray b = nal(kNalSlice, 19);   // 20 bytes
    QByteArray data = lengthPrefixed(a) + lengthPrefixed(b);
    ASSERT_EQ(data.size(), 38);
    ASSERT_TRUE(rewriteLengthPrefixedToStartCodes(data));
    EXPECT_EQ(data.size(), 38);
    EXPECT_EQ(data, kStart + a + kStart + b);
}

TEST(LengthPrefixRewrite, RejectsLengthsThatRunPastTheEndWithoutTouchingTheBuffer)
{
    const QByteArray good = lengthPrefixed(nal(kNalSlice, 9));
    for (const QByteArray& bad :
         {good + bytes({0, 0, 0, 200, 0x65}),       // second length far beyond the end
          good + bytes({0, 0}),                     // truncated length field
          bytes({0xff, 0xff, 0xff, 0xff, 1, 2, 3}), // huge length (would wrap a 32-bit offset)
          good + bytes({0, 0, 0, 0})}) {            // empty unit
        QByteArray copy = bad;
        EXPECT_FALSE(rewriteLengthPrefixedToStartCodes(copy));
        EXPECT_EQ(copy, bad);
    }
    QByteArray empty;
    EXPECT_TRUE(rewriteLengthPrefixedToStartCodes(empty));
}

TEST(AnnexBSplit, AcceptsThreeAndFourByteStartCodesAndTrailingZeros)
{
    const QByteArray sps = nal(kNalSps, 5);
    const QByteArray sei = nal(kNalSei, 3);
    const QByteArray slice = nal(kNalSlice, 7);
    const QByteArray stream =
        kStart + sps + bytes({0, 0, 1}) + sei + bytes({0, 0, 0, 0, 1}) + slice + bytes({0, 0});
    const std::vector<QByteArrayView> units = splitAnnexB(stream);
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0], sps);
    EXPECT_EQ(units[1], sei);
    EXPECT_EQ(units[2], slice);
    EXPECT_TRUE(splitAnnexB(bytes({1, 2, 3})).empty());
}

TEST(PacketNormalising, DropsEverythingButSlicesAndLearnsParameterSets)
{
    ParameterSets sets;
    sets.sps = nal(kNalSps, 4, 'a');
    sets.pps = nal(kNalPps, 2, 'b');
    const QByteArray newSps = nal(kNalSps, 6, 'c');
    const QByteArray newPps = nal(kNalPps, 3, 'd');
    const QByteArray idr = nal(kNalIdrSlice, 30);
    const QByteArray idr2 = nal(kNalIdrSlice, 12);
    // An encoder that puts an AUD, repeated parameter sets and an SEI in front, with mixed
    // start codes.
    const QByteArray packet = bytes({0, 0, 1}) + nal(kNalAud, 1) + kStart + newSps + bytes({0, 0, 1}) +
                              newPps + kStart + nal(kNalSei, 8) + bytes({0, 0, 1}) + idr + kStart + idr2;
    const Normalised out = normalisePacket(packet, false, sets);
    EXPECT_TRUE(out.isKeyFrame);
    EXPECT_EQ(out.frame, kStart + idr + kStart + idr2);
    EXPECT_EQ(sets.sps, newSps);
    EXPECT_EQ(sets.pps, newPps);

    const Normalised inter =
        normalisePacket(kStart + nal(kNalSei, 2) + kStart + nal(kNalSlice, 5), false, sets);
    EXPECT_FALSE(inter.isKeyFrame);
    EXPECT_EQ(inter.frame, kStart + nal(kNalSlice, 5));

    // A packet with no slice at all (e.g. only parameter sets) yields nothing to send.
    EXPECT_TRUE(normalisePacket(kStart + newSps + kStart + newPps, true, sets).frame.isEmpty());
}

TEST(PacketNormalising, ReadsLengthPrefixedPacketsOfTheExtradatasFieldSize)
{
    const QByteArray sps = nal(kNalSps, 5);
    const QByteArray pps = nal(kNalPps, 2);
    // avcC: version 1, profile/compat/level, 2-byte lengths (lengthSizeMinusOne = 1).
    QByteArray avcc = bytes({1, 0x4d, 0, 0x28, 0xfc | 1, 0xe0 | 1, 0, int(sps.size())}) + sps +
                      bytes({1, 0, int(pps.size())}) + pps;
    ParameterSets sets = parseExtradata(avcc);
    EXPECT_EQ(sets.lengthSize, 2);
    EXPECT_EQ(sets.sps, sps);
    EXPECT_EQ(sets.pps, pps);

    const QByteArray idr = nal(kNalIdrSlice, 9);
    const QByteArray packet = bytes({0, int(idr.size())}) + idr;
    const Normalised out = normalisePacket(packet, true, sets);
    EXPECT_EQ(out.frame, kStart + idr);
    // A length that runs past the packet is rejected, not followed.
    EXPECT_TRUE(normalisePacket(bytes({0, 50}) + idr, true, sets).frame.isEmpty());
    // A truncated avcC yields no parameter sets rather than reading past its end.
    const ParameterSets truncated = parseExtradata(avcc.left(9));
    EXPECT_TRUE(truncated.sps.isEmpty());
}

TEST(AccessUnitAssembly, KeyFramesGetParameterSetsInFrontOthersNothing)
{
    const QByteArray sps = nal(kNalSps, 5);
    const QByteArray pps = nal(kNalPps, 2);
    const QByteArray frame = kStart + nal(kNalIdrSlice, 9);
    const ParsedAccessUnit key = parseAccessUnit(assemble(frame, sps, pps, true));
    EXPECT_EQ(key.nalTypes, (std::vector<int>{kNalSps, kNalPps, kNalIdrSlice}));
    EXPECT_TRUE(key.startCodesAreFourBytes);
    EXPECT_EQ(assemble(frame, sps, pps, false), frame);
    // Missing parameter sets are left out rather than written as empty units.
    EXPECT_EQ(parseAccessUnit(assemble(frame, {}, pps, true)).nalTypes,
              (std::vector<int>{kNalPps, kNalIdrSlice}));
}

} // namespace
