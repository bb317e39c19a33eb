// The registers in the two task files of a direct ATA pass-through request: the current task
// file holds the bits-7:0 bytes (Features or Error, Count, LBA low, mid and high, Device,
// Command or Status), the previous one the bits-15:8 halves of a 48-bit command. No system
// calls, so the ATA transport, the Linux backend and the simulated ATA port share one reading
// of every byte.
#pragma once

#include "platform/ata.h"
#include "platform/wire.h"

namespace task_file {

// Whether the request names a 48-bit command (ATA_FLAGS_48BIT_COMMAND).
bool extended(const ATA_PASS_THROUGH_DIRECT& request);

// Writes the input registers into both task files. The previous task file carries the upper
// halves only when the request's flags name a 48-bit command; otherwise it is all zero.
void encode_input(const InputRegisters& registers, ATA_PASS_THROUGH_DIRECT& request);
// The input registers as the drive receives them: the previous task file read only for a
// 48-bit command, its halves 0 otherwise.
InputRegisters decode_input(const ATA_PASS_THROUGH_DIRECT& request);

// Writes the drive's output registers into both task files, as the port driver returns them.
void encode_output(const OutputRegisters& registers, ATA_PASS_THROUGH_DIRECT& request);
OutputRegisters decode_output(const ATA_PASS_THROUGH_DIRECT& request);

}  // namespace task_file
