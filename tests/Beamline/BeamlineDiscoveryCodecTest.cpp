// The discovery datagrams and the link frame bodies: what a receiver sends must come back as
// the same record, and anything malformed, oversized or truncated must be refused without
// filling fields.
#include "Beamline/KPBeamlineProtocol.h"
#include "Beamline/KPReceiverLinkCodec.h"
#include "Beamline/KPRemoteCommandGenerator.h"
#include "Beamline/KPRemoteHost.h"
#include "Beamline/KPVistrelRemoteSocketDataParser.h"
#include "Support/FrameCodec.h"

#include <QList>
#include <gtest/gtest.h>

namespace {

struct RecordingDelegate : KPSocketDataParserDelegate
{
    int finished = 0;
    int errors = 0;
    QString lastError;
    void didFinishParsing(const Json&, KPSocketDataParser*) override { ++finished; }
    void parseErrorOccurred(const QString& error, KPSocketDataParser*) override
    {
        ++errors;
        lastError = error;
    }
};

KPRemoteHost sampleHost()
{
    KPRemoteHost host;
    host.setHostName(QStringLiteral("Room-101"));
    host.setDisplayName(QStringLiteral("Meeting room 101"));
    host.setDeviceModel(QStringLiteral("VistrelPro"));
    host.setVendor(QStringLiteral("vistrel"));
    host.setSrcvers(QStringLiteral("2.1.0"));
    host.setProtocolVersion(1);
    host.setParameters(Json{{"controlPort", 5123},
                            {"h264", true},
                            {"maxWidth", 1920},
                            {"maxHeight", 1080},
                            {"conferenceVersion", 2}});
    host.setPasscode(QStringLiteral("4711"));
    return host;
}

// Parses through the delegate path (as the scanners do) and returns the parser.
std::unique_ptr<KPVistrelRemoteSocketDataParser> runParser(const QByteArray& data, RecordingDelegate& d)
{
    auto parser = std::make_unique<KPVistrelRemoteSocketDataParser>();
    parser->setDataToParse(data);
    parser->setHost(QStringLiteral("127.0.0.2"));
    parser->setPort(KPBeamlineProtocol::kDiscoveryPort);
    parser->setDelegate(&d);
    parser->main();
    return parser;
}

} // namespace

TEST(DiscoveryCodec, ReplyRoundTripFillsEveryFieldTheQueryReads)
{
    RecordingDelegate d;
    const QByteArray reply = KPRemoteCommandGenerator().commandEchoReply(sampleHost());
    auto parser = runParser(reply, d);

    ASSERT_EQ(d.finished, 1);
    EXPECT_EQ(d.errors, 0);
    EXPECT_TRUE(parser->isDiscoveryMessage());
    EXPECT_EQ(parser->hostName(), "Room-101");
    EXPECT_EQ(parser->displayName(), "Meeting room 101");
    EXPECT_EQ(parser->deviceModel(), "VistrelPro");
    EXPECT_EQ(parser->vendor(), "vistrel");
    EXPECT_EQ(parser->srcvers(), "2.1.0");
    EXPECT_EQ(parser->protocolVersion(), 1);
    EXPECT_EQ(parser->host(), "127.0.0.2");
    EXPECT_EQ(parser->parameters().at("passcode"), "4711");

    KPRemoteHost back;
    back.setParameters(parser->parameters());
    EXPECT_EQ(back.controlPort(), 5123);
    EXPECT_TRUE(back.supportsH264());
    EXPECT_EQ(back.maxResolution(), QSize(1920, 1080));
    EXPECT_EQ(back.conferenceVersion(), 2);
}

