#include "QuorbelOSXUtility/UsbBus.h"

#include "QuorbelOSXUtility/LibUsbBus.h"
#include "QuorbelOSXUtility/SimulatedUsbBus.h"
#include "QuorbelOSXUtility/UtilityLogging.h"

std::unique_ptr<UsbBus> UsbBus::create(const QString& simulatedDirectory, QObject* parent)
{
    qRegisterMetaType<UsbDeviceInfo>();
    if (!simulatedDirectory.isEmpty()) {
        qCInfo(lcUsb) << "using the simulated USB bus in" << simulatedDirectory;
        return std::make_unique<SimulatedUsbBus>(simulatedDirectory, parent);
    }
    return std::make_unique<LibUsbBus>(parent);
}

QString toString(UsbResult r)
{
    switch (r) {
    case UsbResult::Ok:
        return QStringLiteral("ok");
    case UsbResult::NotFound:
        return QStringLiteral("not found");
    case UsbResult::AccessDenied:
        return QStringLiteral("access denied");
    case UsbResult::Busy:
        return QStringLiteral("busy");
    case UsbResult::Timeout:
        return QStringLiteral("timed out");
    case UsbResult::NoDevice:
        return QStringLiteral("no such device");
    case UsbResult::Io:
        return QStringLiteral("input/output error");
    case UsbResult::InvalidArgument:
        return QStringLiteral("invalid argument");
    }
    return QStringLiteral("unknown result %1").arg(static_cast<int>(r));
}
