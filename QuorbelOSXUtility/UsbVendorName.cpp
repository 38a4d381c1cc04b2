#include "QuorbelOSXUtility/UsbVendorName.h"

#include "QuorbelOSXUtility/UsbBus.h"
#include "QuorbelOSXUtility/UtilityLogging.h"

std::optional<QString> vendorNameOfUSBIOService(const UsbDeviceInfo& service)
{
    if (service.manufacturer.isEmpty()) {
        qCWarning(lcUsb) << "Get USB VENDOR NAME error!";
        return std::nullopt;
    }
    qCInfo(lcUsb).noquote() << QStringLiteral("usb decice vendor name:%1").arg(service.manufacturer);
    return service.manufacturer;
}