TEST(DiscoveryCodec, ReplyWithoutPasscodeOrOptionalFieldsUsesDefaults)
{
    KPRemoteHost host;
    host.setHostName(QStringLiteral("Bare"));
    const QByteArray reply = KPRemoteCommandGenerator().commandEchoReply(host);
    EXPECT_EQ(QByteArray(reply).indexOf("passcode"), -1);

    KPVistrelRemoteSocketDataParser parser;
    parser.setDataToParse(R"({"cmd":"echo","hostName":"Bare"})");
    ASSERT_TRUE(parser.parseNow());
    EXPECT_TRUE(parser.isDiscoveryMessage());
    EXPECT_FALSE(parser.parameters().contains("passcode"));
    EXPECT_EQ(parser.displayName(), "");

    KPRemoteHost back;
    back.setHostName(parser.hostName());
    back.setParameters(parser.parameters());
    EXPECT_EQ(back.displayName(), "Bare");
    EXPECT_EQ(back.controlPort(), KPBeamlineProtocol::kDefaultControlPort);
    EXPECT_FALSE(back.supportsH264());
    EXPECT_EQ(back.maxResolution(), QSize(0, 0));
}

TEST(DiscoveryCodec, ValidJsonThatIsNoDiscoveryReplyFinishesWithoutFields)
{
    RecordingDelegate d;
    auto parser = runParser(KPRemoteCommandGenerator().commandGetEcho("0123456789abcdef"), d);
    EXPECT_EQ(d.finished, 1);
    EXPECT_FALSE(parser->isDiscoveryMessage());
    EXPECT_TRUE(parser->hostName().isEmpty());
    EXPECT_TRUE(KPRemoteCommandGenerator::isEchoCommand(
        KPRemoteCommandGenerator().commandGetEcho("0123456789abcdef")));
}

TEST(DiscoveryCodec, TheQueryTokenTravelsToTheReceiverAndBack)
{
    // Fresh, random, of the documented form.
    const std::string token = KPRemoteCommandGenerator::newQueryToken();
    EXPECT_EQ(token.size(), std::size_t(KPBeamlineProtocol::kQueryTokenLength));
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(token, KPRemoteCommandGenerator::newQueryToken());

    // The receiver reads it from the query ...
    EXPECT_EQ(KPRemoteCommandGenerator::parseEchoCommand(KPRemoteCommandGenerator().commandGetEcho(token)),
              std::optional<std::string>(token));
    EXPECT_EQ(KPRemoteCommandGenerator::parseEchoCommand(R"({"cmd":"getEcho"})"),
              std::optional<std::string>(""))
        << "a query without a token is still a query";
    EXPECT_FALSE(KPRemoteCommandGenerator::parseEchoCommand(R"({"cmd":"getEcho","token":7})"));
    EXPECT_FALSE(KPRemoteCommandGenerator::parseEchoCommand(
        QByteArray(R"({"cmd":"getEcho","token":")") +
        QByteArray(KPBeamlineProtocol::kMaxQueryTokenSize + 1, 'a') + "\"}"));
    EXPECT_FALSE(KPRemoteCommandGenerator::parseEchoCommand(R"({"cmd":"echo","token":"x"})"));

    // ... and the sender reads it back from the reply.
    RecordingDelegate d;
    auto parser = runParser(KPRemoteCommandGenerator().commandEchoReply(sampleHost(), token), d);
    ASSERT_TRUE(parser->isDiscoveryMessage());
    EXPECT_EQ(parser->token(), token);
    auto bare = runParser(KPRemoteCommandGenerator().commandEchoReply(sampleHost()), d);
    ASSERT_TRUE(bare->isDiscoveryMessage());
    EXPECT_TRUE(bare->token().empty());
    RecordingDelegate wrong;
    runParser(R"({"cmd":"echo","hostName":"x","token":["a"]})", wrong);
    EXPECT_EQ(wrong.errors, 1);
}

