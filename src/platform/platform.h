// Everything the tool asks of the operating system and of a CSMI adapter driver. Each
// executable links exactly one implementation: platform/linux, platform/windows or sim/.
//
// The calls follow the Windows model the logic was written against: a failed call leaves
// its error code in the calling thread's last error (platform_get_last_error), with the
// Windows numbering (ERROR_ACCESS_DENIED 5, ERROR_FILE_NOT_FOUND 2,
// ERROR_INVALID_FUNCTION 1, ...) on every platform.
#pragma once

#include "platform/host.h"     // process, image file, console
#include "platform/storage.h"  // drives and CSMI adapters
