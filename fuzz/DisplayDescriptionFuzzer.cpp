// Feeds arbitrary bytes to the readers of what monitors and the system describe about
// themselves: EDID blocks (through the X server, from the monitor), framebuffer mode lists
// and os-release text. None may crash, hang or read outside its input.
#include "QuorbelOSXUtility/KPGeneralUtility.h"
#include "QuorbelOSXUtility/KPQuartzServiceUtility.h"
#include "QuorbelOSXUtility/MyFramebuffer.h"
#include "QuorbelOSXUtility/RandrSnapshot.h"

#include <QByteArray>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    (void)KPQuartzServiceUtility::screenNameFromEdid(bytes);
    (void)RandrSnapshot::edidVendorNumber(bytes);
    (void)RandrSnapshot::edidModelNumber(bytes);
    for (const FramebufferModeRecord& record : parseFramebufferModeList(bytes)) {
        if (record.name[sizeof record.name - 1] != '\0')
            __builtin_trap();
    }
    (void)KPGeneralUtility::osReleaseValue(bytes, "VERSION_ID");
    return 0;
}
