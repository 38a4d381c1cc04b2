#include "Beamline/KPJSONRPC.h"

#include <cstdint>

namespace {

constexpr const char* kVersion = "2.0";

void setError(std::string* error, std::string text)
{
    if (error)
        *error = std::move(text);
}

// Checks that `text` is well-formed UTF-8 (no overlong forms, surrogates or code points above
// U+10FFFF) and that arrays and objects nest no deeper than `maxDepth`, before the JSON parser
// sees it. Nesting is counted outside string literals only.
bool prescan(std::string_view text, int maxDepth, std::string* error)
{
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        if (c >= 0x80) {
            size_t len = 0;
            std::uint32_t cp = 0;
            std::uint32_t min = 0;
            if ((c & 0xE0) == 0xC0) {
                len = 2, cp = c & 0x1F, min = 0x80;
            } else if ((c & 0xF0) == 0xE0) {
                len = 3, cp = c & 0x0F, min = 0x800;
            } else if ((c & 0xF8) == 0xF0) {
                len = 4, cp = c & 0x07, min = 0x10000;
            } else {
                setError(error, "invalid UTF-8 at byte " + std::to_string(i));
                return false;
            }
            if (i + len > n) {
                setError(error, "invalid UTF-8 at byte " + std::to_string(i) + " (truncated sequence)");
                return false;
            }
            for (size_t k = 1; k < len; ++k) {
                if ((p[i + k] & 0xC0) != 0x80) {
                    setError(error, "invalid UTF-8 at byte " + std::to_string(i));
                    return false;
                }
                cp = (cp << 6) | (p[i + k] & 0x3F);
            }
            if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
                setError(error, "invalid UTF-8 at byte " + std::to_string(i));
                return false;
            }
            escaped = false;
            i += len;
            continue;
        }
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maxDepth) {
                setError(error, "not JSON: nested deeper than " + std::to_string(maxDepth) + " levels");
                return false;
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
        ++i;
    }
    return true;
}

bool isValidId(const Json& id, bool allowNull)
{
    return id.is_string() || id.is_number_integer() || (allowNull && id.is_null());
}

