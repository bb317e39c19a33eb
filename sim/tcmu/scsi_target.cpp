#include "sim/tcmu/scsi_target.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/ata.h"
#include "platform/sat.h"
#include "sim/sat_bridge.h"

namespace tcmu {
namespace {

constexpr uint8_t kOpRequestSense = 0x03;
constexpr uint8_t kOpModeSense6 = 0x1A;
constexpr uint8_t kOpReadCapacity10 = 0x25;
constexpr uint8_t kOpRead10 = 0x28;
constexpr uint8_t kOpWrite10 = 0x2A;
constexpr uint8_t kOpSynchronizeCache10 = 0x35;
constexpr uint8_t kOpModeSense10 = 0x5A;
constexpr uint8_t kOpRead16 = 0x88;
constexpr uint8_t kOpWrite16 = 0x8A;
constexpr uint8_t kOpServiceActionIn16 = 0x9E;
constexpr uint8_t kSaReadCapacity16 = 0x10;

constexpr uint8_t kAscLbaOutOfRange = 0x21;
constexpr uint8_t kSenseUnitAttention = 0x06;
constexpr uint8_t kAscPowerOnOrReset = 0x29;

constexpr uint32_t kBlock = 512;
constexpr uint8_t kCachingPage = 0x08;
constexpr uint8_t kAllPages = 0x3F;

uint32_t get16(const uint8_t* p) { return static_cast<uint32_t>(p[0] << 8 | p[1]); }
uint32_t get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}
uint64_t get64(const uint8_t* p) { return static_cast<uint64_t>(get32(p)) << 32 | get32(p + 4); }
void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
void put64(uint8_t* p, uint64_t v) {
  put32(p, static_cast<uint32_t>(v >> 32));
  put32(p + 4, static_cast<uint32_t>(v));
}

Reply check_condition(uint8_t key, uint8_t asc) {
  Reply r;
  r.status = sat::kStatusCheckCondition;
  r.sense = sat::fixed_sense(key, asc, 0);
  return r;
}

Reply illegal_request(uint8_t asc) { return check_condition(sat::kSenseIllegalRequest, asc); }

// Hands `answer` to the caller, cut at the allocation length and at the buffer.
Reply deliver(const std::vector<uint8_t>& answer, uint32_t allocation, uint8_t* data,
              uint32_t length) {
  Reply r;
  r.data_in = std::min({allocation, length, static_cast<uint32_t>(answer.size())});
  if (r.data_in != 0) std::memcpy(data, answer.data(), r.data_in);
  return r;
}

void put_padded(std::vector<uint8_t>& d, const std::string& text, size_t width) {
  for (size_t i = 0; i < width; ++i) d.push_back(i < text.size() ? text[i] : ' ');
}

// Device identification: one T10 vendor ID designator, "ATA", the model and the serial, the
// way a SAT layer names an ATA drive.
std::vector<uint8_t> device_identification(const sim::Drive& drive) {
  std::vector<uint8_t> id;
  put_padded(id, "ATA", 8);
  put_padded(id, drive.model, 40);
  put_padded(id, drive.serial, 20);
  std::vector<uint8_t> d = {0x00, 0x83,
                            0x00, static_cast<uint8_t>(4 + id.size()),
                            0x02,  // ASCII
                            0x01,  // logical unit, T10 vendor ID
                            0x00, static_cast<uint8_t>(id.size())};
  d.insert(d.end(), id.begin(), id.end());
  return d;
}

// The standard data and the serial-number page come from the SAT bridge, as in quillmark-sim;
// the page list and device identification, which the sd probe and smartctl read, from here.
Reply inquiry(Target& t, const uint8_t* cdb, uint8_t* data, uint32_t length) {
  const bool evpd = (cdb[1] & 0x01) != 0;
  const uint32_t allocation = get16(cdb + 3);
  if (evpd && cdb[2] == 0x00)
    return deliver({0x00, 0x00, 0x00, 0x03, 0x00, 0x80, 0x83}, allocation, data, length);
  if (evpd && cdb[2] == 0x83)
    return deliver(device_identification(t.port.drive), allocation, data, length);
  ScsiPassThroughRequest req{};
  SCSI_PASS_THROUGH_DIRECT& h = req.sptd;
  h.Length = sizeof h;
  h.CdbLength = 6;
  std::memcpy(h.Cdb, cdb, 6);
  h.DataIn = SCSI_IOCTL_DATA_IN;
  h.DataTransferLength = length;
  h.DataBuffer = data;
  h.SenseInfoLength = sizeof req.sense;
  h.SenseInfoOffset = offsetof(ScsiPassThroughRequest, sense);
  sim::sat_execute(t.port, req);
  Reply r;
  r.status = h.ScsiStatus;
  r.sense.assign(req.sense, req.sense + h.SenseInfoLength);
  r.data_in = h.DataTransferLength;
  return r;
}

Reply read_capacity(const Target& t, bool long_form, const uint8_t* cdb, uint8_t* data,
                    uint32_t length) {
  const uint64_t last = t.medium.size() / kBlock - 1;
  if (!long_form) {
    std::vector<uint8_t> d(8);
    put32(&d[0], static_cast<uint32_t>(last));
    put32(&d[4], kBlock);
    return deliver(d, 8, data, length);
  }
  std::vector<uint8_t> d(32, 0);
  put64(&d[0], last);
  put32(&d[8], kBlock);
  return deliver(d, get32(cdb + 10), data, length);
}

// MODE SENSE knows the caching page alone: write cache off, nothing changeable, no block
// descriptors, never write-protected.
Reply mode_sense(bool ten, const uint8_t* cdb, uint8_t* data, uint32_t length) {
  const uint8_t page = cdb[2] & 0x3F;
  const uint8_t subpage = cdb[3];
  if ((page != kCachingPage && page != kAllPages) || (subpage != 0 && subpage != 0xFF))
    return illegal_request(sat::kAscInvalidField);
  std::vector<uint8_t> caching(20, 0);
  caching[0] = kCachingPage;
  caching[1] = static_cast<uint8_t>(caching.size() - 2);
  std::vector<uint8_t> d(ten ? 8 : 4, 0);
  d.insert(d.end(), caching.begin(), caching.end());
  if (ten) {
    d[1] = static_cast<uint8_t>(d.size() - 2);
    return deliver(d, get16(cdb + 7), data, length);
  }
  d[0] = static_cast<uint8_t>(d.size() - 1);
  return deliver(d, cdb[4], data, length);
}

Reply request_sense(const uint8_t* cdb, uint8_t* data, uint32_t length) {
  const bool descriptor = (cdb[1] & 0x01) != 0;
  std::vector<uint8_t> d = descriptor ? std::vector<uint8_t>{0x72, 0, 0, 0, 0, 0, 0, 0}
                                      : sat::fixed_sense(0, 0, 0);  // NO SENSE
  return deliver(d, cdb[4], data, length);
}

Reply read_write(Target& t, bool write, bool sixteen, const uint8_t* cdb, uint8_t* data,
                 uint32_t length) {
  const uint64_t lba = sixteen ? get64(cdb + 2) : get32(cdb + 2);
  const uint64_t blocks = sixteen ? get32(cdb + 10) : get16(cdb + 7);
  const uint64_t capacity = t.medium.size() / kBlock;
  if (lba > capacity || blocks > capacity - lba) return illegal_request(kAscLbaOutOfRange);
  const uint32_t bytes = static_cast<uint32_t>(std::min<uint64_t>(blocks * kBlock, length));
  uint8_t* at = t.medium.data() + lba * kBlock;
  Reply r;
  if (bytes == 0) return r;
  if (write) {
    std::memcpy(at, data, bytes);
  } else {
    std::memcpy(data, at, bytes);
    r.data_in = bytes;
  }
  return r;
}

Reply ata_passthrough(Target& t, const uint8_t* cdb, size_t cdb_length, uint8_t* data,
                      uint32_t length) {
  sat::PassThrough pt;
  if (!sat::parse_ata_passthrough(cdb, cdb_length, pt))
    return illegal_request(sat::kAscInvalidField);
  Reply r;
  if (pt.registers.command == kAtaDownloadMicrocode) {
    ++t.download_arrivals;
    if (pt.registers.features_7_0 == kAtaDmSegmented) {
      ++t.segmented_arrivals;
      if (pt.ck_cond) ++t.segmented_ck_cond;
    }
    if (t.faults.busy != 0) {
      if (t.faults.busy > 0) --t.faults.busy;
      r.status = sat::kStatusBusy;
      return r;
    }
    if (t.download_arrivals == 1) r.delay_seconds = t.faults.delay_seconds;
    if (pt.registers.features_7_0 == kAtaDmActivate && t.faults.reset_after_activate != 0)
      t.reset_pending = true;
  }
  ScsiPassThroughRequest req{};
  SCSI_PASS_THROUGH_DIRECT& h = req.sptd;
  h.Length = sizeof h;
  h.CdbLength = static_cast<uint8_t>(std::min(cdb_length, sizeof h.Cdb));
  std::memcpy(h.Cdb, cdb, h.CdbLength);
  // SAT's T_DIR says which way the data go; T_LENGTH 0 means there are none.
  if (pt.t_length != 0 && length != 0) {
    h.DataIn = pt.t_dir_in ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_OUT;
    h.DataTransferLength = length;
    h.DataBuffer = data;
  } else {
    h.DataIn = SCSI_IOCTL_DATA_UNSPECIFIED;
  }
  h.SenseInfoLength = sizeof req.sense;
  h.SenseInfoOffset = offsetof(ScsiPassThroughRequest, sense);
  sim::sat_execute(t.port, req);
  r.status = h.ScsiStatus;
  r.sense.assign(req.sense, req.sense + h.SenseInfoLength);
  if (h.DataIn == SCSI_IOCTL_DATA_IN) r.data_in = h.DataTransferLength;
  return r;
}

}  // namespace

