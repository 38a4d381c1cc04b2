#include "Pikora/Capture/AbstractCaptureDevice.h"

#include <utility>

const QString AbstractCaptureDevice::kMainDisplayName = QStringLiteral("CaptureDeviceMainDisplay");

AbstractCaptureDevice::AbstractCaptureDevice(QString name, QVariant device, QString uniqueID)
    : m_name(std::move(name)), m_device(std::move(device)), m_uniqueID(std::move(uniqueID))
{
}

AbstractCaptureDevice AbstractCaptureDevice::mainDisplay(std::uint32_t displayId)
{
    return AbstractCaptureDevice(kMainDisplayName, QVariant::fromValue<uint>(displayId), kMainDisplayName);
}

std::uint32_t AbstractCaptureDevice::displayIdentifier() const
{
    switch (m_device.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
        return static_cast<std::uint32_t>(m_device.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float: {
        const double value = m_device.toDouble();
        return value >= 0 && value <= 4294967295.0 ? static_cast<std::uint32_t>(value) : 0;
    }
    default:
        return 0;
    }
}

QString AbstractCaptureDevice::description() const
{
    return QStringLiteral("Display device(%1) name:%2, id:%3").arg(m_device.toString(), m_name, m_uniqueID);
}
