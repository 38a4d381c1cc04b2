#include "Pikora/App/AppLogging.h"

Q_LOGGING_CATEGORY(lcApp, "pikora.app")
Q_LOGGING_CATEGORY(lcAccessory, "pikora.accessory")
Q_LOGGING_CATEGORY(lcDiscovery, "pikora.discovery")
Q_LOGGING_CATEGORY(lcPlatform, "pikora.platform")
