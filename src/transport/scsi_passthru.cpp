// An ATA command wrapped in a SAT ATA PASS-THROUGH command block and sent as a direct SCSI
// pass-through request. The outcome is judged by the SCSI status alone.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>

#include "platform/ata.h"
#include "platform/console.h"
#include "platform/sat.h"
#include "transport/device_command.h"

namespace {

// A segment of mode 0x03 asks for the registers back: the drive's Count tells whether it
// expects more of the image or has it all, as Linux peers read it for this command. Only the
// 16-byte block; every other command's bytes stay as they always were.
bool asks_for_verdict(const DeviceCommand& cmd) {
  return (cmd.passthru_options & kPassThrough16) != 0 &&
         (cmd.passthru_options & kPassThroughCkCond) == 0 &&
         cmd.regs.command == kAtaDownloadMicrocode && cmd.regs.features_7_0 == kAtaDmSegmented;
}

// The block always names the Count field as the length in 512-byte blocks, with or without
// data; a non-PIO, non-data protocol value goes out as 0.
void build_cdb(const DeviceCommand& cmd, bool verdict, SCSI_PASS_THROUGH_DIRECT& h) {
  sat::PassThrough f;
  f.long_form = (cmd.passthru_options & kPassThrough16) != 0;
  if (cmd.protocol == AtaProtocol::Pio)
    f.protocol = cmd.direction == DataDirection::In ? sat::kProtocolPioIn : sat::kProtocolPioOut;
  else if (cmd.protocol == AtaProtocol::NonData)
    f.protocol = sat::kProtocolNonData;
  // EXTEND follows the register set in both forms, although (12) has no upper bytes.
  f.extend = cmd.register_set == RegisterSet::Lba48;
  f.t_length = sat::kTLengthInCount;
  f.byt_blok = true;
  f.t_dir_in = cmd.direction == DataDirection::In;
  f.ck_cond = verdict || (cmd.passthru_options & kPassThroughCkCond) != 0;
  f.registers = cmd.regs;
  h.CdbLength = sat::build_ata_passthrough(f, h.Cdb);
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
  h.TimeOutValue = request_timeout(cmd);
  h.SenseInfoOffset = offsetof(ScsiPassThroughRequest, sense);
  request.total_length = sizeof request;
}

namespace {

// One request. `verdict` sets CK_COND and takes the clean answer it brings (RECOVERED ERROR,
// ATA PASS-THROUGH INFORMATION AVAILABLE, an ATA Status without ERR or DF) as success; the
// record's own CK_COND option leaves every CHECK CONDITION a failure, as it always did.
// `refused` tells that a translator refused the block for its CK_COND.
int send(DeviceCommand& cmd, bool verdict, ReturnedRegisters* returned, bool& refused) {
  refused = false;
  if (returned != nullptr) returned->reset();
  ScsiPassThroughRequest request;
  init_scsi_request(request, cmd);
  SCSI_PASS_THROUGH_DIRECT& h = request.sptd;
  build_cdb(cmd, verdict, h);

  switch (cmd.direction) {
    case DataDirection::None:
      h.DataIn = SCSI_IOCTL_DATA_UNSPECIFIED;
      break;
    case DataDirection::In:
      h.DataIn = SCSI_IOCTL_DATA_IN;
      h.DataTransferLength = cmd.data_length;
      h.DataBuffer = cmd.data;
      break;
    case DataDirection::Out:
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
  const std::span<const uint8_t> sense(request.sense,
                                       std::min<size_t>(h.SenseInfoLength, sizeof request.sense));
  // Read whatever the status, as the Linux backend reads sense that comes beside GOOD.
  if (returned != nullptr) *returned = sat::decode_ata_registers(sense);
  if (status == sat::kStatusGood || status == sat::kStatusConditionMet) return kResultSuccess;
  if (status == sat::kStatusCheckCondition && verdict) {
    const sat::SenseCode code = sat::sense_code(sense);
    const ReturnedRegisters registers = sat::decode_ata_registers(sense);
    if (code.key == sat::kSenseRecoveredError && code.asc == 0 &&
        code.ascq == sat::kAscqAtaInfoAvailable && registers &&
        (registers->status & (kAtaStatusErr | kAtaStatusDf)) == 0)
      return kResultSuccess;
    // Not the drive's failure: the same command goes again without CK_COND. Only current
    // sense speaks of this command (0x70, 0x72; not the deferred 0x71, 0x73).
    const bool current = !sense.empty() && ((sense[0] & 0x7F) == 0x70 || (sense[0] & 0x7F) == 0x72);
    refused = current && code.key == sat::kSenseIllegalRequest &&
              code.asc == sat::kAscInvalidField && code.ascq == 0;
    if (refused) return kResultDriveError;
  }
  if (status == sat::kStatusCheckCondition) {
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

}  // namespace

int issue_scsi_passthru(DeviceCommand& cmd, ReturnedRegisters* returned) {
  bool refused = false;
  if (!asks_for_verdict(cmd)) return send(cmd, false, returned, refused);
  // A translator that will not take CK_COND gets the command once more without it, and the
  // download goes on without the drive's verdict.
  const int result = send(cmd, true, returned, refused);
  if (!refused) return result;
  return send(cmd, false, returned, refused);
}
