#include "Beamline/KPJSONRPC.h"

#include <gtest/gtest.h>

namespace {

std::unique_ptr<KPJSONRPCObject> parseOk(std::string_view text)
{
    std::string error;
    auto object = KPJSONRPCObject::parse(text, &error);
    EXPECT_NE(object, nullptr) << text << " -> " << error;
    return object;
}

template <typename T> const T& as(const std::unique_ptr<KPJSONRPCObject>& object)
{
    auto* typed = dynamic_cast<const T*>(object.get());
    if (!typed)
        throw std::runtime_error("unexpected JSON-RPC kind");
    return *typed;
}

} // namespace

TEST(KPJSONRPC, RequestKeepsParamsInTheGivenOrder)
{
    Json params = Json::object();
    params["product"] = "pikora";
    params["app-version"] = "1.2(45)";
    params["os"] = "mac";
    KPJSONRPCRequest request("handshake", params, "handshake");
    EXPECT_EQ(
        request.JSONRPCMessage(),
        R"j({"jsonrpc":"2.0","method":"handshake","params":{"product":"pikora","app-version":"1.2(45)","os":"mac"},"id":"handshake"})j");

    // And the order survives a round trip.
    const auto parsed = parseOk(request.JSONRPCMessage());
    const auto& back = as<KPJSONRPCRequest>(parsed);
    EXPECT_EQ(back.method(), "handshake");
    EXPECT_EQ(back.aId(), "handshake");
    EXPECT_EQ(back.params().dump(), R"j({"product":"pikora","app-version":"1.2(45)","os":"mac"})j");
}

TEST(KPJSONRPC, RoundTripsEveryKind)
{
    KPJSONRPCRequest noParams("query-connection-intent", nullptr, "query-connection-intent");
    EXPECT_EQ(noParams.JSONRPCMessage(),
              R"({"jsonrpc":"2.0","method":"query-connection-intent","id":"query-connection-intent"})");

    KPJSONRPCRequest numbered("sum", Json::array({1, 2}), 7);
    const auto req = parseOk(numbered.JSONRPCMessage());
    ASSERT_EQ(req->kind(), KPJSONRPCObject::Kind::Request);
    EXPECT_EQ(as<KPJSONRPCRequest>(req).aId(), 7);
    EXPECT_EQ(as<KPJSONRPCRequest>(req).params(), Json::array({1, 2}));

    KPJSONRPCNotification started("notify-projection-started", nullptr);
    EXPECT_EQ(started.JSONRPCMessage(), R"({"jsonrpc":"2.0","method":"notify-projection-started"})");
    const auto note = parseOk(started.JSONRPCMessage());
    ASSERT_EQ(note->kind(), KPJSONRPCObject::Kind::Notification);
    EXPECT_EQ(as<KPJSONRPCNotification>(note).method(), "notify-projection-started");
    EXPECT_TRUE(as<KPJSONRPCNotification>(note).params().is_null());

    // The accessory's heartbeat text, with spaces, parses as a notification.
    const auto heartbeat = parseOk(R"({"jsonrpc": "2.0", "method": "heartbeat"})");
    EXPECT_EQ(heartbeat->kind(), KPJSONRPCObject::Kind::Notification);

    Json result = Json::object();
    result["ip_addr"] = "127.0.0.2";
    result["hostname"] = "Receiver é";
    const auto ok = parseOk(KPJSONRPCResponse::success("query-connection-intent", result).JSONRPCMessage());
    const auto& okResponse = as<KPJSONRPCResponse>(ok);
    EXPECT_FALSE(okResponse.isError());
    EXPECT_EQ(okResponse.aId(), "query-connection-intent");
    EXPECT_EQ(okResponse.result()["hostname"], "Receiver é");

    // A success whose result is null still carries the member and is not an error.
    const auto nullResult = parseOk(KPJSONRPCResponse::success(3, nullptr).JSONRPCMessage());
    EXPECT_FALSE(as<KPJSONRPCResponse>(nullResult).isError());

    const auto failed =
        parseOk(KPJSONRPCResponse::failure("query-connection-intent", -32000, "no pairing", {{"k", 1}})
                    .JSONRPCMessage());
    const auto& failure = as<KPJSONRPCResponse>(failed);
    EXPECT_TRUE(failure.isError());
    EXPECT_TRUE(failure.result().is_null());
    EXPECT_EQ(failure.error()["code"], -32000);
    EXPECT_EQ(failure.error()["message"], "no pairing");
    EXPECT_EQ(failure.error()["data"]["k"], 1);

    // An error response may answer a request whose id could not be read.
    const auto nullId =
        parseOk(R"({"jsonrpc":"2.0","error":{"code":-32700,"message":"Parse error"},"id":null})");
    EXPECT_TRUE(as<KPJSONRPCResponse>(nullId).aId().is_null());
}

