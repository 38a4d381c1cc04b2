#include "Support/FrameCodec.h"

#include <gtest/gtest.h>

using FrameCodec::Decoder;

namespace {

std::vector<QByteArray> drain(Decoder& decoder)
{
    std::vector<QByteArray> frames;
    QByteArray frame;
    while (decoder.next(frame) == Decoder::Status::Frame)
        frames.push_back(frame);
    return frames;
}

} // namespace

TEST(FrameCodec, HeaderIsLittleEndianByteCount)
{
    EXPECT_EQ(FrameCodec::encodeHeader(0x01020304), QByteArray("\x04\x03\x02\x01", 4));
    const char header[4] = {'\xff', '\xff', '\xff', '\xff'};
    EXPECT_EQ(FrameCodec::decodeLength(header), 0xffffffffu);

    // The length counts UTF-8 bytes, not characters: "é" is two bytes, "€" three, "😀" four.
    const QByteArray text = QStringLiteral(u"{\"n\":\"é€😀\"}").toUtf8();
    const QByteArray frame = FrameCodec::encode(text);
    ASSERT_EQ(frame.size(), 4 + text.size());
    EXPECT_EQ(FrameCodec::decodeLength(frame.constData()), static_cast<std::uint32_t>(text.size()));
    EXPECT_EQ(text.size(), 8 + 2 + 3 + 4);
    EXPECT_EQ(frame.mid(4), text);
}

TEST(FrameCodec, ReassemblesFramesDeliveredByteByByte)
{
    const QByteArray body = QStringLiteral(u"{\"jsonrpc\":\"2.0\",\"method\":\"héllo\"}").toUtf8();
    const QByteArray wire = FrameCodec::encode(body) + FrameCodec::encode("second");
    Decoder decoder;
    std::vector<QByteArray> frames;
    for (char byte : wire) {
        decoder.append(QByteArrayView(&byte, 1));
        for (auto& f : drain(decoder))
            frames.push_back(f);
    }
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], body);
    EXPECT_EQ(frames[1], "second");
    EXPECT_EQ(decoder.buffered(), 0);
}

TEST(FrameCodec, SplitsSeveralFramesFromOneChunkAndKeepsTheRest)
{
    QByteArray wire;
    for (int i = 0; i < 100; ++i)
        wire += FrameCodec::encode(QByteArray::number(i));
    wire += FrameCodec::encode("").left(4);        // an empty frame is complete with its header
    wire += FrameCodec::encode("partial").left(6); // header plus two body bytes
    Decoder decoder;
    decoder.append(wire);
    const auto frames = drain(decoder);
    ASSERT_EQ(frames.size(), 101u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(frames[i], QByteArray::number(i));
    EXPECT_TRUE(frames[100].isEmpty());
    EXPECT_EQ(decoder.buffered(), 6);

    QByteArray frame;
    EXPECT_EQ(decoder.next(frame), Decoder::Status::NeedMore);
    decoder.append("rtial");
    ASSERT_EQ(decoder.next(frame), Decoder::Status::Frame);
    EXPECT_EQ(frame, "partial");
    EXPECT_EQ(decoder.next(frame), Decoder::Status::NeedMore);
}

TEST(FrameCodec, OversizedLengthIsAnErrorWithoutAllocatingIt)
{
    Decoder decoder(1024);
    QByteArray frame;

    // Exactly at the bound is fine.
    decoder.append(FrameCodec::encode(QByteArray(1024, 'x')));
    ASSERT_EQ(decoder.next(frame), Decoder::Status::Frame);
    EXPECT_EQ(frame.size(), 1024);

    // A peer claiming ~4 GiB: rejected as soon as the header is in, nothing is reserved.
    decoder.append(QByteArray("\xff\xff\xff\xff", 4));
    EXPECT_EQ(decoder.next(frame), Decoder::Status::Error);
    EXPECT_TRUE(decoder.hasError());
    EXPECT_TRUE(decoder.errorString().contains("4294967295")) << decoder.errorString().toStdString();
    EXPECT_EQ(decoder.buffered(), 0);

    // The error sticks: later bytes, even a valid frame, are dropped until reset().
    decoder.append(FrameCodec::encode("ok"));
    EXPECT_EQ(decoder.next(frame), Decoder::Status::Error);
    EXPECT_EQ(decoder.buffered(), 0);

    decoder.reset();
    EXPECT_FALSE(decoder.hasError());
    decoder.append(FrameCodec::encode("ok"));
    ASSERT_EQ(decoder.next(frame), Decoder::Status::Frame);
    EXPECT_EQ(frame, "ok");

    Decoder oneOver(1024);
    oneOver.append(FrameCodec::encodeHeader(1025));
    EXPECT_EQ(oneOver.next(frame), Decoder::Status::Error);
}

TEST(FrameCodec, CompactionKeepsPartialFramesIntact)
{
    Decoder decoder;
    const QByteArray chunk = FrameCodec::encode(QByteArray(1000, 'a')) + FrameCodec::encode("b").left(3);
    QByteArray frame;
    // Every chunk ends inside a header, so the decoder compacts its buffer while holding a
    // partial frame.
    decoder.append(chunk);
    for (int i = 0; i < 2000; ++i) {
        ASSERT_EQ(decoder.next(frame), Decoder::Status::Frame);
        ASSERT_EQ(decoder.next(frame), Decoder::Status::NeedMore);
        decoder.append(FrameCodec::encode("b").mid(3)); // completes "b"
        ASSERT_EQ(decoder.next(frame), Decoder::Status::Frame);
        ASSERT_EQ(frame, "b");
        decoder.append(chunk);
    }
    EXPECT_EQ(decoder.buffered(), chunk.size());
}
