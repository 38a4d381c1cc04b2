#include "Pikora/StartAtLoginController/StartAtLoginLogging.h"

Q_LOGGING_CATEGORY(lcStartAtLogin, "pikora.startatlogin")
