// The firmware download engine: reads the image, plans the transfers and sends them as
// DOWNLOAD MICROCODE commands, with the plan, the warning and the progress line.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ata.h"
#include "transport/device_command.h"

// The DOWNLOAD MICROCODE sub-command of a pass (the Features register).
enum class DownloadMode : uint8_t {
  SegmentedImmediate = kAtaDmSegmented,  // "/s"
  DownloadImmediate = kAtaDmImmediate,   // default
  Deferred = kAtaDmDeferred,             // "/e"
  Activate = kAtaDmActivate,             // the extra pass after "/a"
};

// What one pass is given; the drive sequence hands each pass a fresh copy.
struct DownloadParams {
  std::u16string file_name;
  DownloadMode mode = DownloadMode::DownloadImmediate;
  uint8_t segment_blocks = 64;  // 512-byte blocks per transfer; 0 in the activate pass
};

// Why a pass failed, in plain words, for the line that ends a failed run.
struct DownloadReport {
  std::string why;
  bool said = false;  // already on the error stream (the verbose file reports)
};

// One pass. Returns 1, 4 (image unusable), 10 (no memory) or the failing transport's code;
// a failure is explained in *report when one is given.
int download_firmware(DeviceCommand& cmd, const DownloadParams& params,
                      DownloadReport* report = nullptr);
