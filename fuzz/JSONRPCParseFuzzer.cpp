// Parses arbitrary text as JSON-RPC. Whatever parses must serialise to text that parses again
// to the same kind and the same text (a fixed point after one round); whatever fails must say
// why. Crashes, exceptions and sanitizer reports are the other findings.
#include "Beamline/KPJSONRPC.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const auto object = KPJSONRPCObject::parse(text, &error);
    if (!object) {
        if (error.empty())
            std::abort();
        return 0;
    }
    const std::string first = object->JSONRPCMessage();
    std::string again;
    const auto reparsed = KPJSONRPCObject::parse(first, &again);
    if (!reparsed || reparsed->kind() != object->kind())
        std::abort();
    if (reparsed->JSONRPCMessage() != first)
        std::abort();
    return 0;
}