TEST(KPJSONRPC, RejectsMalformedMessagesWithAClearError)
{
    struct Case
    {
        std::string text;
        std::string expected; // a part of the error text
    };
    const std::vector<Case> cases = {
        {"", "not JSON"},
        {"{\"jsonrpc\":\"2.0\",", "not JSON"},
        {"hello", "not JSON"},
        {std::string("{\"jsonrpc\":\"2.0\",\"method\":\"a\xff\"}"), "invalid UTF-8"},
        {std::string("{\"jsonrpc\":\"2.0\",\"method\":\"\xc3\"}"), "invalid UTF-8"},
        {std::string("{\"jsonrpc\":\"2.0\",\"method\":\"\xc0\xaf\"}"), "invalid UTF-8"},     // overlong
        {std::string("{\"jsonrpc\":\"2.0\",\"method\":\"\xed\xa0\x80\"}"), "invalid UTF-8"}, // surrogate
        {"42", "not a JSON object"},
        {"\"text\"", "not a JSON object"},
        {"null", "not a JSON object"},
        {R"([{"jsonrpc":"2.0","method":"a"}])", "batch"},
        {R"({"method":"a"})", "\"jsonrpc\""},
        {R"({"jsonrpc":"1.0","method":"a"})", "\"jsonrpc\""},
        {R"({"jsonrpc":2.0,"method":"a"})", "\"jsonrpc\""},
        {R"({"jsonrpc":"2.0"})", "missing \"method\""},
        {R"({"jsonrpc":"2.0","method":5,"id":1})", "\"method\" must be a string"},
        {R"({"jsonrpc":"2.0","method":null})", "\"method\" must be a string"},
        {R"({"jsonrpc":"2.0","method":"a","params":"x"})", "\"params\""},
        {R"({"jsonrpc":"2.0","method":"a","params":3,"id":1})", "\"params\""},
        {R"({"jsonrpc":"2.0","method":"a","id":1.5})", "\"id\""},
        {R"({"jsonrpc":"2.0","method":"a","id":{"x":1}})", "\"id\""},
        {R"({"jsonrpc":"2.0","method":"a","id":[1]})", "\"id\""},
        {R"({"jsonrpc":"2.0","method":"a","id":true})", "\"id\""},
        {R"({"jsonrpc":"2.0","method":"a","id":null})", "\"id\""},
        {R"({"jsonrpc":"2.0","id":1})", "neither"},
        {R"({"jsonrpc":"2.0","result":1,"error":{"code":1,"message":"m"},"id":1})", "both"},
        {R"({"jsonrpc":"2.0","result":1})", "\"id\""},
        {R"({"jsonrpc":"2.0","result":1,"id":null})", "\"id\""},
        {R"({"jsonrpc":"2.0","result":1,"id":2.0})", "\"id\""},
        {R"({"jsonrpc":"2.0","error":"bad","id":1})", "\"error\" must be an object"},
        {R"({"jsonrpc":"2.0","error":{"message":"m"},"id":1})", "\"error\" must be an object"},
        {R"({"jsonrpc":"2.0","error":{"code":"1","message":"m"},"id":1})", "\"error\" must be an object"},
        {R"({"jsonrpc":"2.0","error":{"code":1.5,"message":"m"},"id":1})", "\"error\" must be an object"},
        {R"({"jsonrpc":"2.0","error":{"code":1},"id":1})", "\"error\" must be an object"},
        {R"({"jsonrpc":"2.0","error":{"code":1,"message":2},"id":1})", "\"error\" must be an object"},
        {std::string(100000, '[') + std::string(100000, ']'), "nested"},
    };
    for (const Case& c : cases) {
        std::string error;
        const auto object = KPJSONRPCObject::parse(c.text, &error);
        EXPECT_EQ(object, nullptr) << c.text.substr(0, 80);
        EXPECT_NE(error.find(c.expected), std::string::npos)
            << c.text.substr(0, 80) << " -> \"" << error << "\", expected it to mention " << c.expected;
    }
    // The error argument is optional.
    EXPECT_EQ(KPJSONRPCObject::parse("[]", nullptr), nullptr);
}

