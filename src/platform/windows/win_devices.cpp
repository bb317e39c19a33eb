// Drives and CSMI adapters over Win32: CreateFileW and synchronous DeviceIoControl. The
// request structures go to the driver unchanged; the transports above built them byte for
// byte. The last error is left exactly as the system call left it: the callers decide when
// it is cleared and when it is read.
#include "platform/storage.h"

namespace {

HANDLE to_native(Handle handle) { return reinterpret_cast<HANDLE>(handle); }
Handle from_native(HANDLE handle) { return reinterpret_cast<Handle>(handle); }
LPCWSTR wide(const std::u16string& text) { return reinterpret_cast<LPCWSTR>(text.c_str()); }

// INVALID_HANDLE_VALUE is the handle -1, the same number as kInvalidHandle, so a failed open
// passes through unchanged.

// One buffered request whose input and output are the same buffer.
bool control_in_out(Handle handle, DWORD code, void* buffer, DWORD size, DWORD* returned) {
  DWORD bytes = 0;
  const BOOL ok =
      DeviceIoControl(to_native(handle), code, buffer, size, buffer, size, &bytes, nullptr);
  if (returned != nullptr) *returned = bytes;
  return ok != FALSE;
}

}  // namespace

Handle platform_open_drive(const std::u16string& path) {
  // Exclusive: nothing else may talk to the drive while its firmware is replaced.
  return from_native(
      CreateFileW(wide(path), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
}

Handle platform_open_adapter(const std::u16string& path) {
  // The adapter serves every disk behind it, so it is opened shared.
  return from_native(CreateFileW(wide(path), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                 nullptr));
}

bool platform_csmi_supported() { return true; }

bool platform_get_scsi_address(Handle handle, SCSI_ADDRESS* address) {
  DWORD bytes = 0;
  return DeviceIoControl(to_native(handle), IOCTL_SCSI_GET_ADDRESS, nullptr, 0, address,
                         sizeof(SCSI_ADDRESS), &bytes, nullptr) != FALSE;
}

bool platform_drive_address(const std::u16string& path, SCSI_ADDRESS* address) {
  // Neither read nor write access: the address query needs none, and the drive's exclusive
  // open by another program (a download in progress) does not refuse such an open.
  HANDLE drive = CreateFileW(wide(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  if (drive == INVALID_HANDLE_VALUE) return false;
  const bool answered = platform_get_scsi_address(from_native(drive), address);
  const DWORD error = GetLastError();
  CloseHandle(drive);
  SetLastError(error);
  return answered;
}

bool platform_scsi_passthrough(Handle handle, ScsiPassThroughRequest* request) {
  return control_in_out(handle, IOCTL_SCSI_PASS_THROUGH_DIRECT, request,
                        sizeof(ScsiPassThroughRequest), nullptr);
}

bool platform_ata_passthrough(Handle handle, ATA_PASS_THROUGH_DIRECT* request,
                              uint32_t* bytes_returned) {
  DWORD bytes = 0;
  const bool ok = control_in_out(handle, IOCTL_ATA_PASS_THROUGH_DIRECT, request,
                                 sizeof(ATA_PASS_THROUGH_DIRECT), &bytes);
  if (bytes_returned != nullptr) *bytes_returned = bytes;
  return ok;
}

bool platform_csmi_request(Handle handle, void* buffer, uint32_t size) {
  return control_in_out(handle, IOCTL_SCSI_MINIPORT, buffer, size, nullptr);
}

bool platform_close(Handle handle) { return CloseHandle(to_native(handle)) != FALSE; }
