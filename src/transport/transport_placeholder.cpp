// Placeholder until the transports land.
#include "transport/device_command.h"
