#pragma once

#include <QString>
#include <memory>

struct libusb_context;

// Owns one libusb context. Shared by a bus and the handles it opened, so a handle that
// outlives its bus stays valid.
class LibUsbContext
{
public:
    // Null with `error` filled when libusb cannot be initialised (no USB on this machine).
    static std::shared_ptr<LibUsbContext> create(QString* error);
    ~LibUsbContext();
    LibUsbContext(const LibUsbContext&) = delete;
    LibUsbContext& operator=(const LibUsbContext&) = delete;

    libusb_context* get() const { return m_context; }

private:
    explicit LibUsbContext(libusb_context* context) : m_context(context) {}
    libusb_context* m_context;
};
