#include "sim/builtin_world.h"

#include <string>

#include "platform/text.h"
#include "sim/builtin_adapter.h"
#include "sim/world.h"

namespace sim {
namespace {

// Every built-in drive is the default simulated drive (sim/drive.h); only the serial number
// tells them apart: PhysicalDriveN reports "QMSIM000000000" followed by N + 1, so
// PhysicalDrive0 is QMSIM0000000001 and PhysicalDrive4 is QMSIM0000000005.
Drive builtin_drive(int n) {
  Drive d;
  d.serial = "QMSIM000000000" + std::to_string(n + 1);
  return d;
}

Port& add_builtin_port(int n) {
  Port& p = add_port(u16("\\\\.\\PhysicalDrive" + std::to_string(n)));
  p.drive = builtin_drive(n);
  // Each drive on its own target id, as disks on one controller appear.
  p.address = SCSI_ADDRESS{8, 0, 0, static_cast<uint8_t>(n), 0};
  return p;
}

}  // namespace

void install_builtin_world() {
  add_builtin_port(0);
  add_builtin_port(1).drive.word128 = 0x0007;  // enabled and locked: SEC4
  add_builtin_port(2).drive.word128 = 0x0003;  // enabled, unlocked: SEC5
  add_builtin_port(3).faults.scsi_error = ERROR_INVALID_FUNCTION;
  add_builtin_port(4).drive.faults.abort_every_download = true;
  add_builtin_adapter();  // "\\.\SCSI2:"
}

}  // namespace sim
