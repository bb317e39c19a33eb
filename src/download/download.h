// The firmware download engine: reads the image, plans the transfers and sends them as
// DOWNLOAD MICROCODE commands, with the plan, the warning and the progress line.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/ata.h"
#include "transport/device_command.h"
#include "transport/firmware_api.h"

// The DOWNLOAD MICROCODE sub-command of a pass (the Features register).
enum class DownloadMode : uint8_t {
  SegmentedImmediate = kAtaDmSegmented,  // "/s"
  DownloadImmediate = kAtaDmImmediate,   // default
  Deferred = kAtaDmDeferred,             // "/e"
  Activate = kAtaDmActivate,             // the extra pass after "/a"
};

// How far a pass got: the transfers sent and those the drive completed (one fewer when it
// refused the last one sent), of how many the plan has (0 until the image is read and planned).
struct PassProgress {
  uint32_t done = 0;
  uint32_t sent = 0;
  uint32_t planned = 0;
};

// The progress line across the passes of one run: each pass's spinner turns on from where the
// previous one stopped, and a new percentage is shown at once.
struct Spinner {
  uint32_t turns = 0;
  int last_shown = -1;  // the percentage the last progress line showed
};

// The storage firmware API for a deferred download: what the driver answered (or that the
// operator forced pass-through), and whether it carried the download, in which case the
// activation goes the same way. The drive sequence asks once, before the first pass.
struct FirmwareApiRoute {
  FirmwareApiInfo info;
  bool forced_passthrough = false;  // "--pass-through": the driver was not asked
  bool carried = false;             // set by the download pass
};

// What one pass is given; the drive sequence hands each pass a fresh copy.
struct DownloadParams {
  std::u16string file_name;
  DownloadMode mode = DownloadMode::DownloadImmediate;
  uint8_t segment_blocks = 64;       // 512-byte blocks per transfer; 0 in the activate pass
  PassProgress* progress = nullptr;  // kept up to date when given
  Spinner* spinner = nullptr;        // the run's; without one the pass starts its own
  // The activate pass reads the image to describe it; false: "/a" without "/D:", the
  // activation alone with counts of 0.
  bool with_image = true;
  // A deferred download on the SCSI and ATA paths: the API's answer, which decides how the
  // transfers are carried. Null: by pass-through, without a word.
  FirmwareApiRoute* api = nullptr;
  bool digest = false;  // the image's SHA-256 goes into the report
  // The digest the image must have, checked on the buffer each pass reads; a mismatch sends
  // nothing and fails the pass as an unusable image.
  const std::array<uint8_t, 32>* expected_sha256 = nullptr;
  // A rehearsal: the image is read and planned and the plan shown, and nothing is sent.
  bool dry_run = false;
};

// Why a pass failed, in plain words, for the line that ends a failed run, and what the pass
// found on its way, for the run report.
struct DownloadReport {
  std::string why;
  int64_t image_size = -1;  // -1 until the image was measured
  bool digested = false;    // sha256 holds the digest of the bytes the pass read
  uint8_t sha256[32] = {};
  bool planned = false;  // the plan's figures below are set
  uint32_t transfer_size = 0;
  uint16_t blocks = 0;
  uint16_t transfers = 0;  // full transfers
  uint32_t remainder = 0;
  int32_t verdict = -1;  // the Count output of the segment the drive judged last; -1 for none
  // Where the driver was asked for the firmware API: "firmware_api" or "pass_through", and why
  // not the API. Empty where nobody asked.
  std::string carried_by;
  std::string carried_why;
};

// One pass. Returns 1, 4 (image unusable), 10 (no memory), 14 (an interrupt came: no command
// after the one in flight; the progress line is left as it stood) or the failing transport's
// code; a failure is explained in *report when one is given.
int download_firmware(DeviceCommand& cmd, const DownloadParams& params,
                      DownloadReport* report = nullptr);
