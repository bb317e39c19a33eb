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

const char* exit_code_meaning(int exit_code) {
  switch (exit_code) {
    case kExitSuccess:
      return "firmware update succeeded; after `--scan` and `--list`, unless it was interrupted; "
             "after `--dry-run`, the download would start";
    case kExitDriveError:
      return "the drive reported an error (failed for device reasons), or the run was "
             "interrupted";
    case kExitOpenFailed:
      return "no target device found (the drive could not be opened or addressed), or another "
             "run holds the drive";
    case kExitFileFailed:
      return "the firmware file could not be used (missing, not a regular file, empty, "
             "unreadable, larger than 65,535 blocks)";
    case kExitInterfaceCrc:
      return "the drive's ATA Error register read 0x84";
    case kExitSecurityRefused:
      return "the drive's security state forbids the download";
    case kExitCommandLine:
      return "no argument, `/h`, `--license`, or a command-line error";
    case kExitNotSupported:
      return "the target's interface does not support this pass-through";
    case kExitOtherStatus:
      return "the run ended after `/i`, `--list` found no drive at all, or any other failure (a "
             "CSMI target not resolved, a request not carried)";
    default:
      return "not in the exit-code table";
  }
}
