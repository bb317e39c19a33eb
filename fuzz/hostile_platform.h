// A platform whose every answer comes from fuzz input: the drives and their bridges, the ATA
// ports, the CSMI drivers and the image files. It is linked like any other backend (see
// platform/platform.h), and it notes what the tool asked of it so that a target can judge the
// whole run afterwards.
//
// The answers are read from one byte stream, one call after another, in the order the tool
// makes its calls. Each call first takes a selector byte; 0 asks for the benign answer (a
// well-behaved SATA drive, an adapter on port 2 with drives on its phys, a readable image),
// and a stream that has run dry answers benignly from then on. So an empty stream is a clean
// run, and every byte the fuzzer adds turns one answer hostile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace hostile {

// The port the benign world has its one CSMI adapter on.
inline constexpr int kBenignAdapterPort = 2;

// The attached SAS address of phy `phy` of the benign adapter: 50 01 51 4d 00 00 02 <phy>.
void benign_attached_address(uint8_t phy, uint8_t (&address)[8]);

// One ATA command as it reached the platform, whichever wrapper carried it.
struct AtaCommand {
  enum class Path { Scsi, Ata, Stp };
  Path path = Path::Scsi;
  Handle handle = 0;
  // The bits-7:0 registers (DOWNLOAD MICROCODE keeps the high byte of its block count in
  // LBA (7:0) and its block offset in LBA (15:8) and (23:16)).
  uint8_t features = 0;
  uint8_t count = 0;
  uint8_t lba_low = 0;
  uint8_t lba_mid = 0;
  uint8_t lba_high = 0;
  uint8_t device = 0;
  uint8_t command = 0;
  int direction = 0;  // 0 none, 1 in, 2 out
  uint32_t data_length = 0;
  // STP only: where the request was addressed.
  uint8_t phy_identifier = 0;
  uint8_t port_identifier = 0;
  uint8_t destination[8] = {};
  // The answer said, beyond doubt, that the command failed.
  bool failed = false;
  // SCSI only: the block asked for the registers back (CK_COND), and the answer refused the
  // block for it (ILLEGAL REQUEST, INVALID FIELD IN CDB): the tool may send it again without.
  bool ck_cond = false;
  bool ck_cond_refused = false;
  // The Count output register as the answer carried it, or -1 when it carried no registers.
  // After a segment of mode 0x03 it is the drive's verdict: 1 expects more, 2 has it all.
  int verdict = -1;
  // Image file openings before this command: the pass it belongs to.
  int pass = 0;
  // DOWNLOAD MICROCODE with data: every byte equals the image of its pass (zero past the end
  // of the file, within the last block) at the block offset its registers name.
  bool data_matches_image = false;

  uint16_t block_count() const { return static_cast<uint16_t>(count | lba_low << 8); }
  uint16_t block_offset() const { return static_cast<uint16_t>(lba_mid | lba_high << 8); }
};

// One opening of the image file, and what the tool could read of it.
struct ImageOpen {
  bool opened = false;
  int64_t reported_size = -1;  // what the size query answered
  uint64_t content_size = 0;   // the bytes a reader actually gets
  uint64_t image_size = 0;     // what the tool can take as its image: the size it was told,
                               // when it can read that much
};

struct Record {
  std::vector<std::u16string> drive_opens;
  std::vector<std::u16string> adapter_opens;
  std::map<Handle, std::u16string> handle_paths;  // every handle given out, by path
  std::vector<AtaCommand> commands;
  std::vector<ImageOpen> images;
  // The IDENTIFY DEVICE data of the first IDENTIFY command, as the tool received it.
  bool first_identify_seen = false;
  uint8_t first_identify[512] = {};
  // The phy table each adapter handle last answered with, as the tool received it.
  std::map<Handle, CSMI_SAS_PHY_INFO> phy_tables;
  // A request (or a close) on a handle that was never given out or is already closed.
  bool foreign_handle_used = false;
  int sleeps = 0;
  // The operator's interrupt came (while a request, an opening or a pause was in flight), and
  // the drive and adapter requests that began after the one in flight (a block sent again
  // without CK_COND after the bridge refused it is the same command).
  bool interrupted = false;
  int requests_after_interrupt = 0;
  // The claim the run asked for was refused: another run holds the drive, or no claim can be
  // made here.
  bool claim_busy = false;
};

// What the run meets besides the answer stream: the operator's interrupt during the Nth
// request, opening or pause (0: none), and the claim (granted, held by another run, or not
// to be had).
enum class Claim { Granted, Busy, Unavailable };
struct Plan {
  int interrupt_at = 0;
  Claim claim = Claim::Granted;
};

// Starts a run: the wide argument vector the tool will see, the answer stream, and the image
// file's benign contents (size bytes of a pattern drawn from seed).
void begin(std::vector<std::u16string> args, const uint8_t* stream, size_t stream_size,
           uint64_t image_size, uint8_t image_seed, Plan plan = {});

const Record& record();

// Ends a run: releases everything begin() and the run allocated, so that a run frees what it
// allocates (libFuzzer takes any difference for a possible leak and runs the input again).
void end();

}  // namespace hostile
