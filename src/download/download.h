// The firmware download engine: reads the image, plans the transfers and sends them as
// DOWNLOAD MICROCODE commands, with the plan, the warning and the progress line.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ata.h"
#include "transport/device_command.h"

// The DOWNLOAD MICROCODE sub-command of a pass (the Features register).
enum DownloadMode : uint8_t {
  SegmentedImmediate = kAtaDmSegmented,  // "/s"
  DownloadImmediate = kAtaDmImmediate,   // default
  Deferred = kAtaDmDeferred,             // "/e"
  Activate = kAtaDmActivate,             // the extra pass after "/a"
};

// How far a pass got: the transfers the drive completed, of how many the plan has (0 until
// the image is read and planned).
struct PassProgress {
  uint32_t done = 0;
  uint32_t planned = 0;
};

// What one pass is given; the drive sequence hands each pass a fresh copy.
struct DownloadParams {
  std::u16string file_name;
  DownloadMode mode = DownloadImmediate;
  uint8_t segment_blocks = 64;       // 512-byte blocks per transfer; 0 in the activate pass
  PassProgress* progress = nullptr;  // kept up to date when given
};

// One pass. Returns 1, 4 (image unusable), 10 (no memory), 14 (an interrupt came: no command
// after the one in flight; the progress line is left as it stood) or the failing transport's
// code.
int download_firmware(DeviceCommand& cmd, const DownloadParams& params);
