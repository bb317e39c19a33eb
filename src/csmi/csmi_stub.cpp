// Until CSMI support lands: the scan and "/C:" targets are not available in this build.
#include "csmi/csmi.h"
#include "platform/console.h"

int open_csmi_target(DeviceCommand& cmd, CsmiTarget&) {
  cmd.handle = kInvalidHandle;
  console::out("CSMI targets are not available in this build\n");
  return 0;
}

int scan_csmi_devices(int) {
  console::out("The CSMI scan is not available in this build\n");
  return 0;
}
