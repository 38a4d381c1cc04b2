#pragma once

#include <QString>
#include <optional>

struct UsbDeviceInfo;

// The manufacturer string of a USB device as its bus reported it. Logs
// "usb decice vendor name:<name>", or "Get USB VENDOR NAME error!" and gives none when the
// device has no manufacturer string.
std::optional<QString> vendorNameOfUSBIOService(const UsbDeviceInfo& service);
