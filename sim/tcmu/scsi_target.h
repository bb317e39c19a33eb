// The simulated SATA drive as a SCSI logical unit of a real Linux kernel: what the sd probe,
// smartctl and hdparm send besides ATA PASS-THROUGH, and ATA PASS-THROUGH itself through the
// simulator's own SAT bridge and drive model (the code quillmark-sim answers with). No system
// calls here: the TCM-User ring around it is in ring.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/world.h"

namespace tcmu {

// Faults of the logical unit itself, on top of the drive's and the bridge's own.
struct TargetFaults {
  int busy = 0;                // answer this many DOWNLOAD MICROCODE commands BUSY (-1: all)
  uint32_t delay_seconds = 0;  // hold the reply to the first DOWNLOAD MICROCODE this long
  // After the activate sub-command (0x0F) the drive resets: the next command, whatever it is,
  // waits this long and gets UNIT ATTENTION, POWER ON OR RESET (0 seconds: no reset).
  uint32_t reset_after_activate = 0;
};

struct Target {
  sim::Port port;               // the drive and the bridge's fault plan
  std::vector<uint8_t> medium;  // what READ and WRITE reach; its size is the capacity
  TargetFaults faults;
  int download_arrivals = 0;  // DOWNLOAD MICROCODE commands that reached the unit, BUSY or not
  // Of those, the segmented ones (sub-command 0x03), and how many of them asked for the
  // drive's registers back (CK_COND): the drive's verdict on a segment comes only that way.
  int segmented_arrivals = 0;
  int segmented_ck_cond = 0;
  bool reset_pending = false;
  // The operation code of the command that met the reset's unit attention (0: none yet).
  uint8_t attention_opcode = 0;
};

// The answer to one command. `data_in` bytes of the caller's buffer were filled.
struct Reply {
  uint8_t status = 0;
  std::vector<uint8_t> sense;
  uint32_t data_in = 0;
  uint32_t delay_seconds = 0;  // hold the reply this long before handing it back
};

// The ring does not say which way a command's data go: the command block does. True when the
// caller's buffer is to be filled.
bool returns_data(const uint8_t* cdb, size_t length);

// True for ATA PASS-THROUGH carrying DOWNLOAD MICROCODE (0x92).
bool carries_download_microcode(const uint8_t* cdb, size_t length);

// Runs one command. `data` holds `length` bytes: what the caller sent, or room for the answer.
Reply execute(Target& target, const uint8_t* cdb, size_t cdb_length, uint8_t* data,
              uint32_t length);

}  // namespace tcmu
