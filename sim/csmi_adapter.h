// The driver of a simulated CSMI host bus adapter: it answers requests from the adapter's
// record (driver information, controller configuration, the phy table) or carries them to what
// sits behind a phy: SATA and STP drives take ATA commands through STP pass-through, SSP
// devices answer INQUIRY through SSP pass-through. Opening "\\.\SCSIn:", checking the handle
// and logging the requests are the platform calls' part (storage.cpp), as for the drives.
#pragma once

#include <cstdint>

#include "sim/world.h"

namespace sim {

// How the driver ended a request: failed at the operating system with `os_error`, or completed
// (os_error 0) with its answer and ReturnCode in the buffer. A completed request may leave
// `last_error` behind (0: the thread's error code stays as it was).
struct CsmiCompletion {
  uint32_t os_error = 0;
  uint32_t last_error = 0;
};

// Answers one request of `size` bytes, at least an SRB_IO_CONTROL header, in place.
CsmiCompletion answer_csmi(Adapter& adapter, void* buffer, uint32_t size);

}  // namespace sim
