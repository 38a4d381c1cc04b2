#include "PikoraLoginHelper/LoginHelperLogging.h"

Q_LOGGING_CATEGORY(lcLoginHelper, "pikora.loginhelper")
