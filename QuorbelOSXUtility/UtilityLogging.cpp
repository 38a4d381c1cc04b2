#include "QuorbelOSXUtility/UtilityLogging.h"

Q_LOGGING_CATEGORY(lcUsb, "quorbel.usb")
