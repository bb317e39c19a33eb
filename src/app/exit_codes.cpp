#include "app/exit_codes.h"

#include "transport/device_command.h"

int map_exit_code(int32_t status) {
  switch (status) {
    case kResultSuccess:
      return 0;
    case kResultOpenFailed:
      return 2;
    case kResultFileFailed:
      return 4;
    case kResultNotSupported:
      return 9;
    case kResultDriveError:
      return 1;
    case kResultInterfaceCrc:
      return 5;
    default:  // 0, -1, 10 and anything unforeseen
      return 10;
  }
}
