// IDENTIFY DEVICE data and page 3 of the IDENTIFY DEVICE data log, as a drive answers them on
// any of the three paths, decoded into the drive description; and ata_string on any field.
// Input: one control byte, 512 bytes of IDENTIFY data, 512 bytes of the log page. Every field
// is compared with a decoding written out here from ATA:
//  - model, serial number and firmware revision are the byte-swapped fields with blanks, tabs,
//    vertical tabs, carriage returns and line feeds trimmed at both ends, and nothing else
//    changed; the security word and its state, the capability flags and block counts, the
//    standards claimed;
//  - the DM flags only from a valid page; they stay set, and the standards are appended, when
//    the drive is identified again; a failed IDENTIFY leaves the description as it was;
//  - the two commands carry the registers ATA gives them.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "hostile_platform.h"
#include "identify/identify.h"
#include "platform/console.h"
#include "property.h"

namespace {

constexpr size_t kPage = 512;

std::string swapped_trimmed(const uint8_t* field, size_t length) {
  std::string text;
  for (size_t k = 0; k + 1 < length; k += 2) {
    text += static_cast<char>(field[k + 1]);
    text += static_cast<char>(field[k]);
  }
  auto trimmed = [](char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\r' || c == '\n';
  };
  size_t first = 0;
  while (first < text.size() && trimmed(text[first])) ++first;
  size_t last = text.size();
  while (last > first && trimmed(text[last - 1])) --last;
  return text.substr(first, last - first);
}

uint16_t word(const uint8_t* data, int w) {
  return static_cast<uint16_t>(data[2 * w] | data[2 * w + 1] << 8);
}

uint64_t qword(const uint8_t* data, int q) {
  uint64_t v = 0;
  for (int b = 0; b < 8; ++b) v |= static_cast<uint64_t>(data[8 * q + b]) << (8 * b);
  return v;
}

SecurityState state_of(uint16_t w) {
  const bool enabled = w & 0x0002, locked = w & 0x0004, frozen = w & 0x0008;
  if (frozen) return enabled ? SecurityState::SEC6 : SecurityState::SEC2;
  if (enabled) return locked ? SecurityState::SEC4 : SecurityState::SEC5;
  return SecurityState::SEC1;
}

std::vector<std::string> versions_of(uint16_t w) {
  std::vector<std::string> v;
  const char* names[] = {"ATA8-ACS ", "ACS-2 ", "ACS-3 ", "ACS-4 "};
  for (int bit = 8; bit <= 11; ++bit)
    if (w & (1u << bit)) v.emplace_back(names[bit - 8]);
  return v;
}

// The answer stream that makes the drive return these pages (or fail) on the chosen path.
void append_answer(std::vector<uint8_t>& stream, int path, bool fails, const uint8_t* page) {
  if (fails) {
    // Not carried, with ERROR_INVALID_FUNCTION.
    stream.push_back(0x01);
    stream.push_back(0x00);
    return;
  }
  stream.push_back(path == 2 ? 0x40 : 0x20);  // data from the stream
  stream.insert(stream.end(), page, page + kPage);
}

bool same(const DriveInfo& a, const DriveInfo& b) {
  return a.model == b.model && a.serial == b.serial && a.firmware == b.firmware &&
         a.security_word == b.security_word && a.security_state == b.security_state &&
         a.dma_download_supported == b.dma_download_supported &&
         a.mode3_download_supported == b.mode3_download_supported &&
         a.dm_offsets_deferred_supported == b.dm_offsets_deferred_supported &&
         a.dm_clears_nonactivated_deferred == b.dm_clears_nonactivated_deferred &&
         a.min_download_blocks == b.min_download_blocks &&
         a.max_download_blocks == b.max_download_blocks && a.major_versions == b.major_versions;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 + 2 * kPage) return 0;
  const uint8_t control = data[0];
  const uint8_t* id = data + 1;
  const uint8_t* log = data + 1 + kPage;
  const int path = control & 0x03;  // 0 and 3 SCSI, 1 ATA, 2 CSMI
  const bool identify_fails = control & 0x04;
  const bool log_fails = control & 0x08;
  const bool twice = control & 0x10;