bool returns_data(const uint8_t* cdb, size_t length) {
  switch (cdb[0]) {
    case kOpRequestSense:
    case sat::kOpInquiry:
    case kOpModeSense6:
    case kOpReadCapacity10:
    case kOpRead10:
    case kOpModeSense10:
    case kOpRead16:
      return true;
    case kOpServiceActionIn16:
      return (cdb[1] & 0x1F) == kSaReadCapacity16;
    case sat::kOpAtaPassThrough16:
    case sat::kOpAtaPassThrough12: {
      sat::PassThrough pt;
      return sat::parse_ata_passthrough(cdb, length, pt) && pt.t_length != 0 && pt.t_dir_in;
    }
    default:
      return false;
  }
}

bool carries_download_microcode(const uint8_t* cdb, size_t length) {
  sat::PassThrough pt;
  return sat::parse_ata_passthrough(cdb, length, pt) &&
         pt.registers.command == kAtaDownloadMicrocode;
}

Reply execute(Target& t, const uint8_t* cdb, size_t cdb_length, uint8_t* data, uint32_t length) {
  if (cdb_length < 6) return illegal_request(sat::kAscInvalidField);
  if (t.reset_pending) {
    t.reset_pending = false;
    t.attention_opcode = cdb[0];
    Reply r = check_condition(kSenseUnitAttention, kAscPowerOnOrReset);
    r.delay_seconds = t.faults.reset_after_activate;
    return r;
  }
  switch (cdb[0]) {
    case sat::kOpTestUnitReady:
    case kOpSynchronizeCache10:
      return Reply{};
    case kOpRequestSense:
      return request_sense(cdb, data, length);
    case sat::kOpInquiry:
      return inquiry(t, cdb, data, length);
    case kOpModeSense6:
      return mode_sense(false, cdb, data, length);
    case kOpModeSense10:
      return mode_sense(true, cdb, data, length);
    case kOpReadCapacity10:
      return read_capacity(t, false, cdb, data, length);
    case kOpServiceActionIn16:
      if ((cdb[1] & 0x1F) != kSaReadCapacity16) return illegal_request(sat::kAscInvalidField);
      return read_capacity(t, true, cdb, data, length);
    case kOpRead10:
    case kOpWrite10:
    case kOpRead16:
    case kOpWrite16:
      return read_write(t, cdb[0] == kOpWrite10 || cdb[0] == kOpWrite16,
                        cdb[0] == kOpRead16 || cdb[0] == kOpWrite16, cdb, data, length);
    case sat::kOpAtaPassThrough16:
    case sat::kOpAtaPassThrough12:
      return ata_passthrough(t, cdb, cdb_length, data, length);
    default:
      return illegal_request(sat::kAscInvalidOpcode);
  }
}

}  // namespace tcmu
