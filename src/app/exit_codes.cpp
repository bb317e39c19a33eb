#include "app/exit_codes.h"

#include "transport/device_command.h"

int map_exit_code(int32_t status) {
  switch (status) {
    case kResultSuccess:
      return kExitSuccess;
    case kResultOpenFailed:
      return kExitOpenFailed;
    case kResultFileFailed:
      return kExitFileFailed;
    case kResultNotSupported:
      return kExitNotSupported;
    case kResultDriveError:
    case kResultInterrupted:
      return kExitDriveError;
    case kResultInterfaceCrc:
      return kExitInterfaceCrc;
    default:  // 0, -1, 10 and anything unforeseen
      return kExitOtherStatus;
  }
}
