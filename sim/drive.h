// The simulated ATA drive: what IDENTIFY reports, how it answers commands, and its firmware
// state. Shared by every path of the simulated world (SAT bridge, ATA port, CSMI adapters).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ata.h"

namespace sim {

enum class DataDir { None, In, Out };

// Planned faults of a drive.
struct DriveFaults {
  int abort_download_nth = 0;         // abort only the Nth DOWNLOAD MICROCODE (1-based)
  bool abort_every_download = false;  // abort every DOWNLOAD MICROCODE
  // Answer every command `forced_command` (0: any command) with these registers and no data.
  bool forced = false;
  uint8_t forced_command = 0;
  uint8_t forced_status = kAtaStatusAborted;
  uint8_t forced_error = kAtaErrorAbort;
  // Run the command normally first (its data moves), then report the forced registers.
  bool forced_after_data = false;
};

// A default Drive is quillmark-sim's PhysicalDrive0: DOWNLOAD MICROCODE DMA (word 69 bit 8)
// and mode 3 (word 119 bit 4) supported, ATA8-ACS to ACS-4 claimed (word 80 0x0FF0), SEC1
// (word 128 0x0001), 1 to 256 blocks per segment (words 234 and 235), IDENTIFY DEVICE data log
// page 3 valid with DM bits 34 and 35. The built-in world and the tests start from it.
struct Drive {
  // IDENTIFY DEVICE fields.
  std::string model = "QUILLMARK SIM SSD 480";
  std::string serial = "QMSIM0000000001";
  std::string firmware = "SIM1.00";  // the running revision
  uint16_t word69 = 0x0100;
  uint16_t word80 = 0x0FF0;
  uint16_t word119 = 0x0010;
  uint16_t word128 = 0x0001;
  uint16_t word234 = 1;
  uint16_t word235 = 256;

  // IDENTIFY DEVICE data log (0x30), page 3: absent, or present with these two values.
  bool log_page3 = true;
  uint64_t log_page3_header = 1ull << 63;  // bit 63: page valid
  uint64_t log_page3_caps = (1ull << 63) | (1ull << 34) | (1ull << 35);

  // The vendor IDENTIFY variant (IDENTIFY with Features 0x0B): answered or aborted.
  bool answers_vendor_identify = true;

  // DOWNLOAD MICROCODE behaviour.
  bool accept_any_image = false;  // take any bytes as a valid image

  // Firmware state.
  std::vector<uint8_t> assembly;  // segments received so far (modes 0x03 / 0x0E)
  uint32_t next_block = 0;        // block offset the next segment must carry
  uint8_t assembly_mode = 0;      // the mode of the segments in `assembly`
  std::string pending_revision;   // a complete deferred image waiting for 0x0F
  bool pending_ready = false;
  std::vector<uint8_t> last_image;  // the last complete image the drive accepted
  int download_commands = 0;        // DOWNLOAD MICROCODE commands seen

  DriveFaults faults;
};

// Called with the drive at the first DOWNLOAD MICROCODE it receives in this process, when set:
// quillmark-sim notes there when a download began, so a fleet rehearsal can be timed.
inline void (*download_started)(const Drive& drive) = nullptr;

// The 512 bytes of IDENTIFY DEVICE data for the drive.
std::vector<uint8_t> identify_data(const Drive& drive);

// Executes one ATA command and returns the drive's output registers (no upper halves: the
// drive returns none). `data` has room for `length` bytes: filled for DataDir::In, read for
// DataDir::Out; `moved` is set to the bytes the command transferred. A command the drive does
// not know is aborted (0x51 / 0x04).
OutputRegisters execute_ata(Drive& drive, const InputRegisters& in, DataDir dir, uint8_t* data,
                            uint32_t length, uint32_t& moved);

// DOWNLOAD MICROCODE (0x92), called by execute_ata.
OutputRegisters execute_download_microcode(Drive& drive, const InputRegisters& in, DataDir dir,
                                           const uint8_t* data, uint32_t length, uint32_t& moved);

}  // namespace sim
