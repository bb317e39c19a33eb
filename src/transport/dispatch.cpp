// Picks the transport by the record's interface bits, in a fixed order.
#include "transport/device_command.h"

int issue_command(DeviceCommand& cmd, ReturnedRegisters* returned) {
  if (returned != nullptr) returned->reset();
  if (cmd.flags & ScsiPassThrough) return issue_scsi_passthru(cmd, returned);
  if (cmd.flags & AtaPassThrough) return issue_ata_passthru(cmd, returned);
  if (cmd.flags & CsmiStp) return issue_stp_passthru(cmd, returned);
  return kResultSuccess;
}
