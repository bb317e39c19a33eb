// Placeholder until the CSMI transport lands.
#include "transport/device_command.h"

int issue_stp_passthru(DeviceCommand&) { return kResultNotSent; }
