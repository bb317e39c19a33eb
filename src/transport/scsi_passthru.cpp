// An ATA command wrapped in a SAT ATA PASS-THROUGH command block and sent as a direct SCSI
// pass-through request. The outcome is judged by the SCSI status alone.
#include <cstddef>
#include <cstring>

#include "platform/console.h"
#include "transport/device_command.h"

namespace {

constexpr uint8_t kOpAtaPassThrough16 = 0x85;
constexpr uint8_t kOpAtaPassThrough12 = 0xA1;

// SAT PROTOCOL values.
constexpr uint8_t kSatPioIn = 4;
constexpr uint8_t kSatPioOut = 5;
constexpr uint8_t kSatNonData = 3;

// Byte 2: T_LENGTH = 2 (length in the Count field), BYT_BLOK = 1 (512-byte blocks).
constexpr uint8_t kTLengthInCount = 0x02;
constexpr uint8_t kBytBlok = 0x04;
constexpr uint8_t kTDirIn = 0x08;
constexpr uint8_t kCkCond = 0x20;

// SCSI status bytes.
constexpr uint8_t kStatusGood = 0x00;
constexpr uint8_t kStatusCheckCondition = 0x02;
constexpr uint8_t kStatusConditionMet = 0x04;

uint8_t protocol_byte(const DeviceCommand& cmd) {
  uint8_t protocol = 0;
  if (cmd.protocol == kProtocolPio)
    protocol = cmd.direction == kDirIn ? kSatPioIn : kSatPioOut;
  else if (cmd.protocol == kProtocolNonData)
    protocol = kSatNonData;
  const uint8_t extend = cmd.register_set == kRegisters48 ? 0x01 : 0x00;
  return static_cast<uint8_t>(protocol << 1 | extend);
}

uint8_t transfer_byte(const DeviceCommand& cmd) {
  uint8_t b = kTLengthInCount | kBytBlok;
  if (cmd.direction == kDirIn) b |= kTDirIn;
  if (cmd.passthru_options & kPassThroughCkCond) b |= kCkCond;
  return b;
}

void build_cdb(const DeviceCommand& cmd, SCSI_PASS_THROUGH_DIRECT& h) {
  const AtaRegisters& r = cmd.regs;
  if (cmd.passthru_options & kPassThrough16) {
    h.CdbLength = 16;
    h.Cdb[0] = kOpAtaPassThrough16;
    h.Cdb[1] = protocol_byte(cmd);
    h.Cdb[2] = transfer_byte(cmd);
    // The record keeps the registers in the block's own order: one run, bytes 3 to 14.
    std::memcpy(&h.Cdb[3], &r, sizeof r);
    return;
  }
  h.CdbLength = 12;
  h.Cdb[0] = kOpAtaPassThrough12;
  h.Cdb[1] = protocol_byte(cmd);
  h.Cdb[2] = transfer_byte(cmd);
  h.Cdb[3] = r.features_7_0;
  h.Cdb[4] = r.count_7_0;
  h.Cdb[5] = r.lba_7_0;
  h.Cdb[6] = r.lba_15_8;
  h.Cdb[7] = r.lba_23_16;
  h.Cdb[8] = r.device;
  h.Cdb[9] = r.command;
}

}  // namespace

void init_scsi_request(ScsiPassThroughRequest& request, const DeviceCommand& cmd) {
  std::memset(&request, 0, sizeof request);
  SCSI_PASS_THROUGH_DIRECT& h = request.sptd;
  h.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
  h.PathId = cmd.address.PathId;
  h.TargetId = cmd.address.TargetId;
  h.Lun = cmd.address.Lun;
  h.SenseInfoLength = sizeof request.sense;
  h.TimeOutValue = cmd.timeout != 0 ? cmd.timeout : kDefaultTimeout;
  h.SenseInfoOffset = offsetof(ScsiPassThroughRequest, sense);
  request.total_length = sizeof request;
}

int issue_scsi_passthru(DeviceCommand& cmd) {
  ScsiPassThroughRequest request;
  init_scsi_request(request, cmd);
  SCSI_PASS_THROUGH_DIRECT& h = request.sptd;
  build_cdb(cmd, h);

  switch (cmd.direction) {
    case kDirNone:
      h.DataIn = SCSI_IOCTL_DATA_UNSPECIFIED;
      break;
    case kDirIn:
      h.DataIn = SCSI_IOCTL_DATA_IN;
      h.DataTransferLength = cmd.data_length;
      h.DataBuffer = cmd.data;
      break;
    case kDirOut:
      h.DataIn = SCSI_IOCTL_DATA_OUT;
      h.DataTransferLength = cmd.data_length;
      h.DataBuffer = cmd.data;
      break;
    default:
      // Sent anyway, with no data.
      console::out("\nData Direction Unspecified.\n");
      break;
  }

  platform_set_last_error(0);
  const bool carried = platform_scsi_passthrough(cmd.handle, &request);
  cmd.last_os_error = platform_get_last_error();

  if (!carried) {
    if (cmd.last_os_error == ERROR_INVALID_FUNCTION) {
      if (cmd.verbosity != 0)
        console::printf("IO Error ERROR_INVALID_FUNCTION [%u]\n", cmd.last_os_error);
      return kResultNotSupported;
    }
    if (cmd.verbosity != 0) console::printf("IO Error [%u]\n", cmd.last_os_error);
    return kResultNotCarried;
  }

  const uint8_t status = h.ScsiStatus;
  if (status == kStatusGood || status == kStatusConditionMet) return kResultSuccess;
  if (status == kStatusCheckCondition) {
    if (cmd.verbosity != 0)
      console::printf("CHECK CONDITION ERROR for CMD: %xSense Buffer: %x%x%x\n", cmd.regs.command,
                      request.sense[0], request.sense[1], request.sense[2]);
    return kResultDriveError;
  }
  // BUSY, RESERVATION CONFLICT, TASK SET FULL, ACA ACTIVE, TASK ABORTED...: the drive did not
  // perform the command, so it must not pass for done.
  if (cmd.verbosity != 0)
    console::printf("SCSI STATUS ERROR for CMD: %x Status: %x\n", cmd.regs.command, status);
  return kResultDriveError;
}
