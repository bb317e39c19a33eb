// The simulated SCSI / ATA translation layer (SAT) in front of a drive: what a SCSI
// pass-through request meets on its way to an ATA drive, as Linux libata or the Windows
// storage stack present one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/wire.h"
#include "sim/drive.h"

namespace sim {

struct Port;

// SCSI status bytes.
inline constexpr uint8_t kScsiGood = 0x00;
inline constexpr uint8_t kScsiCheckCondition = 0x02;

// Sense keys.
inline constexpr uint8_t kSenseRecoveredError = 0x01;
inline constexpr uint8_t kSenseIllegalRequest = 0x05;
inline constexpr uint8_t kSenseAbortedCommand = 0x0B;

// ATA PASS-THROUGH (16) or (12) as a translator reads it.
struct SatPassThrough {
  uint8_t multiple_count = 0;  // byte 1 bits 7:5
  uint8_t protocol = 0;        // byte 1 bits 4:1
  bool extend = false;         // byte 1 bit 0 (16-byte form only)
  uint8_t off_line = 0;        // byte 2 bits 7:6
  bool ck_cond = false;        // byte 2 bit 5
  bool t_type = false;         // byte 2 bit 4
  bool t_dir_in = false;       // byte 2 bit 3
  bool byt_blok = false;       // byte 2 bit 2
  uint8_t t_length = 0;        // byte 2 bits 1:0
  TaskFile taskfile;
};

// Decodes an ATA PASS-THROUGH command block of `length` bytes. False when it is neither form
// or shorter than its form.
bool decode_ata_passthrough(const uint8_t* cdb, size_t length, SatPassThrough& out);

// Fixed-format sense data (0x70, 18 bytes) with a sense key and additional sense code.
std::vector<uint8_t> fixed_sense(uint8_t key, uint8_t asc, uint8_t ascq);

// Fixed-format sense data for an ATA PASS-THROUGH command: the returned registers in the
// INFORMATION and COMMAND-SPECIFIC INFORMATION fields.
std::vector<uint8_t> ata_fixed_sense(uint8_t key, uint8_t asc, uint8_t ascq, const AtaOutput& regs,
                                     bool extend);

// Descriptor-format sense data (0x72) carrying the ATA Status Return descriptor (0x09).
std::vector<uint8_t> ata_descriptor_sense(uint8_t key, uint8_t asc, uint8_t ascq,
                                          const AtaOutput& regs, bool extend);

// Carries one SCSI request to the port's drive. Sets ScsiStatus, writes the sense bytes at
// SenseInfoOffset, and leaves in SenseInfoLength the sense bytes returned and in
// DataTransferLength the data bytes moved.
void sat_execute(Port& port, ScsiPassThroughRequest& request);

}  // namespace sim
