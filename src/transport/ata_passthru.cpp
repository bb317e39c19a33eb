// An ATA command sent as a direct ATA pass-through request. The outcome is judged by the
// returned Status and Error registers and the bytes transferred.
#include <cstring>

#include "platform/ata.h"
#include "platform/console.h"
#include "transport/device_command.h"

namespace {

constexpr uint8_t kErrorIcrcAbort = 0x84;  // interface CRC error and ABRT

}  // namespace

int issue_ata_passthru(DeviceCommand& cmd, AtaOutputs* outputs) {
  ATA_PASS_THROUGH_DIRECT request;
  std::memset(&request, 0, sizeof request);
  int success = kResultSuccess;
  request.Length = sizeof(ATA_PASS_THROUGH_DIRECT);
  request.AtaFlags = ATA_FLAGS_DRDY_REQUIRED;
  request.PathId = cmd.address.PathId;
  request.TargetId = cmd.address.TargetId;
  request.Lun = cmd.address.Lun;
  request.TimeOutValue = cmd.timeout != 0 ? cmd.timeout : kDefaultTimeout;

  const AtaRegisters& r = cmd.regs;
  if (cmd.register_set == kRegisters48) {
    request.AtaFlags |= ATA_FLAGS_48BIT_COMMAND;
    const uint8_t previous[8] = {
        r.features_15_8, r.count_15_8, r.lba_31_24, r.lba_39_32, r.lba_47_40, 0, 0, 0};
    std::memcpy(request.PreviousTaskFile, previous, sizeof previous);
  }
  const uint8_t current[8] = {r.features_7_0, r.count_7_0, r.lba_7_0, r.lba_15_8,
                              r.lba_23_16,    r.device,    r.command, 0};
  std::memcpy(request.CurrentTaskFile, current, sizeof current);

  switch (cmd.direction) {
    case kDirNone:
      break;
    case kDirIn:
      request.AtaFlags |= ATA_FLAGS_DATA_IN;
      request.DataTransferLength = cmd.data_length;
      request.DataBuffer = cmd.data;
      break;
    case kDirOut:
      request.AtaFlags |= ATA_FLAGS_DATA_OUT;
      request.DataTransferLength = cmd.data_length;
      request.DataBuffer = cmd.data;
      break;
    default:
      // Sent anyway, with no data; even a clean answer does not count as success.
      console::printf("No valid data direction set %u\n", cmd.direction);
      success = kResultNotCarried;
      break;
  }

  uint32_t returned = 0;
  platform_set_last_error(0);
  const bool carried = platform_ata_passthrough(cmd.handle, &request, &returned);
  cmd.last_os_error = platform_get_last_error();

  if (!carried) {
    if (cmd.verbosity != 0) console::printf(" WinIoStatus = 0x%x", cmd.last_os_error);
    return cmd.last_os_error == ERROR_INVALID_FUNCTION ? kResultNotSupported : kResultNotCarried;
  }

  const uint8_t error = request.CurrentTaskFile[0];
  const uint8_t count = request.CurrentTaskFile[1];
  const uint8_t lba_low = request.CurrentTaskFile[2];
  const uint8_t lba_mid = request.CurrentTaskFile[3];
  const uint8_t lba_high = request.CurrentTaskFile[4];
  const uint8_t status = request.CurrentTaskFile[6];
  if (outputs != nullptr)
    *outputs = sat::OutputRegisters{
        error, count, lba_low, lba_mid, lba_high, request.CurrentTaskFile[5], status, 0, 0, 0, 0};

  if (status == kAtaStatusReady) return success;  // DRDY and DSC, nothing else
  if (error == kErrorIcrcAbort) return kResultInterfaceCrc;
  // Some drives flag an error after delivering every byte; the data are good.
  if (cmd.direction == kDirIn && request.DataTransferLength == cmd.data_length) return success;

  if (cmd.verbosity != 0) {
    console::printf(
        " Status = 0x%x Error = 0x%x SC = 0x%x LBA Low = 0x%x LBA Mid = 0x%x LBA Hi = 0x%x\n",
        status, error, count, lba_low, lba_mid, lba_high);
    console::printf(" Data Transfered = %d [io=%d, req=%d]\n",
                    static_cast<int>(request.DataTransferLength), static_cast<int>(returned),
                    static_cast<int>(cmd.data_length));
  }
  return kResultDriveError;
}
