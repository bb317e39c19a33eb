// Placeholder until DOWNLOAD MICROCODE lands in the simulated drive: every one is aborted.
#include "sim/drive.h"

namespace sim {
AtaOutput execute_download_microcode(Drive& drive, const TaskFile&, DataDir, const uint8_t*,
                                     uint32_t) {
  ++drive.download_commands;
  AtaOutput out;
  out.status = kStatusError;
  out.error = kErrorAbort;
  return out;
}
}  // namespace sim
