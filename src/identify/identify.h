// What the drive is: IDENTIFY DEVICE and the IDENTIFY DEVICE data log decoded into
// DriveInfo, and the supplementary queries sent at fixed points of a run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transport/device_command.h"

// ATA security states as the standard numbers them (0 and 3 are never produced).
enum class SecurityState : int32_t {
  SEC0 = 0,
  SEC1 = 1,  // disabled, not frozen
  SEC2 = 2,  // disabled, frozen
  SEC3 = 3,
  SEC4 = 4,  // enabled, locked
  SEC5 = 5,  // enabled, unlocked, not frozen
  SEC6 = 6,  // enabled, unlocked, frozen
};

struct DriveInfo {
  std::string model;
  std::string serial;
  std::string firmware;
  uint16_t security_word = 0;
  SecurityState security_state = SecurityState::SEC0;
  bool dma_download_supported = false;
  bool mode3_download_supported = false;
  bool dm_offsets_deferred_supported = false;
  bool dm_clears_nonactivated_deferred = false;
  uint16_t min_download_blocks = 0;
  uint16_t max_download_blocks = 0;
  std::vector<std::string> major_versions;  // "ATA8-ACS ", "ACS-2 ", ... each ends in a blank
};

// An ATA string field (two characters per word, first in the high byte) as trimmed text.
std::string ata_string(const uint8_t* source_buffer, uint32_t length);

// The security state that word 128 describes.
SecurityState security_state_of(uint16_t word128);
// How the tool names a security state: "SEC1" ... "SEC6".
std::string security_state_name(SecurityState state);

// Sets up IDENTIFY DEVICE (28-bit PIO data-in, one 512-byte block into `buffer`); every
// other register keeps its value.
void set_identify_command(DeviceCommand& cmd, uint8_t* buffer);
// Decodes a 512-byte IDENTIFY DEVICE answer into `info`: the texts, word 128 and its state,
// the download words; the major versions of word 80 are appended to those already there.
void decode_identify_data(const uint8_t* data, DriveInfo& info);

// IDENTIFY DEVICE, then the DM capabilities. 1, or the transport's code (info unchanged).
int identify_device(DeviceCommand& cmd, DriveInfo& info);
// READ LOG EXT of log 0x30 page 3; can only set the two DM flags.
void read_dm_capabilities(DeviceCommand& cmd, DriveInfo& info);

// The two INQUIRY requests, straight through SCSI pass-through, on every path.
void read_scsi_identity(DeviceCommand& cmd);
// The vendor IDENTIFY variant, through issue_command.
int read_vendor_identify(DeviceCommand& cmd);
// Whether the record still holds the vendor variant's command and registers (nothing has been
// sent since it): an IDENTIFY DEVICE sent now goes out as that variant again.
bool holds_vendor_identify(const DeviceCommand& cmd);
