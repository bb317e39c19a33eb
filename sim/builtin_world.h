// quillmark-sim's fixed world: the drives a user can rehearse on without hardware.
#pragma once

namespace sim {

// Adds the built-in drives (and the built-in CSMI adapter) to the world. The names and
// strings are documented for users and relied on by the tests:
//   \\.\PhysicalDrive0  SEC1, takes every download mode with valid simulated images
//   \\.\PhysicalDrive1  the same, security locked (SEC4)
//   \\.\PhysicalDrive2  the same, security enabled and unlocked (SEC5)
//   \\.\PhysicalDrive3  behind a bridge that refuses SCSI pass-through; use "/T:"
//   \\.\PhysicalDrive4  aborts every DOWNLOAD MICROCODE
//   \\.\SCSI2:          a CSMI adapter with SATA and STP drives (sim/builtin_adapter.h)
void install_builtin_world();

}  // namespace sim
