#include "sim/sat_bridge.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "sim/world.h"

namespace sim {
namespace {

constexpr uint8_t kOpTestUnitReady = 0x00;
constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kOpAtaPassThrough16 = 0x85;
constexpr uint8_t kOpAtaPassThrough12 = 0xA1;

constexpr uint8_t kAscInvalidOpcode = 0x20;
constexpr uint8_t kAscInvalidField = 0x24;
constexpr uint8_t kAscqAtaInfoAvailable = 0x1D;  // with ASC 0x00

// SAT protocol field values.
constexpr uint8_t kProtoNonData = 3;
constexpr uint8_t kProtoPioIn = 4;
constexpr uint8_t kProtoPioOut = 5;
constexpr uint8_t kProtoDma = 6;
constexpr uint8_t kProtoUdmaIn = 10;
constexpr uint8_t kProtoUdmaOut = 11;
constexpr uint8_t kProtoFpdma = 12;

struct Outcome {
  uint8_t status = kScsiGood;
  std::vector<uint8_t> sense;
  uint32_t moved = 0;
};

Outcome check_condition(std::vector<uint8_t> sense) {
  Outcome o;
  o.status = kScsiCheckCondition;
  o.sense = std::move(sense);
  return o;
}

Outcome illegal_request(uint8_t asc) {
  return check_condition(fixed_sense(kSenseIllegalRequest, asc, 0));
}

void put_text(std::vector<uint8_t>& d, size_t at, size_t width, const std::string& text) {
  for (size_t i = 0; i < width; ++i)
    d[at + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
}

std::vector<uint8_t> standard_inquiry(const Drive& drive) {
  std::vector<uint8_t> d(36, 0);
  d[0] = 0x00;  // direct-access block device
  d[2] = 0x05;  // SPC-3
  d[3] = 0x02;  // response data format
  d[4] = static_cast<uint8_t>(d.size() - 5);
  put_text(d, 8, 8, "ATA");
  put_text(d, 16, 16, drive.model);
  put_text(d, 32, 4, drive.firmware);
  return d;
}

std::vector<uint8_t> vpd_page(const Drive& drive, uint8_t page) {
  if (page == 0x00) return {0x00, 0x00, 0x00, 0x02, 0x00, 0x80};
  if (page == 0x80) {
    std::vector<uint8_t> d(4 + 20, 0);
    d[1] = 0x80;
    d[3] = 20;
    put_text(d, 4, 20, drive.serial);
    return d;
  }
  return {};
}

Outcome inquiry(const Port& port, const ScsiPassThroughRequest& req) {
  const SCSI_PASS_THROUGH_DIRECT& h = req.sptd;
  if (h.CdbLength < 6) return illegal_request(kAscInvalidField);
  const bool evpd = (h.Cdb[1] & 0x01) != 0;
  const uint8_t page = h.Cdb[2];
  const uint32_t allocation = static_cast<uint32_t>(h.Cdb[3] << 8 | h.Cdb[4]);
  if (!evpd && page != 0) return illegal_request(kAscInvalidField);
  const std::vector<uint8_t> data =
      evpd ? vpd_page(port.drive, page) : standard_inquiry(port.drive);
  if (data.empty()) return illegal_request(kAscInvalidField);
  Outcome o;
  if (h.DataIn == SCSI_IOCTL_DATA_IN && h.DataBuffer != nullptr) {
    o.moved =
        std::min<uint32_t>({allocation, h.DataTransferLength, static_cast<uint32_t>(data.size())});
    std::memcpy(h.DataBuffer, data.data(), o.moved);
  }
  return o;
}

// Which way the data of an ATA PASS-THROUGH go; false for a protocol this bridge refuses.
bool protocol_direction(const SatPassThrough& pt, DataDir& dir) {
  switch (pt.protocol) {
    case kProtoNonData:
      dir = DataDir::None;
      return true;
    case kProtoPioIn:
    case kProtoUdmaIn:
      dir = DataDir::In;
      return true;
    case kProtoPioOut:
    case kProtoUdmaOut:
      dir = DataDir::Out;
      return true;
    case kProtoDma:
    case kProtoFpdma:
      dir = pt.t_dir_in ? DataDir::In : DataDir::Out;
      return true;
    default:  // resets, DEVICE DIAGNOSTIC, RETURN RESPONSE INFORMATION, ...
      return false;
  }
}

Outcome ata_passthrough(Port& port, const ScsiPassThroughRequest& req) {
  const SCSI_PASS_THROUGH_DIRECT& h = req.sptd;
  SatPassThrough pt;
  if (!decode_ata_passthrough(h.Cdb, h.CdbLength, pt)) return illegal_request(kAscInvalidField);

  const PortFaults& f = port.faults;
  if (f.scsi_status >= 0 &&
      (f.scsi_status_command == 0 || f.scsi_status_command == pt.taskfile.command)) {
    Outcome o;
    o.status = static_cast<uint8_t>(f.scsi_status);
    o.sense = f.sense;
    return o;
  }

  DataDir dir = DataDir::None;
  if (!protocol_direction(pt, dir)) return illegal_request(kAscInvalidField);

  // Like libata and the Windows translator, the transfer is as long as the request's data
  // buffer; T_LENGTH only says whether there is one.
  uint32_t length = 0;
  uint8_t* buffer = static_cast<uint8_t*>(h.DataBuffer);
  const bool buffer_fits = (dir == DataDir::In && h.DataIn == SCSI_IOCTL_DATA_IN) ||
                           (dir == DataDir::Out && h.DataIn == SCSI_IOCTL_DATA_OUT);
  if (pt.t_length != 0 && buffer_fits && buffer != nullptr) length = h.DataTransferLength;
  if (length == 0) buffer = nullptr;

  const AtaOutput out = execute_ata(port.drive, pt.taskfile, dir, buffer, length);

  Outcome o;
  o.moved = std::min(out.bytes_transferred, length);
  const bool failed = (out.status & 0x21) != 0;  // ERR or DF
  // Descriptor format where CK_COND asks for the registers, unless the translator is one of
  // those that only ever answer in fixed format.
  const auto sense = pt.ck_cond && !f.fixed_sense ? ata_descriptor_sense : ata_fixed_sense;
  if (failed) {
    o.status = kScsiCheckCondition;
    o.sense = sense(kSenseAbortedCommand, 0, 0, out, pt.extend);
  } else if (pt.ck_cond) {
    o.status = kScsiCheckCondition;
    o.sense = sense(kSenseRecoveredError, 0, kAscqAtaInfoAvailable, out, pt.extend);
  }
  return o;
}

}  // namespace

bool decode_ata_passthrough(const uint8_t* cdb, size_t length, SatPassThrough& out) {
  if (length < 12) return false;
  const bool long_form = cdb[0] == kOpAtaPassThrough16;
  if (!long_form && cdb[0] != kOpAtaPassThrough12) return false;
  if (long_form && length < 16) return false;
  out = SatPassThrough{};
  out.multiple_count = static_cast<uint8_t>(cdb[1] >> 5);
  out.protocol = static_cast<uint8_t>((cdb[1] >> 1) & 0x0F);
  out.extend = long_form && (cdb[1] & 0x01) != 0;
  out.off_line = static_cast<uint8_t>(cdb[2] >> 6);
  out.ck_cond = (cdb[2] & 0x20) != 0;
  out.t_type = (cdb[2] & 0x10) != 0;
  out.t_dir_in = (cdb[2] & 0x08) != 0;
  out.byt_blok = (cdb[2] & 0x04) != 0;
  out.t_length = static_cast<uint8_t>(cdb[2] & 0x03);
  TaskFile& tf = out.taskfile;
  if (long_form) {
    tf.features_hi = cdb[3];
    tf.features = cdb[4];
    tf.count_hi = cdb[5];
    tf.count = cdb[6];
    tf.lba_low_hi = cdb[7];
    tf.lba_low = cdb[8];
    tf.lba_mid_hi = cdb[9];
    tf.lba_mid = cdb[10];
    tf.lba_high_hi = cdb[11];
    tf.lba_high = cdb[12];
    tf.device = cdb[13];
    tf.command = cdb[14];
    // Without EXTEND the upper bytes never reach the drive.
    if (!out.extend) {
      tf.features_hi = tf.count_hi = tf.lba_low_hi = tf.lba_mid_hi = tf.lba_high_hi = 0;
    }
  } else {
    tf.features = cdb[3];
    tf.count = cdb[4];
    tf.lba_low = cdb[5];
    tf.lba_mid = cdb[6];
    tf.lba_high = cdb[7];
    tf.device = cdb[8];
    tf.command = cdb[9];
  }
  tf.ext = out.extend;
  return true;
}

std::vector<uint8_t> fixed_sense(uint8_t key, uint8_t asc, uint8_t ascq) {
  std::vector<uint8_t> s(18, 0);
  s[0] = 0x70;
  s[2] = key;
  s[7] = 10;  // additional sense length
  s[12] = asc;
  s[13] = ascq;
  return s;
}

std::vector<uint8_t> ata_fixed_sense(uint8_t key, uint8_t asc, uint8_t ascq, const AtaOutput& regs,
                                     bool extend) {
  std::vector<uint8_t> s = fixed_sense(key, asc, ascq);
  s[3] = regs.error;
  s[4] = regs.status;
  s[5] = regs.device;
  s[6] = regs.count;
  // EXTEND; the upper-count and upper-LBA flags stay clear: the drive returns no upper bytes.
  s[8] = extend ? 0x80 : 0x00;
  s[9] = regs.lba_low;
  s[10] = regs.lba_mid;
  s[11] = regs.lba_high;
  return s;
}

std::vector<uint8_t> ata_descriptor_sense(uint8_t key, uint8_t asc, uint8_t ascq,
                                          const AtaOutput& regs, bool extend) {
  std::vector<uint8_t> s(8 + 14, 0);
  s[0] = 0x72;
  s[1] = key;
  s[2] = asc;
  s[3] = ascq;
  s[7] = 14;  // additional sense length: one descriptor
  uint8_t* d = &s[8];
  d[0] = 0x09;  // ATA Status Return
  d[1] = 0x0C;
  d[2] = extend ? 0x01 : 0x00;
  d[3] = regs.error;
  d[5] = regs.count;
  d[7] = regs.lba_low;
  d[9] = regs.lba_mid;
  d[11] = regs.lba_high;
  d[12] = regs.device;
  d[13] = regs.status;
  return s;
}

void sat_execute(Port& port, ScsiPassThroughRequest& request) {
  SCSI_PASS_THROUGH_DIRECT& h = request.sptd;
  Outcome o;
  switch (h.Cdb[0]) {
    case kOpTestUnitReady:
      break;
    case kOpInquiry:
      o = inquiry(port, request);
      break;
    case kOpAtaPassThrough16:
    case kOpAtaPassThrough12:
      o = ata_passthrough(port, request);
      break;
    default:
      o = illegal_request(kAscInvalidOpcode);
      break;
  }
  h.ScsiStatus = o.status;
  h.DataTransferLength = o.moved;
  // The sense area was checked to lie inside the request before the bridge saw it.
  const size_t sense_bytes = std::min<size_t>(o.sense.size(), h.SenseInfoLength);
  if (sense_bytes != 0)
    std::memcpy(reinterpret_cast<uint8_t*>(&request) + h.SenseInfoOffset, o.sense.data(),
                sense_bytes);
  h.SenseInfoLength = static_cast<uint8_t>(sense_bytes);
}

}  // namespace sim
