// IDENTIFY DEVICE and page 3 of the IDENTIFY DEVICE data log, decoded into DriveInfo.
#include "identify/identify.h"

#include <cassert>
#include <cstddef>
#include <cstring>

#include "platform/ata.h"
#include "platform/console.h"

namespace {

constexpr uint8_t kLogIdentifyData = 0x30;
constexpr uint8_t kPageSupportedCapabilities = 3;

uint16_t word_at(const uint8_t* data, int word) {
  return static_cast<uint16_t>(data[2 * word] | (data[2 * word + 1] << 8));
}

uint64_t qword_at(const uint8_t* data, int index) {
  uint64_t v = 0;
  for (int b = 7; b >= 0; --b) v = (v << 8) | data[8 * index + b];
  return v;
}

bool is_trimmed(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\r' || c == '\n'; }

// A one-block PIO data-in read; every register the caller does not set keeps its value.
void set_block_read(DeviceCommand& cmd, uint8_t* buffer) {
  cmd.direction = DataDirection::In;
  cmd.data = buffer;
  cmd.data_length = 512;
  cmd.protocol = AtaProtocol::Pio;
  cmd.regs.count_7_0 = 1;
}

}  // namespace

std::string ata_string(const uint8_t* source_buffer, uint32_t length) {
  // clang-format off
  assert(0 != length && 0 == ( length %2 ) && NULL != source_buffer);
  // clang-format on
  std::string text;
  text.reserve(length);
  // The first character of each pair sits in bits 15:8 of its word, the second byte.
  for (uint32_t k = 0; k + 1 < length; k += 2) {
    text.push_back(static_cast<char>(source_buffer[k + 1]));
    text.push_back(static_cast<char>(source_buffer[k]));
  }
  size_t first = 0;
  while (first < text.size() && is_trimmed(text[first])) ++first;
  if (first == text.size()) return {};
  size_t last = text.size();
  while (is_trimmed(text[last - 1])) --last;
  return text.substr(first, last - first);
}

SecurityState security_state_of(uint16_t word128) {
  const bool enabled = (word128 & 0x0002) != 0;
  const bool locked = (word128 & 0x0004) != 0;
  const bool frozen = (word128 & 0x0008) != 0;
  if (frozen) return enabled ? SecurityState::SEC6 : SecurityState::SEC2;
  if (enabled) return locked ? SecurityState::SEC4 : SecurityState::SEC5;
  return SecurityState::SEC1;
}

std::string security_state_name(SecurityState state) {
  return "SEC" + std::to_string(static_cast<int32_t>(state));
}

void set_identify_command(DeviceCommand& cmd, uint8_t* buffer) {
  set_block_read(cmd, buffer);
  cmd.register_set = RegisterSet::Lba28;
  cmd.regs.command = kAtaIdentifyDevice;
}

void decode_identify_data(const uint8_t* data, DriveInfo& info) {
  info.serial = ata_string(data + 20, 20);
  info.model = ata_string(data + 54, 40);
  info.firmware = ata_string(data + 46, 8);
  info.security_word = word_at(data, 128);
  info.dma_download_supported = (word_at(data, 69) >> 8) & 1;
  info.mode3_download_supported = (word_at(data, 119) >> 4) & 1;
  info.min_download_blocks = word_at(data, 234);
  info.max_download_blocks = word_at(data, 235);

  // Appended, not replaced: a second identify of the same drive repeats the entries.
  static const char* const kMajorVersions[] = {"ATA8-ACS ", "ACS-2 ", "ACS-3 ", "ACS-4 "};
  const uint16_t word80 = word_at(data, 80);
  for (int bit = 8; bit <= 11; ++bit)
    if (word80 & (1u << bit)) info.major_versions.emplace_back(kMajorVersions[bit - 8]);

  info.security_state = security_state_of(info.security_word);
}

int identify_device(DeviceCommand& cmd, DriveInfo& info) {
  uint8_t data[512] = {};
  set_identify_command(cmd, data);

  const int result = issue_command(cmd);
  if (result != kResultSuccess) {
    if (cmd.verbosity != 0)
      console::printf("ATA IDENTIFY (0xEC) command failed [0x%x]\n", cmd.last_os_error);
    return result;
  }

  decode_identify_data(data, info);
  // Nothing follows the command in flight once the operator has asked the run to stop.
  if (!platform_interrupted()) read_dm_capabilities(cmd, info);
  return kResultSuccess;
}

void read_dm_capabilities(DeviceCommand& cmd, DriveInfo& info) {
  uint8_t page[512] = {};
  set_block_read(cmd, page);
  cmd.register_set = RegisterSet::Lba48;
  cmd.regs.lba_7_0 = kLogIdentifyData;
  cmd.regs.lba_15_8 = kPageSupportedCapabilities;
  cmd.regs.command = kAtaReadLogExt;

  // Drives without the log simply show no DM capabilities.
  if (issue_command(cmd) != kResultSuccess) return;
  if ((qword_at(page, 0) >> 63) == 0) return;

  const uint64_t caps = qword_at(page, 2);
  if (caps & (1ull << 35)) info.dm_clears_nonactivated_deferred = true;
  if (caps & (1ull << 34)) info.dm_offsets_deferred_supported = true;
}
