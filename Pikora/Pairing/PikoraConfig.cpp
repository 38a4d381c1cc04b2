#include "Pikora/Pairing/PikoraConfig.h"

namespace PikoraConfig {

namespace {

// Counts nesting outside string literals, so that a deeply nested body is refused before the
// parser builds it (dumping such a value later would recurse once per level).
bool nestingWithin(const QByteArray& body, int maxDepth)
{
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : body) {
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
            if (++depth > maxDepth)
                return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

} // namespace

ParseResult parse(const QByteArray& body)
{
    ParseResult result;
    if (body.size() > kMaxBodyBytes) {
        result.error = QStringLiteral("The configuration file is larger than %1 bytes.").arg(kMaxBodyBytes);
        return result;
    }
    if (!nestingWithin(body, kMaxDepth)) {
        result.error = QStringLiteral("The configuration file nests deeper than %1 levels.").arg(kMaxDepth);
        return result;
    }
    Json value;
    try {
        value = Json::parse(body.constBegin(), body.constEnd());
    } catch (const Json::exception& e) {
        // The parser's own message, e.g. "... parse error at line 1, column 2: syntax error ...".
        result.error = QString::fromUtf8(e.what());
        return result;
    }
    if (!value.is_object()) {
        result.kind = ParseResult::Kind::NotAnObject;
        return result;
    }
    result.kind = ParseResult::Kind::Object;
    result.object = std::move(value);
    return result;
}

} // namespace PikoraConfig
