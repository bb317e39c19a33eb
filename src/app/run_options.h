// The parsed command line.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "csmi/csmi.h"
#include "download/download.h"
#include "transport/device_command.h"

struct RunOptions {
  // InterfaceKind bits + run-option bits, or kFlagScan
  uint64_t flags = interface_flag(InterfaceKind::ScsiPassThrough);
  std::u16string device_path;  // the drive, or the CSMI adapter path
  CsmiTarget csmi_target;
  std::u16string file_name;
  DownloadMode mode = DownloadMode::DownloadImmediate;
  uint8_t segment_blocks = 64;
  int32_t retry_count = 0;
  int32_t verbosity = 0;
  bool info_only = false;
  uint64_t l_switch = 0;
  // "--pass-through": a deferred download goes by pass-through even where the driver offers
  // the storage firmware API.
  bool force_passthrough = false;
  // The proof of a change: the image's digest as named, the revision the drive must run
  // afterwards (as typed), and a rehearsal that sends nothing that changes the drive.
  std::optional<std::array<uint8_t, 32>> sha256;
  std::optional<std::u16string> expect_revision;
  bool dry_run = false;
};
