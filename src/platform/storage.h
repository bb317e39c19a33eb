// What the tool asks of the storage stack: drives and CSMI adapters opened by path, the SCSI
// address, the three request kinds and closing. platform/linux and platform/windows carry the
// requests to real devices; sim/ answers them with its simulated world.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/firmware_wire.h"
#include "platform/host.h"
#include "platform/wire.h"

// --- Devices and adapters -------------------------------------------------------------------

// Opens a drive for reading and writing, existing devices only, not shared. Returns
// kInvalidHandle and sets the last error on failure.
Handle platform_open_drive(const std::u16string& path);

// Opens a CSMI adapter ("\\.\SCSIn:") for reading and writing, shared for both.
Handle platform_open_adapter(const std::u16string& path);
// Whether the system has CSMI adapter drivers at all: a Windows driver interface, which
// Linux lacks (its drives are /dev/sdX and /dev/sgN) and the simulated world plays.
bool platform_csmi_supported();

// The adapter path of a SCSI port: the prefix, the port and a colon. The port is text (as
// typed after "/C:") or a number written out in decimal.
inline constexpr std::u16string_view kAdapterPathPrefix = u"\\\\.\\SCSI";
inline std::u16string csmi_adapter_path(std::u16string_view port) {
  std::u16string path(kAdapterPathPrefix);
  path += port;
  path += u':';
  return path;
}
inline std::u16string csmi_adapter_path(uint32_t port) {
  const std::string digits = std::to_string(port);
  return csmi_adapter_path(std::u16string(digits.begin(), digits.end()));
}

// IOCTL_SCSI_GET_ADDRESS. False and the last error on failure.
bool platform_get_scsi_address(Handle handle, SCSI_ADDRESS* address);

// The SCSI address of the drive at path, asked without keeping anyone else from the drive (on
// Windows the drive is opened without read or write access, which another program's exclusive
// open does not refuse). False and the last error when there is no such drive or no address.
bool platform_drive_address(const std::u16string& path, SCSI_ADDRESS* address);

// IOCTL_SCSI_PASS_THROUGH_DIRECT with the 312-byte request as input and output. The data
// buffer named in the header is read or filled in place. On return the header carries the
// SCSI status, DataTransferLength the bytes moved and SenseInfoLength the sense bytes
// returned. False and the last error when the request was not carried.
bool platform_scsi_passthrough(Handle handle, ScsiPassThroughRequest* request);

// IOCTL_ATA_PASS_THROUGH_DIRECT with the 48-byte structure as input and output. On return
// CurrentTaskFile holds the drive's output registers (Error, Count, LBA low, mid, high,
// Device, Status) and DataTransferLength the bytes moved; *bytes_returned receives the
// byte count the call reports. False and the last error when not carried.
bool platform_ata_passthrough(Handle handle, ATA_PASS_THROUGH_DIRECT* request,
                              uint32_t* bytes_returned);

// IOCTL_SCSI_MINIPORT carrying one CSMI request; the buffer (SRB_IO_CONTROL header and
// payload) is input and output with its full size. Returns the OS success flag; the last
// error holds the thread's error code afterwards.
bool platform_csmi_request(Handle handle, void* buffer, uint32_t size);

// --- The storage firmware API ---------------------------------------------------------------
// A driver that offers it carries a firmware download itself (an ATA drive gets DOWNLOAD
// MICROCODE 0x0E segments and 0x0F). Each call is one request; false and the last error when it
// was refused or not carried: ERROR_INVALID_FUNCTION where neither system nor driver offers it,
// as on Linux.

// IOCTL_STORAGE_FIRMWARE_GET_INFO: the answer in `info`, `size` bytes (the header and room for
// the slots that follow it).
bool platform_firmware_get_info(Handle handle, const STORAGE_HW_FIRMWARE_INFO_QUERY& query,
                                void* info, uint32_t size);
// IOCTL_STORAGE_FIRMWARE_DOWNLOAD: the STORAGE_HW_FIRMWARE_DOWNLOAD header and its image bytes in
// one buffer of `size` bytes.
bool platform_firmware_download(Handle handle, const void* request, uint32_t size);
// IOCTL_STORAGE_FIRMWARE_ACTIVATE.
bool platform_firmware_activate(Handle handle, const STORAGE_HW_FIRMWARE_ACTIVATE& request);

// --- A drive in use --------------------------------------------------------------------------
// What the running system has mounted from the drive, in words for one warning line: on Linux
// the mount points of the disk and its partitions ("/ (the root file system)", "/boot"), on
// Windows the system volume ("the system volume C:"). Empty when nothing is, or when it cannot
// be told (the question is never worth failing a run for).
std::vector<std::string> platform_drive_in_use(Handle drive);

// CloseHandle. False and the last error on failure.
bool platform_close(Handle handle);

// platform_drive_address through an ordinary open, for systems whose open keeps no one else out.
inline bool drive_address_through_open(const std::u16string& path, SCSI_ADDRESS* address) {
  const Handle drive = platform_open_drive(path);
  if (drive == kInvalidHandle) return false;
  const bool answered = platform_get_scsi_address(drive, address);
  const uint32_t error = platform_get_last_error();
  platform_close(drive);
  platform_set_last_error(error);
  return answered;
}

// --- The drives the system presents ---------------------------------------------------------

struct PresentedDrive {
  std::u16string path;        // as a first argument names it: "\\.\PhysicalDrive2", "/dev/sda"
  std::u16string other_node;  // another node of the same drive ("/dev/sg0"), or empty
  std::string unusable;       // not empty: why no pass-through can reach it; it is not opened
};
// Every disk the system presents, in the system's own order, found by asking the system (never
// by trying names). False, with the last error set, when the system cannot be asked at all.
bool platform_list_drives(std::vector<PresentedDrive>& drives);

// --- One run per drive ----------------------------------------------------------------------
// Two runs that send commands to one drive at the same time interleave them; a claim keeps a
// second run off a drive that another run holds. The key names the drive itself (its SCSI
// address, or its adapter and SAS address), never the path typed, so that every path to one
// drive meets the same claim. Keys use the characters a-z, 0-9 and '-' only.

enum class ClaimOutcome {
  Claimed,      // held until platform_release_drive or the end of the process
  Busy,         // another process holds it (holder_pid: its id, 0 when unknown)
  Unavailable,  // no claim can be made here (reason: why); the caller goes on without one
};
struct DriveClaim {
  ClaimOutcome outcome = ClaimOutcome::Unavailable;
  Handle handle = kInvalidHandle;  // with Claimed: what platform_release_drive takes
  uint32_t holder_pid = 0;
  std::string reason;
};
// Claims the drive, waiting up to wait_ms milliseconds for another holder to let go (0: not
// at all). However the process ends, its claims end with it.
DriveClaim platform_claim_drive(std::string_view key, uint32_t wait_ms);
void platform_release_drive(Handle claim);
