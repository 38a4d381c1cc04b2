#pragma once

// JSON-RPC 2.0 message objects shared by the accessory link and the receiver link.
// Text out with JSONRPCMessage(); a typed object back from text with KPJSONRPCObject::parse().

#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

// Objects keep their members in insertion order (a peer may expect params in a stated order),
// so the project's JSON type is the order-preserving one.
using Json = nlohmann::ordered_json;

class KPJSONRPCObject
{
public:
    enum class Kind
    {
        Request,
        Notification,
        Response
    };
    virtual ~KPJSONRPCObject() = default;
    virtual Kind kind() const = 0;
    // The JSON-RPC 2.0 text of this object (compact, UTF-8).
    virtual std::string JSONRPCMessage() const = 0;

    // Parses one JSON-RPC 2.0 message. Returns null and fills `error` for text that is not
    // valid UTF-8, not JSON, nested deeper than kMaxDepth, not an object (batch arrays are not
    // supported), has a missing or wrong "jsonrpc", a missing or non-string "method", "params"
    // that are neither object nor array (null counts as absent), an id that is not a string or
    // an integer (null only in an error response), is a response with neither or both of
    // "result" and "error", or has an "error" member without an integer "code" and a string
    // "message".
    static std::unique_ptr<KPJSONRPCObject> parse(std::string_view text, std::string* error);

    static constexpr int kMaxDepth = 64;
};

// A request: method, params (object or array; null = absent) and an id (string or integer).
class KPJSONRPCRequest : public KPJSONRPCObject
{
public:
    KPJSONRPCRequest(std::string method, Json params, Json aId);
    Kind kind() const override { return Kind::Request; }
    std::string JSONRPCMessage() const override;
    const std::string& method() const { return m_method; }
    const Json& params() const { return m_params; }
    const Json& aId() const { return m_id; }

private:
    std::string m_method;
    Json m_params;
    Json m_id;
};

class KPJSONRPCNotification : public KPJSONRPCObject
{
public:
    KPJSONRPCNotification(std::string method, Json params);
    Kind kind() const override { return Kind::Notification; }
    std::string JSONRPCMessage() const override;
    const std::string& method() const { return m_method; }
    const Json& params() const { return m_params; }

private:
    std::string m_method;
    Json m_params;
};

// A response: the id it answers and either a result or an error object.
class KPJSONRPCResponse : public KPJSONRPCObject
{
public:
    static KPJSONRPCResponse success(Json aId, Json result);
    static KPJSONRPCResponse failure(Json aId, int code, std::string message, Json data = nullptr);

    Kind kind() const override { return Kind::Response; }
    std::string JSONRPCMessage() const override;
    const Json& aId() const { return m_id; }
    const Json& result() const { return m_result; } // null when this is an error response
    const Json& error() const { return m_error; }   // null when this is a success response
    bool isError() const { return !m_error.is_null(); }

private:
    friend class KPJSONRPCObject;
    KPJSONRPCResponse(Json aId, Json result, Json error);
    Json m_id;
    Json m_result;
    Json m_error;
};

// Routes notifications and requests by method name to registered operations. Registering a
// method again replaces its operation. Not thread-safe: use one dispatcher from one thread
// (operations may register or clear from inside their own call).
class KPJSONRPCDispatcher
{
public:
    using NotificationOperation = std::function<void(const KPJSONRPCNotification&, void* context)>;
    using RequestOperation = std::function<Json(const KPJSONRPCRequest&, void* context)>;

    void registerNotification(const std::string& method, NotificationOperation operation);
    void registerRequest(const std::string& method, RequestOperation operation);
    void clearAllRegisteredBlock();

    // Returns true when an operation was registered for the method and ran.
    bool processNotification(const KPJSONRPCNotification& notification, void* context);
    // Returns the response to send back: the operation's result, or a "Method not found"
    // error (-32601) when nothing is registered for the method.
    KPJSONRPCResponse processRequest(const KPJSONRPCRequest& request, void* context);

private:
    std::map<std::string, NotificationOperation> m_notifications;
    std::map<std::string, RequestOperation> m_requests;
};
