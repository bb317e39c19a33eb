// Opening a physical drive for the SCSI and ATA paths and learning its SCSI address.
#include "platform/console.h"
#include "transport/device_command.h"

int open_device(DeviceCommand& cmd, const std::u16string& path) {
  cmd.handle = recorded_call(cmd, [&] { return platform_open_drive(path); });
  if (cmd.handle == kInvalidHandle) {
    if (cmd.verbosity != 0) {
      if (cmd.last_os_error == ERROR_ACCESS_DENIED) {
        console::out("CreateFileW Failed due to ACCESS DENIED error.\n");
        console::out("Admin mode is required for this tool to perform.\n");
      } else {
        console::printf("CreateFileW INVALID_HANDLE_VALUE Error: %u", cmd.last_os_error);
      }
    }
    return kResultOpenFailed;
  }

  cmd.address.Length = sizeof(SCSI_ADDRESS);
  platform_set_last_error(0);
  if (!platform_get_scsi_address(cmd.handle, &cmd.address)) {
    // The handle stays in the record: the drive sequence closes it.
    cmd.last_os_error = platform_get_last_error();
    if (cmd.verbosity != 0)
      console::printf("DeviceIoControl for IOCTL_SCSI_GET_ADDRESS Error: %u", cmd.last_os_error);
    return kResultOpenFailed;
  }
  return kResultSuccess;
}

std::string open_failure_reason(uint32_t os_error, bool opened) {
  switch (os_error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return "no such device";
    case ERROR_ACCESS_DENIED:
      // Root refused (a container, a security policy) has the rights already.
      return platform_running_as_administrator()
                 ? "access denied, although the tool runs with administrator rights (a "
                   "security policy or a container forbids it)"
                 : "access denied (the tool needs administrator rights, root on Linux)";
    case ERROR_INVALID_FUNCTION:
      // The address query is the first thing only a SCSI or ATA device answers.
      return "not a SCSI or ATA device";
    case ERROR_BUSY:
      return "the device is busy";
    default:
      return opened ? "its SCSI address cannot be read" : "the system refused to open it";
  }
}
