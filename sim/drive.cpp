// The simulated drive's answers to everything but DOWNLOAD MICROCODE: IDENTIFY DEVICE, the
// vendor IDENTIFY variant, READ LOG EXT of the IDENTIFY DEVICE data log page 3, and an abort
// for anything else.
#include "sim/drive.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

constexpr uint32_t kBlock = 512;

bool is_vendor_identify(const InputRegisters& in) {
  const uint32_t lba = uint32_t{in.lba_23_16} << 16 | uint32_t{in.lba_15_8} << 8 | in.lba_7_0;
  return in.features_7_0 == kAtaVendorIdentifyFeatures && lba == kAtaVendorIdentifyLba;
}

void put_word(std::vector<uint8_t>& d, int word, uint16_t value) {
  d[2 * word] = static_cast<uint8_t>(value & 0xFF);
  d[2 * word + 1] = static_cast<uint8_t>(value >> 8);
}

// ATA strings put the first character of each pair in bits 15:8 of the word; short texts
// are padded with blanks, long ones cut at the field.
void put_string(std::vector<uint8_t>& d, int first_word, int words, const std::string& text) {
  std::string field(static_cast<size_t>(2 * words), ' ');
  std::copy_n(text.begin(), std::min(text.size(), field.size()), field.begin());
  for (int i = 0; i < words; ++i) {
    d[2 * (first_word + i)] = static_cast<uint8_t>(field[2 * i + 1]);
    d[2 * (first_word + i) + 1] = static_cast<uint8_t>(field[2 * i]);
  }
}

void put_u64(uint8_t* p, uint64_t value) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

OutputRegisters answer(uint8_t status, uint8_t error, uint8_t device) {
  OutputRegisters out{};
  out.status = status;
  out.error = error;
  out.device = device;
  return out;
}

OutputRegisters aborted(const InputRegisters& in) {
  return answer(kAtaStatusAborted, kAtaErrorAbort, in.device);
}

// Hands `source` to the host, no more than the host has room for.
OutputRegisters deliver(const InputRegisters& in, const std::vector<uint8_t>& source, uint8_t* data,
                        uint32_t length, uint32_t& moved) {
  const uint32_t n = data != nullptr ? std::min<uint32_t>(length, source.size()) : 0;
  if (n != 0) std::memcpy(data, source.data(), n);
  moved = n;
  return answer(kAtaStatusReady, 0, in.device);
}

std::vector<uint8_t> vendor_identify_data() {
  std::vector<uint8_t> d(kBlock);
  // A fixed, recognisable pattern: a tool must not depend on what a vendor puts here.
  for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>(i ^ 0xA5);
  return d;
}

OutputRegisters read_log_ext(const Drive& drive, const InputRegisters& in, uint8_t* data,
                             uint32_t length, uint32_t& moved) {
  const unsigned log_address = in.lba_7_0;
  const unsigned page = in.lba_15_8 | (in.lba_39_32 << 8);
  const unsigned pages = in.count_7_0 | (in.count_15_8 << 8);
  if (!drive.log_page3 || log_address != 0x30 || page != 3 || pages != 1) return aborted(in);
  std::vector<uint8_t> page3(kBlock);
  put_u64(&page3[0], drive.log_page3_header);
  put_u64(&page3[16], drive.log_page3_caps);
  return deliver(in, page3, data, length, moved);
}

OutputRegisters run_command(Drive& drive, const InputRegisters& in, DataDir dir, uint8_t* data,
                            uint32_t length, uint32_t& moved) {
  switch (in.command) {
    case kAtaIdentifyDevice:
      // A data-in command sent any other way never gets its data phase.
      if (dir != DataDir::In) return aborted(in);
      if (is_vendor_identify(in)) {
        if (!drive.answers_vendor_identify) return aborted(in);
        return deliver(in, vendor_identify_data(), data, length, moved);
      }
      return deliver(in, identify_data(drive), data, length, moved);
    case kAtaReadLogExt:
      if (dir != DataDir::In) return aborted(in);
      return read_log_ext(drive, in, data, length, moved);
    case kAtaDownloadMicrocode:
      return execute_download_microcode(drive, in, dir, data, length, moved);
    default:
      return aborted(in);
  }
}

}  // namespace

std::vector<uint8_t> identify_data(const Drive& drive) {
  std::vector<uint8_t> d(kBlock, 0);
  put_word(d, 0, 0x0040);  // fixed device
  put_string(d, 10, 10, drive.serial);
  put_string(d, 23, 4, drive.firmware);
  put_string(d, 27, 20, drive.model);
  put_word(d, 49, 0x0300);  // LBA and DMA supported
  put_word(d, 69, drive.word69);
  put_word(d, 80, drive.word80);
  // 48-bit address and DOWNLOAD MICROCODE (bit 0) supported and enabled, as every drive
  // that takes the command reports; other tools look here before they send it.
  put_word(d, 83, 0x4401);
  put_word(d, 86, 0x0401);
  put_word(d, 119, drive.word119);
  put_word(d, 128, drive.word128);
  put_word(d, 234, drive.word234);
  put_word(d, 235, drive.word235);
  // Integrity word: signature 0xA5 and a checksum that makes all 512 bytes sum to zero.
  d[510] = 0xA5;
  uint8_t sum = 0;
  for (size_t i = 0; i < 511; ++i) sum = static_cast<uint8_t>(sum + d[i]);
  d[511] = static_cast<uint8_t>(0x100 - sum);
  return d;
}

OutputRegisters execute_ata(Drive& drive, const InputRegisters& in, DataDir dir, uint8_t* data,
                            uint32_t length, uint32_t& moved) {
  moved = 0;
  const DriveFaults& f = drive.faults;
  const bool forced = f.forced && (f.forced_command == 0 || f.forced_command == in.command);
  if (forced && !f.forced_after_data) return answer(f.forced_status, f.forced_error, in.device);
  OutputRegisters out = run_command(drive, in, dir, data, length, moved);
  if (forced) {
    out.status = f.forced_status;
    out.error = f.forced_error;
  }
  return out;
}

}  // namespace sim
