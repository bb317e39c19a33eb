// The event the operator's interrupt sets, for the waits of the Win32 backend to end at it.
#pragma once

#include "platform/platform.h"

// Null until platform_install_interrupt_handler has run.
HANDLE win_interrupt_event();
