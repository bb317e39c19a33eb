// quillmark-sim's built-in CSMI adapter.
#pragma once

namespace sim {

// Adds the adapter on port 2 ("\\.\SCSI2:") to the world:
//   phys 0 to 3  SATA drives, serials "QMSIMC2P0" to "QMSIMC2P3"
//   phy 4        an STP drive, serial "QMSIMC2P4"
//   phy 5        an SSP device (answers INQUIRY only)
//   phys 6, 7    the adapter's own phys, nothing attached
//   phys 8 to 31 no phy: nothing identified, nothing attached
// Every drive has the model and firmware of the default simulated drive. Phy p's attached
// device has the SAS address 50 01 51 4D 00 00 02 0p, the adapter's side of it
// 50 01 51 4D 00 00 02 8p.
void add_builtin_adapter();

}  // namespace sim
