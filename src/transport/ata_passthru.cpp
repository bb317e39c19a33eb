// An ATA command sent as a direct ATA pass-through request. The outcome is judged by the
// returned Status and Error registers and the bytes transferred.
#include <cstring>

#include "platform/ata.h"
#include "platform/console.h"
#include "platform/task_file.h"
#include "transport/device_command.h"

namespace {

constexpr uint8_t kErrorIcrcAbort = 0x84;  // interface CRC error and ABRT

}  // namespace

int issue_ata_passthru(DeviceCommand& cmd, ReturnedRegisters* returned) {
  if (returned != nullptr) returned->reset();
  ATA_PASS_THROUGH_DIRECT request;
  std::memset(&request, 0, sizeof request);
  int success = kResultSuccess;
  request.Length = sizeof(ATA_PASS_THROUGH_DIRECT);
  request.AtaFlags = ATA_FLAGS_DRDY_REQUIRED;
  request.PathId = cmd.address.PathId;
  request.TargetId = cmd.address.TargetId;
  request.Lun = cmd.address.Lun;
  request.TimeOutValue = request_timeout(cmd);

  if (cmd.register_set == RegisterSet::Lba48) request.AtaFlags |= ATA_FLAGS_48BIT_COMMAND;
  task_file::encode_input(cmd.regs, request);

  switch (cmd.direction) {
    case DataDirection::None:
      break;
    case DataDirection::In:
      request.AtaFlags |= ATA_FLAGS_DATA_IN;
      request.DataTransferLength = cmd.data_length;
      request.DataBuffer = cmd.data;
      break;
    case DataDirection::Out:
      request.AtaFlags |= ATA_FLAGS_DATA_OUT;
      request.DataTransferLength = cmd.data_length;
      request.DataBuffer = cmd.data;
      break;
    default:
      // Sent anyway, with no data; even a clean answer does not count as success.
      console::printf("No valid data direction set %u\n", static_cast<uint32_t>(cmd.direction));
      success = kResultNotCarried;
      break;
  }

  uint32_t bytes_returned = 0;
  const bool carried = recorded_call(
      cmd, [&] { return platform_ata_passthrough(cmd.handle, &request, &bytes_returned); });

  if (!carried) {
    if (cmd.verbosity != 0) console::printf(" WinIoStatus = 0x%x", cmd.last_os_error);
    return cmd.last_os_error == ERROR_INVALID_FUNCTION ? kResultNotSupported : kResultNotCarried;
  }

  const OutputRegisters out = task_file::decode_output(request);
  if (returned != nullptr) *returned = out;

  if (out.status == kAtaStatusReady) return success;  // DRDY and DSC, nothing else
  if (out.error == kErrorIcrcAbort) return kResultInterfaceCrc;
  // Some drives flag an error after delivering every byte; the data are good.
  if (cmd.direction == DataDirection::In && request.DataTransferLength == cmd.data_length)
    return success;

  if (cmd.verbosity != 0) {
    console::printf(
        " Status = 0x%x Error = 0x%x SC = 0x%x LBA Low = 0x%x LBA Mid = 0x%x LBA Hi = 0x%x\n",
        out.status, out.error, out.count, out.lba_low, out.lba_mid, out.lba_high);
    console::printf(" Data Transfered = %d [io=%d, req=%d]\n",
                    static_cast<int>(request.DataTransferLength), static_cast<int>(bytes_returned),
                    static_cast<int>(cmd.data_length));
  }
  return kResultDriveError;
}
