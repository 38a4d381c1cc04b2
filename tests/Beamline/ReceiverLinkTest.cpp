// The receiver link's deadlines and bounds, driven without a socket: the receiver's bytes are
// fed in directly, and nothing the link queues is ever written, as with a receiver that has
// stopped reading.
#include "Beamline/KPBeamlineProtocol.h"
#include "Beamline/KPReceiverLink.h"
#include "Beamline/KPReceiverLinkCodec.h"
#include "BeamlineTestSupport.h"

#include <gtest/gtest.h>
#include <optional>

namespace {

struct Recorder
{
    bool opened = false;
    std::optional<KPError> closed;
    std::optional<KPError> failed;
    QStringList protocolErrors;
};

// A link whose hello was answered (unless `answerHello` is false), on this thread.
KPReceiverLink* openLink(Recorder& r, bool answerHello = true,
                         Json helloResult = Json{{"hostName", "Room"}, {"parameters", Json::object()}})
{
    KPReceiverLink::Callbacks callbacks;
    callbacks.opened = [&r](const Json&) { r.opened = true; };
    callbacks.closed = [&r](const KPError& e) { r.closed = e; };
    callbacks.failed = [&r](const KPError& e) { r.failed = e; };
    callbacks.protocolError = [&r](const QString& e) { r.protocolErrors << e; };
    auto* link = new KPReceiverLink(QStringLiteral("127.0.0.1"), 9, std::chrono::milliseconds(3000),
                                    Json::object(), std::move(callbacks));
    link->beginWithoutSocketForTesting();
    if (answerHello) // the hello is request 1
        link->receiveForTesting(KPReceiverLinkCodec::encodeJson(
            KPJSONRPCResponse::success(1, std::move(helloResult)).JSONRPCMessage()));
    return link;
}

class ReceiverLink : public ::testing::Test
{
protected:
    void SetUp() override { saved = KPReceiverLink::defaultTiming(); }
    void TearDown() override { KPReceiverLink::setDefaultTiming(saved); }
    KPReceiverLink::Timing saved;
};

} // namespace

TEST_F(ReceiverLink, ARequestWithoutAnAnswerFailsWithATimeoutAndALateAnswerIsIgnored)
{
    KPReceiverLink::Timing timing;
    timing.requestTimeout = std::chrono::milliseconds(300);
    KPReceiverLink::setDefaultTiming(timing);
    Recorder r;
    KPReceiverLink* link = openLink(r);
    ASSERT_TRUE(r.opened);
    std::optional<KPJSONRPCResponse> answer;
    const long long id = link->request(KPBeamlineProtocol::Method::StartDisplay, Json::object(),
                                       [&](const KPJSONRPCResponse& response) { answer = response; });
    ASSERT_TRUE(waitUntil([&] { return answer.has_value(); }, 3000));
    ASSERT_TRUE(answer->isError());
    EXPECT_EQ(answer->error()["code"], int(KPError::Timeout));
    // The answer after the deadline reaches nobody and costs nothing.
    link->receiveForTesting(KPReceiverLinkCodec::encodeJson(
        KPJSONRPCResponse::success(id, Json{{"screenNumber", 1}, {"screenPosition", 0}}).JSONRPCMessage()));
    EXPECT_FALSE(r.closed);

    // A deadline can be moved (a conference host deciding).
    answer.reset();
    const long long id2 = link->request(KPBeamlineProtocol::Method::StartDisplay, Json::object(),
                                        [&](const KPJSONRPCResponse& response) { answer = response; });
    link->extendRequest(id2, std::chrono::milliseconds(1500));
    spin(800);
    EXPECT_FALSE(answer.has_value());
    ASSERT_TRUE(waitUntil([&] { return answer.has_value(); }, 3000));
    link->shutdown();
}

TEST_F(ReceiverLink, ASilentReceiverIsPingedAndThenDropped)
{
    KPReceiverLink::Timing timing;
    timing.keepAliveAfter = std::chrono::milliseconds(200);
    timing.idleTimeout = std::chrono::milliseconds(700);
    KPReceiverLink::setDefaultTiming(timing);
    Recorder r;
    KPReceiverLink* link = openLink(r);
    ASSERT_TRUE(r.opened);
    // Anything from the receiver keeps the link alive: an answer to the ping (id 2) after the
    // first quiet spell.
    spin(400);
    link->receiveForTesting(
        KPReceiverLinkCodec::encodeJson(KPJSONRPCResponse::success(2, Json::object()).JSONRPCMessage()));
    spin(450);
    EXPECT_FALSE(r.closed) << "a receiver that answered its ping was dropped";
    // Then silence: the link ends through the usual closed callback.
    ASSERT_TRUE(waitUntil([&] { return r.closed.has_value(); }, 3000));
    EXPECT_EQ(r.closed->code, KPError::Timeout);
    link->shutdown();
}

TEST_F(ReceiverLink, AControlQueueThatIsNotDrainedClosesTheLinkInsteadOfGrowing)
{
    Recorder r;
    KPReceiverLink* link = openLink(r);
    ASSERT_TRUE(r.opened);
    // The receiver reads nothing; every message stays queued.
    for (qsizetype i = 0; i < KPReceiverLink::kMaxQueuedControlMessages + 10; ++i)
        link->notify("hostControl.cancelRequest", Json::object());
    EXPECT_LE(link->queuedBytes(), KPReceiverLink::kMaxQueuedControlBytes);
    ASSERT_TRUE(waitUntil([&] { return r.closed.has_value(); }, 3000));
    EXPECT_EQ(r.closed->code, KPError::ConnectionClosed);
    link->shutdown();
}

TEST_F(ReceiverLink, AHelloAnswerIsCheckedLikeADiscoveryReply)
{
    for (const Json& parameters :
         {Json{{"maxWidth", -5}}, Json{{"maxWidth", 4294967312LL}}, Json{{"maxHeight", "1080"}},
          Json{{"controlPort", 70000}}, Json{{"h264", "yes"}}, Json{{"conferenceVersion", 1.5}}, Json("x")}) {
        SCOPED_TRACE(parameters.dump());
        Recorder r;
        KPReceiverLink* link = openLink(r, true, Json{{"hostName", "Room"}, {"parameters", parameters}});
        EXPECT_FALSE(r.opened);
        ASSERT_TRUE(r.failed);
        EXPECT_EQ(r.failed->code, KPError::ProtocolError);
        ASSERT_EQ(r.protocolErrors.size(), 1);
        EXPECT_TRUE(r.protocolErrors[0].startsWith(QStringLiteral("malformed hello answer")));
        link->shutdown();
    }
    for (const Json& hello :
         {Json{{"hostName", 5}}, Json{{"hostName", ""}}, Json{{"hostName", std::string(300, 'x')}},
          Json{{"hostName", "Room"}, {"protocolVersion", -1}}, Json::array()}) {
        SCOPED_TRACE(hello.dump());
        Recorder r;
        KPReceiverLink* link = openLink(r, true, hello);
        EXPECT_FALSE(r.opened);
        EXPECT_TRUE(r.failed);
        link->shutdown();
    }
    spin(50); // let the links delete themselves
}
