// Parses arbitrary datagrams as discovery replies, as the scanners do. Whatever is accepted as
// a discovery reply must hold only values within the documented ranges, and a reply rebuilt
// from the parsed fields must parse back to the same fields. Crashes, exceptions and sanitizer
// reports are the other findings.
#include "Beamline/KPRemoteCommandGenerator.h"
#include "Beamline/KPRemoteHost.h"
#include "Beamline/KPVistrelRemoteSocketDataParser.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

KPRemoteHost hostOf(const KPVistrelRemoteSocketDataParser& parser)
{
    KPRemoteHost host;
    host.setParameters(parser.parameters());
    host.setHostName(parser.hostName());
    host.setDisplayName(parser.displayName());
    host.setDeviceModel(parser.deviceModel());
    host.setVendor(parser.vendor());
    host.setSrcvers(parser.srcvers());
    host.setProtocolVersion(parser.protocolVersion());
    host.setPasscode(parser.passcode());
    return host;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    KPVistrelRemoteSocketDataParser parser;
    parser.setDataToParse(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    QString error;
    const bool parsed = parser.parseNow(&error);
    if (!parsed && error.isEmpty())
        std::abort(); // a refusal must say why
    if (!parsed || !parser.isDiscoveryMessage())
        return 0;

    const KPRemoteHost host = hostOf(parser);
    if (host.hostName().isEmpty() || parser.token().size() > 64 || parser.protocolVersion() < 0)
        std::abort();
    const QSize max = host.maxResolution();
    if (max.width() < 0 || max.width() > 16384 || max.height() < 0 || max.height() > 16384)
        std::abort();
    if (host.controlPort() == 0 || host.configPort() == 0)
        std::abort();

    // Round trip through the receiver's encoder.
    KPVistrelRemoteSocketDataParser again;
    again.setDataToParse(KPRemoteCommandGenerator().commandEchoReply(host, parser.token()));
    if (!again.parseNow() || !again.isDiscoveryMessage())
        std::abort();
    const KPRemoteHost back = hostOf(again);
    if (back.hostName() != host.hostName() || back.controlPort() != host.controlPort() ||
        back.maxResolution() != host.maxResolution() || back.passcode() != host.passcode() ||
        again.token() != parser.token() || back.supportsH264() != host.supportsH264())
        std::abort();
    return 0;
}
