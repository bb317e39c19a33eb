// Picks the transport by the record's interface bits, in a fixed order.
#include "transport/device_command.h"

int issue_command(DeviceCommand& cmd, ReturnedRegisters* returned) {
  if (returned != nullptr) returned->reset();
  // Once the operator has asked the run to stop, the command in flight was the last one.
  if (platform_interrupted()) return kResultInterrupted;
  if (has_interface(cmd.flags, InterfaceKind::ScsiPassThrough))
    return issue_scsi_passthru(cmd, returned);
  if (has_interface(cmd.flags, InterfaceKind::AtaPassThrough))
    return issue_ata_passthru(cmd, returned);
  if (has_interface(cmd.flags, InterfaceKind::CsmiStp)) return issue_stp_passthru(cmd, returned);
  return kResultSuccess;
}

std::string result_text(int result, uint32_t os_error) {
  switch (result) {
    case kResultNotCarried:
      return "the request was not carried (system error " + std::to_string(os_error) + ")";
    case kResultNotSent:
      return "no request could be built";
    case kResultNotSupported:
      return "this path does not offer the pass-through (system error " + std::to_string(os_error) +
             ")";
    case kResultNoMemory:
      return "not enough memory";
    case kResultDriveError:
      return "the drive reported an error";
    case kResultInterfaceCrc:
      return "the drive reported an interface CRC error (ATA Error 0x84)";
    default:
      return "result " + std::to_string(result);
  }
}