  // ata_string on any even span of the input.
  const uint32_t span = 2u * (1u + data[size - 1] % 256u);
  if (size - 1 >= span)
    require(ata_string(data + 1, span) == swapped_trimmed(data + 1, span),
            "ata_string not the swapped, trimmed field");

  std::vector<uint8_t> stream = {0x00};  // the device opens
  for (int round = 0; round < (twice ? 2 : 1); ++round) {
    append_answer(stream, path, identify_fails, id);
    if (!identify_fails) append_answer(stream, path, log_fails, log);
  }
  hostile::begin({}, stream.data(), stream.size(), 0, 0);
  struct EndRun {
    ~EndRun() { hostile::end(); }
  } end_run;

  DeviceCommand cmd{};
  cmd.flags = interface_flag(path == 1   ? InterfaceKind::AtaPassThrough
                             : path == 2 ? InterfaceKind::CsmiStp
                                         : InterfaceKind::ScsiPassThrough);
  cmd.passthru_options = kPassThrough16;
  cmd.verbosity = control >> 6;
  cmd.handle = platform_open_drive(u"\\\\.\\PhysicalDrive0");

  DriveInfo info;
  console::capture_begin();
  const int first = identify_device(cmd, info);
  const DriveInfo after_first = info;
  const int second = twice ? identify_device(cmd, info) : first;
  console::capture_end();

  if (identify_fails) {
    require(first != kResultSuccess && second != kResultSuccess, "a failed IDENTIFY succeeded");
    require(same(info, DriveInfo{}), "a failed IDENTIFY changed the drive description");
    return 0;
  }
  require(first == kResultSuccess && second == kResultSuccess, "IDENTIFY failed");

  DriveInfo expected;
  expected.serial = swapped_trimmed(id + 20, 20);
  expected.firmware = swapped_trimmed(id + 46, 8);
  expected.model = swapped_trimmed(id + 54, 40);
  expected.security_word = word(id, 128);
  expected.security_state = state_of(word(id, 128));
  expected.dma_download_supported = (word(id, 69) >> 8) & 1;
  expected.mode3_download_supported = (word(id, 119) >> 4) & 1;
  expected.min_download_blocks = word(id, 234);
  expected.max_download_blocks = word(id, 235);
  expected.major_versions = versions_of(word(id, 80));
  if (!log_fails && (qword(log, 0) >> 63) != 0) {
    expected.dm_offsets_deferred_supported = (qword(log, 2) >> 34) & 1;
    expected.dm_clears_nonactivated_deferred = (qword(log, 2) >> 35) & 1;
  }
  require(same(after_first, expected), "the drive description not as ATA defines the pages");
  if (twice) {
    const std::vector<std::string> once = expected.major_versions;
    expected.major_versions.insert(expected.major_versions.end(), once.begin(), once.end());
    require(same(info, expected), "a second IDENTIFY did not replace, keep and append as it must");
  }

  // IDENTIFY DEVICE, then READ LOG EXT of log 0x30 page 3, each reading one block.
  const std::vector<hostile::AtaCommand>& sent = hostile::record().commands;
  require(sent.size() == (twice ? 4u : 2u), "not one IDENTIFY and one READ LOG EXT per identify");
  for (size_t i = 0; i < sent.size(); i += 2) {
    const hostile::AtaCommand& id_cmd = sent[i];
    const hostile::AtaCommand& log_cmd = sent[i + 1];
    require(id_cmd.command == 0xEC && id_cmd.count == 1 && id_cmd.direction == 1 &&
                id_cmd.data_length == kPage,
            "IDENTIFY DEVICE not as ATA defines it");
    require(log_cmd.command == 0x2F && log_cmd.count == 1 && log_cmd.lba_low == 0x30 &&
                log_cmd.lba_mid == 3 && log_cmd.direction == 1 && log_cmd.data_length == kPage,
            "READ LOG EXT of log 0x30 page 3 not as ATA defines it");
  }
  return 0;
}
