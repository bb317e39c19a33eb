// The simulated SCSI / ATA translation layer (SAT) in front of a drive: what a SCSI
// pass-through request meets on its way to an ATA drive, as Linux libata or the Windows
// storage stack present one.
#pragma once

#include <cstdint>

#include "platform/wire.h"

namespace sim {

struct Port;

// Carries one SCSI request to the port's drive. Sets ScsiStatus, writes the sense bytes at
// SenseInfoOffset, and leaves in SenseInfoLength the sense bytes returned and in
// DataTransferLength the data bytes moved.
void sat_execute(Port& port, ScsiPassThroughRequest& request);

}  // namespace sim
