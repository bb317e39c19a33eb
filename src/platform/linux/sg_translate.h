// The pure half of the Linux backend: how Windows-shaped requests become SG_IO requests and
// how the kernel's answers become Windows-shaped results. No system calls here, so every rule
// can be tested with captured bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/sat.h"
#include "platform/wire.h"

namespace sg {

// errno of a failed open/close/read to the Windows code the logic expects.
uint32_t windows_error_from_errno(int err);
// errno of a failed ioctl: a request the driver does not know (ENOTTY, ENOSYS, EOPNOTSUPP) is
// ERROR_INVALID_FUNCTION, as a Windows driver answers an unknown control code; EINVAL, a
// request it knows but will not carry as given, is ERROR_INVALID_PARAMETER.
uint32_t windows_error_from_ioctl_errno(int err);

// The SCSI disk name for a Windows physical-drive number: 0 -> "sda", 25 -> "sdz",
// 26 -> "sdaa", the kernel's own naming.
std::string scsi_disk_name(uint32_t index);
// The Linux path to open for a path as typed: "\\.\PhysicalDriveN" (any letter case, decimal N
// without leading zeros) becomes "/dev/sd..."; anything else is taken as a Linux path, its
// lone surrogates turned back into the bytes they stand for.
std::string linux_device_path(std::u16string_view path);

// SCSI_IOCTL_GET_IDLUN packs the address into one int: target, lun, channel, host from the
// low byte up. The address query of sd block devices.
SCSI_ADDRESS address_from_idlun(uint32_t dev_id);

// SG_IO data direction for a SCSI_PASS_THROUGH_DIRECT DataIn value and length.
int sg_direction_from_data_in(uint8_t data_in, uint32_t length);
// Seconds to the milliseconds SG_IO takes, saturating.
uint32_t timeout_ms_from_seconds(uint32_t seconds);

// ATA PASS-THROUGH (16) carrying the task files of an ATA_PASS_THROUGH_DIRECT. CK_COND is
// always set so that the output registers come back in the sense data.
struct AtaCdb {
  uint8_t bytes[16];
  int direction;  // SG_DXFER_*
};
// Fails (nullopt) when both data flags are set: no single transfer direction.
std::optional<AtaCdb> build_ata_passthrough16(const ATA_PASS_THROUGH_DIRECT& request);

// What an ATA pass-through request amounts to, from the judged answer to its block: either the
// output registers, or "not carried" with a Windows error code.
struct AtaOutcome {
  bool carried;
  uint32_t error_code;  // when not carried
  OutputRegisters registers;
};
AtaOutcome ata_outcome(const sat::Outcome& answer);

// Bytes moved: requested minus the residue the kernel reports, never below 0 or above the
// request.
uint32_t transferred_length(uint32_t requested, int32_t resid);

// Bytes moved by an ATA pass-through command. libata never sets resid for a command that
// failed, so an aborted data-in command would claim all its bytes although the drive sent
// none; when the registers show ERR or DF nothing is counted as delivered.
uint32_t ata_transferred_length(uint32_t requested, int32_t resid,
                                const OutputRegisters& registers);

}  // namespace sg
