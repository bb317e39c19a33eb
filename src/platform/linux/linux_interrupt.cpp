// The operator's interrupt on Linux: the stop signals (stop_signals.h).
#include "platform/linux/stop_signals.h"
#include "platform/platform.h"

void platform_install_interrupt_handler() { stop_signals::install(); }

bool platform_interrupted() { return stop_signals::received(); }
