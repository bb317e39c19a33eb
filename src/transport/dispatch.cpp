// Picks the transport by the record's interface bits, in a fixed order.
#include "transport/device_command.h"

int issue_command(DeviceCommand& cmd) {
  // Once the operator has asked the run to stop, the command in flight was the last one.
  if (platform_interrupted()) return kResultInterrupted;
  if (cmd.flags & ScsiPassThrough) return issue_scsi_passthru(cmd);
  if (cmd.flags & AtaPassThrough) return issue_ata_passthru(cmd);
  if (cmd.flags & CsmiStp) return issue_stp_passthru(cmd);
  return kResultSuccess;
}
