// An ATA command wrapped in a SAT ATA PASS-THROUGH command block and sent as a direct SCSI
// pass-through request. The answer is judged by the SCSI status and the sense.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>

#include "platform/ata.h"
#include "platform/console.h"
#include "platform/sat.h"
#include "transport/device_command.h"

namespace {

// The block always names the Count field as the length in 512-byte blocks, with or without
// data; a non-PIO, non-data protocol value goes out as 0.
void build_cdb(const DeviceCommand& cmd, bool registers_asked, SCSI_PASS_THROUGH_DIRECT& h) {
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
  f.ck_cond = registers_asked || (cmd.passthru_options & kPassThroughCkCond) != 0;
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

bool send_scsi_request(DeviceCommand& cmd, ScsiPassThroughRequest& request) {
  return recorded_call(cmd, [&] { return platform_scsi_passthrough(cmd.handle, &request); });
}

bool resend_scsi_request(const DeviceCommand& cmd, ScsiPassThroughRequest& request) {
  return platform_scsi_passthrough(cmd.handle, &request);
}

namespace {

// One request. `registers_asked` sets CK_COND and takes the clean answer it brings as
// success; the record's own CK_COND option leaves every CHECK CONDITION a failure, as it
// always did. Registers the sense carries go to `returned` either way. `refused` tells that
// a translator refused the block for its CK_COND.
int send(DeviceCommand& cmd, bool registers_asked, ReturnedRegisters* returned, bool& refused) {
  refused = false;
  if (returned != nullptr) returned->reset();
  ScsiPassThroughRequest request;
  init_scsi_request(request, cmd);
  SCSI_PASS_THROUGH_DIRECT& h = request.sptd;
  build_cdb(cmd, registers_asked, h);

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

  sat::Answer answer;
  answer.call_failed = !send_scsi_request(cmd, request);
  answer.os_error = cmd.last_os_error;
  answer.status = h.ScsiStatus;
  answer.sense = std::span<const uint8_t>(
      request.sense, std::min<size_t>(h.SenseInfoLength, sizeof request.sense));
  const sat::Outcome o = sat::judge_answer(answer, registers_asked);

  if (!o.answered) {
    if (cmd.last_os_error == ERROR_INVALID_FUNCTION) {
      if (cmd.verbosity != 0)
        console::printf("IO Error ERROR_INVALID_FUNCTION [%u]\n", cmd.last_os_error);
      return kResultNotSupported;
    }
    if (cmd.verbosity != 0) console::printf("IO Error [%u]\n", cmd.last_os_error);
    return kResultNotCarried;
  }
  // Whatever the status, as the Linux backend reads sense that comes beside GOOD.
  if (returned != nullptr) *returned = o.registers;
  if (o.verdict == sat::Verdict::Success) return kResultSuccess;
  // Not the drive's failure: the same command goes again without CK_COND.
  refused = o.verdict == sat::Verdict::RefusedCkCond;
  if (refused) return kResultDriveError;
  // The device answered: whatever it says, the command failed.
  if (cmd.verbosity == 0) return kResultDriveError;
  if (h.ScsiStatus == sat::kStatusCheckCondition)
    console::printf("CHECK CONDITION ERROR for CMD: %xSense Buffer: %x%x%x\n", cmd.regs.command,
                    request.sense[0], request.sense[1], request.sense[2]);
  else
    console::printf("SCSI STATUS ERROR for CMD: %x Status: %x\n", cmd.regs.command, h.ScsiStatus);
  return kResultDriveError;
}

}  // namespace

int issue_scsi_passthru(DeviceCommand& cmd, ReturnedRegisters* returned) {
  // The registers come back because the caller asked for them: that, and nothing in the
  // command, is what sets CK_COND.
  bool refused = false;
  const int result = send(cmd, returned != nullptr, returned, refused);
  if (!refused) return result;
  // A translator that will not take CK_COND gets the command once more without it, and the
  // caller goes on without the drive's verdict.
  return send(cmd, false, returned, refused);
}