std::string dump(const Json& j)
{
    // Strings handed in by callers may hold invalid UTF-8; replace it instead of throwing.
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace

std::unique_ptr<KPJSONRPCObject> KPJSONRPCObject::parse(std::string_view text, std::string* error)
{
    if (!prescan(text, kMaxDepth, error))
        return nullptr;
    Json j;
    try {
        j = Json::parse(text.begin(), text.end());
    } catch (const Json::exception& e) {
        setError(error, std::string("not JSON: ") + e.what());
        return nullptr;
    }
    if (j.is_array()) {
        setError(error, "batch requests are not supported");
        return nullptr;
    }
    if (!j.is_object()) {
        setError(error, "not a JSON object");
        return nullptr;
    }
    const auto version = j.find("jsonrpc");
    if (version == j.end()) {
        setError(error, "missing \"jsonrpc\" member");
        return nullptr;
    }
    if (!version->is_string() || version->get_ref<const std::string&>() != kVersion) {
        setError(error, "\"jsonrpc\" must be \"2.0\"");
        return nullptr;
    }

    const auto method = j.find("method");
    const auto id = j.find("id");
    const auto result = j.find("result");
    const auto err = j.find("error");

    if (method != j.end()) {
        if (!method->is_string()) {
            setError(error, "\"method\" must be a string");
            return nullptr;
        }
        Json params;
        if (const auto p = j.find("params"); p != j.end()) {
            if (!p->is_null() && !p->is_object() && !p->is_array()) {
                setError(error, "\"params\" must be an object or an array");
                return nullptr;
            }
            params = *p;
        }
        if (id == j.end())
            return std::make_unique<KPJSONRPCNotification>(method->get<std::string>(), std::move(params));
        if (!isValidId(*id, false)) {
            setError(error, "\"id\" of a request must be a string or an integer");
            return nullptr;
        }
        return std::make_unique<KPJSONRPCRequest>(method->get<std::string>(), std::move(params), *id);
    }

    if (result == j.end() && err == j.end()) {
        if (id == j.end())
            setError(error, "missing \"method\"");
        else
            setError(error, "response has neither \"result\" nor \"error\"");
        return nullptr;
    }
    if (result != j.end() && err != j.end()) {
        setError(error, "response has both \"result\" and \"error\"");
        return nullptr;
    }
    if (id == j.end()) {
        setError(error, "response has no \"id\"");
        return nullptr;
    }
    if (!isValidId(*id, err != j.end())) {
        setError(error, err != j.end() ? "\"id\" of a response must be a string, an integer or null"
                                       : "\"id\" of a response must be a string or an integer");
        return nullptr;
    }
    if (result != j.end())
        return std::make_unique<KPJSONRPCResponse>(KPJSONRPCResponse::success(*id, *result));

    const auto code = err->is_object() ? err->find("code") : err->end();
    const auto message = err->is_object() ? err->find("message") : err->end();
    if (!err->is_object() || code == err->end() || !code->is_number_integer() || message == err->end() ||
        !message->is_string()) {
        setError(error, "\"error\" must be an object with an integer \"code\" and a string \"message\"");
        return nullptr;
    }
    // The error object is kept as it came (codes beyond int and extra members included).
    return std::unique_ptr<KPJSONRPCResponse>(new KPJSONRPCResponse(*id, nullptr, *err));
}

KPJSONRPCRequest::KPJSONRPCRequest(std::string method, Json params, Json aId)
    : m_method(std::move(method)), m_params(std::move(params)), m_id(std::move(aId))
{
}

std::string KPJSONRPCRequest::JSONRPCMessage() const
{
    Json j = Json::object();
    j["jsonrpc"] = kVersion;
    j["method"] = m_method;
    if (!m_params.is_null())
        j["params"] = m_params;
    j["id"] = m_id;
    return dump(j);
}

KPJSONRPCNotification::KPJSONRPCNotification(std::string method, Json params)
    : m_method(std::move(method)), m_params(std::move(params))
{
}

std::string KPJSONRPCNotification::JSONRPCMessage() const
{
    Json j = Json::object();
    j["jsonrpc"] = kVersion;
    j["method"] = m_method;
    if (!m_params.is_null())
        j["params"] = m_params;
    return dump(j);
}

KPJSONRPCResponse::KPJSONRPCResponse(Json aId, Json result, Json error)
    : m_id(std::move(aId)), m_result(std::move(result)), m_error(std::move(error))
{
}

KPJSONRPCResponse KPJSONRPCResponse::success(Json aId, Json result)
{
    return KPJSONRPCResponse(std::move(aId), std::move(result), nullptr);
}

KPJSONRPCResponse KPJSONRPCResponse::failure(Json aId, int code, std::string message, Json data)
{
    Json error = Json::object();
    error["code"] = code;
    error["message"] = std::move(message);
    if (!data.is_null())
        error["data"] = std::move(data);
    return KPJSONRPCResponse(std::move(aId), nullptr, std::move(error));
}

std::string KPJSONRPCResponse::JSONRPCMessage() const
{
    Json j = Json::object();
    j["jsonrpc"] = kVersion;
    if (isError())
        j["error"] = m_error;
    else
        j["result"] = m_result; // a null result is written as null: the member must be present
    j["id"] = m_id;
    return dump(j);
}

void KPJSONRPCDispatcher::registerNotification(const std::string& method, NotificationOperation operation)
{
    m_notifications[method] = std::move(operation);
}

void KPJSONRPCDispatcher::registerRequest(const std::string& method, RequestOperation operation)
{
    m_requests[method] = std::move(operation);
}

void KPJSONRPCDispatcher::clearAllRegisteredBlock()
{
    m_notifications.clear();
    m_requests.clear();
}

bool KPJSONRPCDispatcher::processNotification(const KPJSONRPCNotification& notification, void* context)
{
    const auto it = m_notifications.find(notification.method());
    if (it == m_notifications.end() || !it->second)
        return false;
    // A copy: the operation may clear or replace its own registration while it runs.
    const NotificationOperation operation = it->second;
    operation(notification, context);
    return true;
}

KPJSONRPCResponse KPJSONRPCDispatcher::processRequest(const KPJSONRPCRequest& request, void* context)
{
    const auto it = m_requests.find(request.method());
    if (it == m_requests.end() || !it->second)
        return KPJSONRPCResponse::failure(request.aId(), -32601, "Method not found");
    const RequestOperation operation = it->second;
    return KPJSONRPCResponse::success(request.aId(), operation(request, context));
}
