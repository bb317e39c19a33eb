// The Linux backend's translations of what SG_IO hands back: SCSI status, sense data (fixed
// and descriptor format), residues and host/driver status, plus the ATA PASS-THROUGH (16)
// block it builds and the drive names it maps. The first byte picks which. Properties:
//  - a CHECK CONDITION whose sense carries no ATA registers (fixed sense other than ASC/ASCQ
//    00/1D or libata's own layout, descriptor sense without an ATA status return descriptor,
//    a deferred error, no sense) makes the ATA pass-through request fail as the transport
//    judges it; registers that are carried are read from where SAT puts them; without the
//    registers asked for, no CHECK CONDITION passes for success;
//  - nothing is read past the sense bytes the kernel wrote; lengths never exceed the request;
//  - the command block carries the task files it was built from; a drive path maps to the
//    disk the kernel names so, anything else passes unchanged.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/linux/sg_translate.h"
#include "platform/sat.h"
#include "platform/text.h"
#include "property.h"

namespace {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(byte()) << (8 * i);
    return v;
  }
  std::vector<uint8_t> rest(size_t max) {
    const size_t n = std::min(max, size_ - pos_);
    std::vector<uint8_t> v(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return v;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

constexpr uint8_t kCheckCondition = 0x02;

// The first ATA status return descriptor inside the descriptors the sense declares and the
// kernel wrote, as SPC walks them.
const uint8_t* ata_status_descriptor(const std::vector<uint8_t>& s) {
  if (s.size() < 8) return nullptr;
  const size_t end = std::min<size_t>(s.size(), 8u + s[7]);
  for (size_t i = 8; i + 2 <= end; i += 2u + s[i + 1]) {
    if (s[i] == 0x09 && s[i + 1] >= 0x0C && i + 14 <= end) return &s[i];
  }
  return nullptr;
}

// libata (up to 6.9, default D_SENSE=0) puts Error, Status, Device and Count in bytes 8..11 of
// fixed sense and leaves INFORMATION zero; Status is never 0 for a completed command.
bool libata_fixed_layout(const std::vector<uint8_t>& s) {
  return s.size() >= 12 && (s[0] & 0x7F) == 0x70 && (s[3] | s[4] | s[5] | s[6]) == 0 && s[9] != 0;
}

// Fixed sense that says it carries ATA registers in INFORMATION: ATA PASS-THROUGH INFORMATION
// AVAILABLE. `declared`: ASC and ASCQ also lie within the additional length.
bool sat_fixed_registers(const std::vector<uint8_t>& s, bool declared) {
  return s.size() >= 14 && (s[0] & 0x7F) == 0x70 && s[12] == 0x00 && s[13] == 0x1D &&
         (!declared || s[7] >= 6);
}

void check_ata_outcome(Input& in) {
  static const uint8_t kStatuses[] = {0x00, 0x02, 0x04, 0x08, 0x18, 0x28};
  const uint8_t pick = in.byte();
  const uint8_t scsi_status = pick < 240 ? kStatuses[pick % sizeof kStatuses] : in.byte();
  const uint8_t direction = in.byte() % 3;  // 0 none, 1 in, 2 out
  // The tool's data commands always move at least one byte.
  const uint32_t requested = direction == 0 ? 0 : 1 + in.u32() % (1u << 20);
  const auto resid = static_cast<int32_t>(in.u32());
  // Exactly the bytes the kernel wrote, on the heap: a read past them is an ASan report.
  const std::vector<uint8_t> sense = in.rest(64);
  auto* written = new uint8_t[sense.size()];
  std::copy(sense.begin(), sense.end(), written);
  sat::Answer answer;
  answer.status = scsi_status;
  answer.sense = std::span(written, sense.size());
  const sg::AtaOutcome o = sg::ata_outcome(sat::judge_answer(answer, true));
  // Without the registers asked for, no CHECK CONDITION passes, whatever its sense says.
  const bool unasked_success = sat::judge_answer(answer, false).verdict == sat::Verdict::Success;
  delete[] written;
  if (scsi_status == kCheckCondition)
    require(!unasked_success, "a CHECK CONDITION counted as success without CK_COND asked");

  if (scsi_status != 0x00 && scsi_status != kCheckCondition && scsi_status != 0x04) {
    require(!o.carried, "a status that is not the drive's answer counted as carried");
    return;
  }

  // As the ATA pass-through transport judges the request.
  bool success = false;
  if (o.carried) {
    const uint32_t moved =
        direction == 0 ? 0 : sg::ata_transferred_length(requested, resid, o.registers);
    require(moved <= requested, "more bytes moved than requested");
    const OutputRegisters& r = o.registers;
    if (r.status == 0x50)
      success = true;
    else if (r.error != 0x84)
      success = direction == 1 && moved == requested;
  }

  const uint8_t code = sense.empty() ? 0 : sense[0] & 0x7F;
  const uint8_t* descriptor = code == 0x72 ? ata_status_descriptor(sense) : nullptr;
  if (descriptor != nullptr && sense.size() >= 8) {
    require(o.carried, "a request with an ATA status return descriptor not carried");
    const OutputRegisters& r = o.registers;
    require(r.error == descriptor[3] && r.count == descriptor[5] && r.lba_low == descriptor[7] &&
                r.lba_mid == descriptor[9] && r.lba_high == descriptor[11] &&
                r.device == descriptor[12] && r.status == descriptor[13],
            "registers not those of the ATA status return descriptor");
  }
  if (code == 0x70 && sat_fixed_registers(sense, true)) {
    require(o.carried, "a request with registers in fixed sense not carried");
    const OutputRegisters& r = o.registers;
    require(
        r.error == sense[3] && r.status == sense[4] && r.device == sense[5] && r.count == sense[6],
        "registers not those of the fixed sense INFORMATION field");
  }

  if (scsi_status != kCheckCondition) return;
  const bool carries_registers =
      descriptor != nullptr || sat_fixed_registers(sense, false) || libata_fixed_layout(sense);
  if (!carries_registers)
    require(!success, "a CHECK CONDITION without ATA registers counted as success");
}

void check_lengths_and_status(Input& in) {
  const uint32_t requested = in.u32();
  const auto resid = static_cast<int32_t>(in.u32());
  const uint32_t moved = sg::transferred_length(requested, resid);
  const int64_t expected =
      resid <= 0 ? requested : std::max<int64_t>(0, int64_t{requested} - int64_t{resid});
  require(moved == expected, "bytes moved are not the request less the residue");

  const uint8_t status = in.byte();
  const uint16_t host = static_cast<uint16_t>(in.byte() | in.byte() << 8);
  const uint16_t driver = static_cast<uint16_t>(in.byte() | in.byte() << 8);
  sat::Answer answer;
  answer.host_status = host;
  answer.driver_status = driver;
  answer.status = status;
  const sat::Outcome judged = sat::judge_answer(answer, false);
  if (status != 0) require(judged.answered, "a device status turned into a transport error");
  if (status == 0 && host == 0 && ((driver & 0x0F) == 0 || (driver & 0x0F) == 0x08))
    require(judged.answered, "a clean completion turned into a transport error");
  if (status == 0 && host != 0) {
    require(!judged.answered && judged.verdict == sat::Verdict::NotCarried && judged.error != 0,
            "a host adapter failure passed as carried");
  }

  const uint32_t seconds = in.u32();
  const uint64_t ms = uint64_t{seconds} * 1000;
  require(sg::timeout_ms_from_seconds(seconds) == (ms > UINT_MAX ? UINT_MAX : ms),
          "timeout not the seconds in milliseconds, saturated");

  const uint32_t idlun = in.u32();
  const SCSI_ADDRESS a = sg::address_from_idlun(idlun);
  require((uint32_t{a.TargetId} | uint32_t{a.Lun} << 8 | uint32_t{a.PathId} << 16 |
           uint32_t{a.PortNumber} << 24) == idlun,
          "SCSI address not the packed id/lun");
}

void check_command_block(Input& in) {
  ATA_PASS_THROUGH_DIRECT r{};
  r.AtaFlags = static_cast<uint16_t>(in.byte() | in.byte() << 8);
  r.DataTransferLength = in.byte() % 3 == 0 ? 0 : in.u32();
  for (uint8_t& b : r.PreviousTaskFile) b = in.byte();
  for (uint8_t& b : r.CurrentTaskFile) b = in.byte();
  const auto cdb = sg::build_ata_passthrough16(r);
  const bool in_flag = r.AtaFlags & ATA_FLAGS_DATA_IN;
  const bool out_flag = r.AtaFlags & ATA_FLAGS_DATA_OUT;
  if (in_flag && out_flag) {
    require(!cdb.has_value(), "a block built for both data directions");
    return;
  }
  require(cdb.has_value(), "no block for a single data direction");
  const uint8_t* b = cdb->bytes;
  const bool extend = r.AtaFlags & ATA_FLAGS_48BIT_COMMAND;
  const bool data = (in_flag || out_flag) && r.DataTransferLength > 0;
  require(b[0] == 0x85 && (b[1] & 0x01) == (extend ? 1 : 0), "not ATA PASS-THROUGH (16)");
  const uint8_t protocol = (b[1] >> 1) & 0x0F;
  if (!data) require(protocol == 3, "a command without data not sent as non-data");
  if (data) require((b[2] & 0x08) == (in_flag ? 0x08 : 0), "T_DIR not the data direction");
  require((b[2] & 0x20) != 0, "CK_COND not set: the registers would be lost");
  for (int i = 0; i < 5; ++i) {
    require(b[4 + 2 * i] == r.CurrentTaskFile[i], "a current register not carried");
    require(b[3 + 2 * i] == (extend ? r.PreviousTaskFile[i] : 0),
            "a previous register not carried (or carried for a 28-bit command)");
  }
  require(b[13] == r.CurrentTaskFile[5] && b[14] == r.CurrentTaskFile[6],
          "Device or Command not carried");
}

// The drive number a kernel disk name stands for (bijective base 26: sda 0, sdz 25, sdaa 26).
std::optional<uint64_t> disk_number(const std::string& name) {
  if (name.size() < 3 || name.compare(0, 2, "sd") != 0) return std::nullopt;
  uint64_t n = 0;
  for (size_t i = 2; i < name.size(); ++i) {
    if (name[i] < 'a' || name[i] > 'z') return std::nullopt;
    n = n * 26 + static_cast<uint64_t>(name[i] - 'a' + 1);
  }
  return n - 1;
}

std::optional<uint32_t> physical_drive(const std::u16string& path) {
  const std::u16string prefix = u"\\\\.\\physicaldrive";
  if (path.size() <= prefix.size()) return std::nullopt;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char16_t c = path[i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != prefix[i]) return std::nullopt;
  }
  const std::u16string digits = path.substr(prefix.size());
  if (digits.size() > 9 || (digits.size() > 1 && digits[0] == u'0')) return std::nullopt;
  uint32_t n = 0;
  for (char16_t c : digits) {
    if (c < u'0' || c > u'9') return std::nullopt;
    n = n * 10 + static_cast<uint32_t>(c - u'0');
  }
  return n;
}

void check_device_path(Input& in) {
  const uint32_t index = in.u32();
  require(disk_number(sg::scsi_disk_name(index)) == index, "disk name not the kernel's");

  const std::vector<uint8_t> bytes = in.rest(256);
  std::u16string path =
      utf8_to_utf16(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  if (!path.empty() && path[0] == u'#') path = u"\\\\.\\PhysicalDrive" + path.substr(1);
  const std::string mapped = sg::linux_device_path(path);
  if (const auto n = physical_drive(path)) {
    require(mapped.compare(0, 5, "/dev/") == 0 && disk_number(mapped.substr(5)) == *n,
            "a physical-drive path not mapped to its disk");
  } else {
    require(mapped == utf16_to_utf8(path), "a Linux path not passed unchanged");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  switch (in.byte() % 4) {
    case 0:
      check_ata_outcome(in);
      break;
    case 1:
      check_lengths_and_status(in);
      break;
    case 2:
      check_command_block(in);
      break;
    default:
      check_device_path(in);
      break;
  }
  return 0;
}
