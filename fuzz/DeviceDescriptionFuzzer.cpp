// Parses arbitrary bytes as the USB device-description file. Parsing never fails outright: the
// result is always usable, with ids within 32 bits, a finite compression rate and non-empty
// class names.
#include "QuorbelOSXUtility/KPUSBDeviceDescription.h"

#include <QtGlobal>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const bool quiet = [] {
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
        return true;
    }();
    (void)quiet;
    const KPUSBDeviceDescription d = KPUSBDeviceDescription::parse(
        QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)), QStringLiteral("fuzz"));
    if (!std::isfinite(d.compressionRate) || d.scsiStorageClass.empty() || d.framebufferClass.empty())
        std::abort();
    return 0;
}
