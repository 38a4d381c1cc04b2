#include "QuorbelOSXUtility/LibUsbContext.h"

#include <libusb.h>

std::shared_ptr<LibUsbContext> LibUsbContext::create(QString* error)
{
    libusb_context* context = nullptr;
    const int rc = libusb_init(&context);
    if (rc != LIBUSB_SUCCESS) {
        if (error)
            *error = QStringLiteral("libusb cannot be initialised (%1: %2)")
                         .arg(QLatin1String(libusb_error_name(rc)), QString::fromUtf8(libusb_strerror(rc)));
        return nullptr;
    }
    return std::shared_ptr<LibUsbContext>(new LibUsbContext(context));
}

LibUsbContext::~LibUsbContext()
{
    libusb_exit(m_context);
}