TEST(DiscoveryCodec, MalformedDatagramsAreErrors)
{
    const QByteArray good = KPRemoteCommandGenerator().commandEchoReply(sampleHost());
    const QList<QByteArray> bad = {
        QByteArray(),
        good.left(good.size() / 2),                         // truncated
        "not json at all",                                  // non-JSON
        "[1,2,3]",                                          // not an object
        R"({"hostName":"x"})",                              // no cmd
        R"({"cmd":"echo"})",                                // no hostName
        R"({"cmd":"echo","hostName":""})",                  // empty hostName
        R"({"cmd":"echo","hostName":42})",                  // wrong type
        R"({"cmd":"echo","hostName":"x","parameters":[]})", // parameters not an object
        R"({"cmd":"echo","hostName":"x","parameters":{"controlPort":70000}})",
        R"({"cmd":"echo","hostName":"x","parameters":{"maxWidth":-5}})",
        R"({"cmd":"echo","hostName":"x","parameters":{"h264":"yes"}})",
        R"({"cmd":"echo","hostName":"x","parameters":{"passcode":12}})",
        R"({"cmd":"echo","hostName":"x","protocolVersion":"1"})",
        R"({"cmd":"echo","hostName":"x","protocolVersion":18446744073709551615})",  // beyond 64 bits signed
        R"({"cmd":"echo","hostName":"x","parameters":{"controlPort":4294967297}})", // would wrap to 1
        R"({"cmd":"echo","hostName":"x","parameters":{"maxWidth":1.5}})",
        QByteArray(R"({"cmd":"echo","hostName":")") + QByteArray("\xff\xfe", 2) + "\"}", // bad UTF-8
    };
    for (const QByteArray& data : bad) {
        RecordingDelegate d;
        auto parser = runParser(data, d);
        EXPECT_EQ(d.errors, 1) << data.toStdString();
        EXPECT_EQ(d.finished, 0) << data.toStdString();
        EXPECT_FALSE(parser->isDiscoveryMessage());
        EXPECT_TRUE(parser->hostName().isEmpty());
    }
}

TEST(DiscoveryCodec, OversizedDatagramIsRefusedBeforeParsing)
{
    QByteArray padded = R"({"cmd":"echo","hostName":"x","pad":")";
    padded.append(QByteArray(KPBeamlineProtocol::kMaxDiscoveryDatagramSize, 'a'));
    padded.append("\"}");
    RecordingDelegate d;
    runParser(padded, d);
    EXPECT_EQ(d.errors, 1);
    EXPECT_TRUE(d.lastError.contains("larger"));
    EXPECT_FALSE(KPRemoteCommandGenerator::isEchoCommand(QByteArray(4096, ' ') + "{\"cmd\":\"getEcho\"}"));
}

TEST(LinkCodec, MediaFramesRoundTripThroughTheFrameDecoder)
{
    const QByteArray au("\x00\x00\x00\x01\x67\x42\x00\x00\x00\x01\x65\x88", 12);
    QByteArray stream = KPReceiverLinkCodec::encodeH264(au, 1728, 1080);
    stream += KPReceiverLinkCodec::encodeJpeg(QByteArray("\xff\xd8\xff\xd9", 4));
    stream += KPReceiverLinkCodec::encodePcm(QByteArray(16, '\x01'));
    stream += KPReceiverLinkCodec::encodeJson(R"({"jsonrpc":"2.0","method":"x"})");

    FrameCodec::Decoder decoder(KPBeamlineProtocol::kMaxFrameBodySize);
    // Feed byte by byte: frames must come out whole regardless of how TCP splits them.
    for (char c : stream)
        decoder.append(QByteArrayView(&c, 1));

    std::vector<KPReceiverLinkCodec::Message> messages;
    QByteArray body;
    while (decoder.next(body) == FrameCodec::Decoder::Status::Frame) {
        KPReceiverLinkCodec::Message m;
        ASSERT_EQ(KPReceiverLinkCodec::decodeBody(body, m), KPReceiverLinkCodec::DecodeResult::Ok);
        messages.push_back(m);
    }
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0].type, KPBeamlineProtocol::FrameType::H264);
    EXPECT_EQ(messages[0].width, 1728);
    EXPECT_EQ(messages[0].height, 1080);
    EXPECT_EQ(messages[0].payload, au);
    EXPECT_EQ(messages[1].type, KPBeamlineProtocol::FrameType::Jpeg);
    EXPECT_EQ(messages[2].type, KPBeamlineProtocol::FrameType::Pcm);
    EXPECT_EQ(messages[2].payload.size(), 16);
    EXPECT_EQ(messages[3].type, KPBeamlineProtocol::FrameType::Json);
}

