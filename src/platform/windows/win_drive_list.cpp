// The disks of a Windows system: the present interfaces of the disk device class, from the
// device installer (SetupDi), each taken to its \\.\PhysicalDriveN by the number the storage
// stack gives it. Numbers are never guessed: a disk that was unplugged leaves a gap, and one
// that arrives later gets a number past it.
//
// initguid.h makes this file define the SDK's GUIDs (GUID_DEVINTERFACE_DISK among them) rather
// than refer to a library copy, so it comes before the headers that declare them.
// clang-format off
#include <initguid.h>
#include "platform/storage.h"
#include <setupapi.h>
// clang-format on

#include <algorithm>
#include <string>
#include <vector>

namespace {

// The interface's path, for opening it; empty when the system does not give it.
std::wstring interface_path(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& item) {
  DWORD size = 0;
  SetupDiGetDeviceInterfaceDetailW(set, &item, nullptr, 0, &size, nullptr);
  if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return {};
  std::vector<unsigned char> room(size);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(room.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  if (!SetupDiGetDeviceInterfaceDetailW(set, &item, detail, size, nullptr, nullptr)) return {};
  return detail->DevicePath;
}

// The PhysicalDrive number of a disk interface, or -1. The interface is opened without read or
// write access: that reaches no drive, and another program holding the drive does not stop it.
long disk_number(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  STORAGE_DEVICE_NUMBER number{};
  DWORD bytes = 0;
  const BOOL ok = DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                                  sizeof number, &bytes, nullptr);
  CloseHandle(h);
  if (!ok || number.DeviceType != FILE_DEVICE_DISK) return -1;
  return static_cast<long>(number.DeviceNumber);
}

}  // namespace

bool platform_list_drives(std::vector<PresentedDrive>& drives) {
  HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_DISK, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return false;
  std::vector<long> numbers;
  SP_DEVICE_INTERFACE_DATA item{};
  item.cbSize = sizeof item;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_DISK, i, &item);
       ++i) {
    const long n = disk_number(interface_path(set, item));
    if (n >= 0) numbers.push_back(n);
  }
  const DWORD error = GetLastError();  // ERROR_NO_MORE_ITEMS after the last one
  SetupDiDestroyDeviceInfoList(set);
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  for (long n : numbers) {
    const std::string digits = std::to_string(n);
    drives.push_back(
        {u"\\\\.\\PhysicalDrive" + std::u16string(digits.begin(), digits.end()), {}, {}});
  }
  SetLastError(error == ERROR_NO_MORE_ITEMS ? 0 : error);
  return true;
}
