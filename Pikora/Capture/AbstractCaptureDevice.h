#pragma once

#include <QString>
#include <QVariant>
#include <cstdint>

// Names a device to capture. For a display, `captureDevice` holds the display identifier as
// a number. Two records are equal when their unique identifiers are equal.
class AbstractCaptureDevice
{
public:
    AbstractCaptureDevice() = default;
    AbstractCaptureDevice(QString name, QVariant device, QString uniqueID);

    // The record projection control builds for the main display.
    static AbstractCaptureDevice mainDisplay(std::uint32_t displayId);
    static const QString kMainDisplayName; // "CaptureDeviceMainDisplay"

    const QVariant& captureDevice() const { return m_device; }
    const QString& captureName() const { return m_name; }
    const QString& uniqueID() const { return m_uniqueID; }

    // The device read as a 32-bit display identifier; 0 when it is not a number.
    std::uint32_t displayIdentifier() const;

    // "Display device(<device>) name:<name>, id:<uniqueID>"
    QString description() const;

    bool operator==(const AbstractCaptureDevice& other) const { return m_uniqueID == other.m_uniqueID; }

private:
    QString m_name;
    QVariant m_device;
    QString m_uniqueID;
};
