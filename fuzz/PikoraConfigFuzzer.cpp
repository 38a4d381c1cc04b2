// Parses arbitrary bytes as a receiver's configuration file. Whatever is accepted as an object
// must serialise to text that parses again to the same text (members in order), and must make
// a "set-pairing-data" request the accessory link accepts; whatever is refused must say why.
// Crashes, exceptions and sanitizer reports are the other findings.
#include "Beamline/KPJSONRPC.h"
#include "Pikora/Pairing/PikoraConfig.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > std::size_t(PikoraConfig::kMaxBodyBytes) + 1)
        return 0;
    const QByteArray body(reinterpret_cast<const char*>(data), qsizetype(size));
    const PikoraConfig::ParseResult result = PikoraConfig::parse(body);
    switch (result.kind) {
    case PikoraConfig::ParseResult::Kind::Invalid:
        if (result.error.isEmpty())
            std::abort();
        return 0;
    case PikoraConfig::ParseResult::Kind::NotAnObject:
        return 0;
    case PikoraConfig::ParseResult::Kind::Object:
        break;
    }
    if (!result.object.is_object())
        std::abort();
    const std::string text = result.object.dump();
    const PikoraConfig::ParseResult again = PikoraConfig::parse(QByteArray::fromStdString(text));
    if (again.kind != PikoraConfig::ParseResult::Kind::Object || again.object.dump() != text)
        std::abort();

    const std::string message =
        KPJSONRPCRequest("set-pairing-data", result.object, "set-pairing-data").JSONRPCMessage();
    std::string error;
    const auto parsed = KPJSONRPCObject::parse(message, &error);
    if (!parsed || parsed->kind() != KPJSONRPCObject::Kind::Request)
        std::abort();
    if (static_cast<const KPJSONRPCRequest&>(*parsed).params().dump() != text)
        std::abort();
    return 0;
}
