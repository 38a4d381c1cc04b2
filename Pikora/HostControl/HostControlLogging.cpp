#include "Pikora/HostControl/HostControlLogging.h"

Q_LOGGING_CATEGORY(lcHostControl, "pikora.hostcontrol")
