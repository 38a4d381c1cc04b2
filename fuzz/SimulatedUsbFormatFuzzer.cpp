// Parses arbitrary bytes as a simulated-bus description file and arbitrary file names as bus
// entries. An accepted description serialises to text that parses back to the same
// description; a name taken as a device never leaves the bus directory.
#include "QuorbelOSXUtility/SimulatedUsbFormat.h"

#include <QtGlobal>
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
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));

    SimulatedUsbDescription description;
    QString error;
    if (SimulatedUsbFormat::parse(bytes, description, &error)) {
        SimulatedUsbDescription again;
        if (!SimulatedUsbFormat::parse(SimulatedUsbFormat::toJson(description), again) ||
            !(again == description))
            std::abort();
    } else if (error.isEmpty()) {
        std::abort();
    }

    const QString name = SimulatedUsbFormat::deviceNameOf(QString::fromUtf8(bytes.left(256)));
    if (!name.isEmpty() && (name.contains(QLatin1Char('/')) || name.startsWith(QLatin1Char('.'))))
        std::abort();
    return 0;
}
