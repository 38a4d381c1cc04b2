// Parses arbitrary datagrams as echo queries, as the receiver emulator does. An accepted query
// yields a token of at most 64 bytes, and a query built with that token is accepted again with
// the same token.
#include "Beamline/KPBeamlineProtocol.h"
#include "Beamline/KPRemoteCommandGenerator.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto token = KPRemoteCommandGenerator::parseEchoCommand(
        QByteArrayView(reinterpret_cast<const char*>(data), qsizetype(size)));
    if (!token)
        return 0;
    if (token->size() > std::size_t(KPBeamlineProtocol::kMaxQueryTokenSize))
        std::abort();
    const QByteArray query = KPRemoteCommandGenerator().commandGetEcho(*token);
    if (KPRemoteCommandGenerator::parseEchoCommand(query) != token)
        std::abort();
    return 0;
}
