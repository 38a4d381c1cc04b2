#include "QuorbelOSXUtility/UtilityLogging.h"

Q_LOGGING_CATEGORY(lcUsb, "quorbel.usb")
Q_LOGGING_CATEGORY(lcDisplay, "quorbel.display")
Q_LOGGING_CATEGORY(lcAudioDevices, "quorbel.audio")
