#include "Pikora/Pairing/PairingLogging.h"

Q_LOGGING_CATEGORY(lcPairing, "pikora.pairing")