TEST(KPJSONRPC, AcceptsLenientButValidShapes)
{
    // Unicode escapes and raw multi-byte UTF-8, explicit null params, unknown extra members,
    // nesting within the limit.
    const auto a = parseOk(R"({"jsonrpc":"2.0","method":"caf\u00e9","params":null,"extra":true})");
    EXPECT_EQ(as<KPJSONRPCNotification>(a).method(), "café");
    const auto b = parseOk("{\"jsonrpc\":\"2.0\",\"method\":\"\xf0\x9f\x98\x80\",\"id\":-3}");
    EXPECT_EQ(as<KPJSONRPCRequest>(b).aId(), -3);
    // Brackets inside strings do not count as nesting.
    const auto c =
        parseOk(R"({"jsonrpc":"2.0","method":"m","params":{"s":")" + std::string(200, '[') + R"("}})");
    EXPECT_EQ(c->kind(), KPJSONRPCObject::Kind::Notification);
    std::string nested = R"({"jsonrpc":"2.0","method":"m","params":)";
    nested += std::string(KPJSONRPCObject::kMaxDepth - 1, '[') +
              std::string(KPJSONRPCObject::kMaxDepth - 1, ']') + "}";
    parseOk(nested);
}

TEST(KPJSONRPC, InvalidUtf8HandedInByACallerIsReplacedNotThrown)
{
    KPJSONRPCNotification bad("m", {{"s", std::string("a\xff")}});
    std::string text;
    EXPECT_NO_THROW(text = bad.JSONRPCMessage());
    EXPECT_NE(KPJSONRPCObject::parse(text, nullptr), nullptr) << "output must itself be valid";
}

TEST(KPJSONRPCDispatcher, RoutesByMethodAndAnswersUnknownRequests)
{
    KPJSONRPCDispatcher dispatcher;
    std::vector<std::string> log;
    int context = 0;
    dispatcher.registerNotification("notify-button-pressed", [&](const KPJSONRPCNotification& n, void* ctx) {
        EXPECT_EQ(ctx, &context);
        log.push_back(n.method());
    });
    dispatcher.registerNotification("notify-button-long-pressed",
                                    [&](const KPJSONRPCNotification&, void*) { log.push_back("long"); });
    dispatcher.registerRequest("echo", [](const KPJSONRPCRequest& r, void*) { return r.params(); });

    EXPECT_TRUE(
        dispatcher.processNotification(KPJSONRPCNotification("notify-button-pressed", nullptr), &context));
    EXPECT_TRUE(dispatcher.processNotification(KPJSONRPCNotification("notify-button-long-pressed", nullptr),
                                               nullptr));
    EXPECT_FALSE(dispatcher.processNotification(KPJSONRPCNotification("unknown", nullptr), nullptr));
    EXPECT_EQ(log, (std::vector<std::string>{"notify-button-pressed", "long"}));

    const KPJSONRPCResponse echoed =
        dispatcher.processRequest(KPJSONRPCRequest("echo", {{"a", 1}}, 9), nullptr);
    EXPECT_FALSE(echoed.isError());
    EXPECT_EQ(echoed.aId(), 9);
    EXPECT_EQ(echoed.result()["a"], 1);

    const KPJSONRPCResponse missing =
        dispatcher.processRequest(KPJSONRPCRequest("nope", nullptr, "x"), nullptr);
    ASSERT_TRUE(missing.isError());
    EXPECT_EQ(missing.aId(), "x");
    EXPECT_EQ(missing.error()["code"], -32601);
    EXPECT_EQ(missing.error()["message"], "Method not found");

    // Registering again replaces; clearing removes everything.
    dispatcher.registerNotification("notify-button-pressed",
                                    [&](const KPJSONRPCNotification&, void*) { log.push_back("new"); });
    dispatcher.processNotification(KPJSONRPCNotification("notify-button-pressed", nullptr), nullptr);
    EXPECT_EQ(log.back(), "new");
    dispatcher.clearAllRegisteredBlock();
    EXPECT_FALSE(
        dispatcher.processNotification(KPJSONRPCNotification("notify-button-pressed", nullptr), nullptr));
    EXPECT_TRUE(dispatcher.processRequest(KPJSONRPCRequest("echo", nullptr, 1), nullptr).isError());
}

TEST(KPJSONRPCDispatcher, AnOperationMayClearTheDispatcherWhileRunning)
{
    KPJSONRPCDispatcher dispatcher;
    std::string captured = "still alive";
    bool ran = false;
    dispatcher.registerNotification("n", [&, captured](const KPJSONRPCNotification&, void*) {
        dispatcher.clearAllRegisteredBlock(); // destroys the registered copy of this closure
        ran = captured == "still alive";
    });
    EXPECT_TRUE(dispatcher.processNotification(KPJSONRPCNotification("n", nullptr), nullptr));
    EXPECT_TRUE(ran);
    EXPECT_FALSE(dispatcher.processNotification(KPJSONRPCNotification("n", nullptr), nullptr));
}
