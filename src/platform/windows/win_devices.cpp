// Drives and CSMI adapters over Win32: CreateFileW and synchronous DeviceIoControl. The
// request structures go to the driver unchanged; the transports above built them byte for
// byte. The last error is left exactly as the system call left it: the callers decide when
// it is cleared and when it is read.
#include <algorithm>
#include <cstddef>
#include <cstring>

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

bool platform_firmware_get_info(Handle handle, const STORAGE_HW_FIRMWARE_INFO_QUERY& query,
                                void* info, uint32_t size) {
  DWORD bytes = 0;
  return DeviceIoControl(to_native(handle), IOCTL_STORAGE_FIRMWARE_GET_INFO,
                         const_cast<STORAGE_HW_FIRMWARE_INFO_QUERY*>(&query), sizeof query, info,
                         size, &bytes, nullptr) != FALSE;
}

// The download and the activation take their request as input and return nothing.
bool platform_firmware_download(Handle handle, const void* request, uint32_t size) {
  DWORD bytes = 0;
  return DeviceIoControl(to_native(handle), IOCTL_STORAGE_FIRMWARE_DOWNLOAD,
                         const_cast<void*>(request), size, nullptr, 0, &bytes, nullptr) != FALSE;
}

bool platform_firmware_activate(Handle handle, const STORAGE_HW_FIRMWARE_ACTIVATE& request) {
  DWORD bytes = 0;
  return DeviceIoControl(to_native(handle), IOCTL_STORAGE_FIRMWARE_ACTIVATE,
                         const_cast<STORAGE_HW_FIRMWARE_ACTIVATE*>(&request), sizeof request,
                         nullptr, 0, &bytes, nullptr) != FALSE;
}

// The system volume is the one that holds the system folder; the drive holds it when one of
// the volume's extents lies on the drive's disk number.
std::vector<std::string> platform_drive_in_use(Handle drive) {
  STORAGE_DEVICE_NUMBER number{};
  DWORD bytes = 0;
  if (DeviceIoControl(to_native(drive), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                      sizeof number, &bytes, nullptr) == FALSE)
    return {};
  wchar_t system[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  if (length < 2 || length >= MAX_PATH || system[1] != L':') return {};
  const wchar_t volume_path[] = {L'\\', L'\\', L'.', L'\\', system[0], L':', 0};
  // No access is asked for: the query needs none, and the volume stays free for the system.
  const HANDLE volume = CreateFileW(volume_path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  if (volume == INVALID_HANDLE_VALUE) return {};
  // Room for a volume spanning a few disks.
  constexpr DWORD kExtents = 8;
  constexpr size_t kFirst = offsetof(VOLUME_DISK_EXTENTS, Extents);
  unsigned char answer[kFirst + kExtents * sizeof(DISK_EXTENT)] = {};
  const BOOL ok = DeviceIoControl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, answer,
                                  sizeof answer, &bytes, nullptr);
  CloseHandle(volume);
  if (ok == FALSE) return {};
  DWORD count = 0;
  std::memcpy(&count, answer + offsetof(VOLUME_DISK_EXTENTS, NumberOfDiskExtents), sizeof count);
  for (DWORD i = 0; i < std::min(count, kExtents); ++i) {
    DISK_EXTENT extent{};
    std::memcpy(&extent, answer + kFirst + i * sizeof extent, sizeof extent);
    if (extent.DiskNumber == number.DeviceNumber)
      return {std::string("the system volume ") + static_cast<char>(system[0]) + ":"};
  }
  return {};
}