TEST(LinkCodec, InvalidBodiesAndPayloadsAreRefused)
{
    using R = KPReceiverLinkCodec::DecodeResult;
    KPReceiverLinkCodec::Message m;
    EXPECT_EQ(KPReceiverLinkCodec::decodeBody({}, m), R::Empty);
    EXPECT_EQ(KPReceiverLinkCodec::decodeBody(QByteArray("\x7f", 1), m), R::UnknownType);
    EXPECT_EQ(KPReceiverLinkCodec::decodeBody(QByteArray("\x02\x01\x00\x00\x00", 5), m), R::Truncated);
    // H.264 header claiming a zero or huge size.
    EXPECT_EQ(KPReceiverLinkCodec::decodeBody(QByteArray("\x02\x00\x00\x00\x00\x10\x00\x00\x00\xaa", 10), m),
              R::BadDimensions);
    EXPECT_EQ(KPReceiverLinkCodec::decodeBody(QByteArray("\x02\xff\xff\xff\xff\x10\x00\x00\x00\xaa", 10), m),
              R::BadDimensions);
    QByteArray bigJson(1, char(KPBeamlineProtocol::FrameType::Json));
    bigJson.append(QByteArray(KPBeamlineProtocol::kMaxControlMessageSize + 1, ' '));
    EXPECT_EQ(KPReceiverLinkCodec::decodeBody(bigJson, m), R::TooLarge);

    // The encoders refuse what the decoder would refuse.
    EXPECT_TRUE(KPReceiverLinkCodec::encodeH264(QByteArray(10, 'a'), 0, 10).isEmpty());
    EXPECT_TRUE(KPReceiverLinkCodec::encodePcm(QByteArray(3, 'a')).isEmpty());
    EXPECT_TRUE(
        KPReceiverLinkCodec::encodeJson(std::string(KPBeamlineProtocol::kMaxControlMessageSize + 1, ' '))
            .isEmpty());
    // A media frame larger than 1 MiB is still fine.
    EXPECT_FALSE(KPReceiverLinkCodec::encodeJpeg(QByteArray(3 * 1024 * 1024, 'j')).isEmpty());
}

TEST(LinkCodec, CaptureTimeRoundTripsAndOnlyEightBytePayloadsAreAccepted)
{
    using R = KPReceiverLinkCodec::DecodeResult;
    KPReceiverLinkCodec::Message m;
    for (std::uint64_t us : {std::uint64_t(0), std::uint64_t(0x0102030405060708), ~std::uint64_t(0)}) {
        const QByteArray frame = KPReceiverLinkCodec::encodeCaptureTime(us);
        ASSERT_EQ(frame.size(), 4 + 1 + 8);
        ASSERT_EQ(KPReceiverLinkCodec::decodeBody(frame.mid(4), m), R::Ok);
        EXPECT_EQ(m.type, KPBeamlineProtocol::FrameType::CaptureTime);
        EXPECT_EQ(m.captureTimeUs, us);
    }
    EXPECT_EQ(KPReceiverLinkCodec::encodeCaptureTime(0x0102030405060708ull).mid(5),
              QByteArray("\x08\x07\x06\x05\x04\x03\x02\x01", 8)); // little-endian
    for (int length : {0, 7, 9}) {
        QByteArray body(1, char(KPBeamlineProtocol::FrameType::CaptureTime));
        body.append(QByteArray(length, '\x01'));
        EXPECT_EQ(KPReceiverLinkCodec::decodeBody(body, m), length < 8 ? R::Truncated : R::TooLarge)
            << length;
    }
}

TEST(LinkCodec, KeyFrameDetectionLooksAtNalTypes)
{
    EXPECT_TRUE(KPReceiverLinkCodec::isH264KeyFrame(QByteArray("\x00\x00\x00\x01\x67\x42", 6))); // SPS
    EXPECT_TRUE(KPReceiverLinkCodec::isH264KeyFrame(
        QByteArray("\x00\x00\x01\x09\x10\x00\x00\x01\x65", 9)));                                  // AUD + IDR
    EXPECT_FALSE(KPReceiverLinkCodec::isH264KeyFrame(QByteArray("\x00\x00\x00\x01\x41\x9a", 6))); // P slice
    EXPECT_FALSE(KPReceiverLinkCodec::isH264KeyFrame(QByteArray("\x65\x00\x00", 3)));
}
