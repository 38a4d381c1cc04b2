#include "tools/accessory-emulator/EmulatorLogging.h"

Q_LOGGING_CATEGORY(lcAccessoryEmulator, "pikora.tools.accessory", QtInfoMsg)
