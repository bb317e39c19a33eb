#include "platform/sat.h"

#include <algorithm>
#include <cstring>

#include "platform/ata.h"
#include "platform/wire.h"

namespace sat {
namespace {

// The registers the 12-byte form carries: the bits-7:0 bytes only. The 16-byte form carries
// all twelve in InputRegisters' own order, bytes 3 to 14.
constexpr RegisterByte<InputRegisters> kShortForm[] = {
    {3, &InputRegisters::features_7_0}, {4, &InputRegisters::count_7_0},
    {5, &InputRegisters::lba_7_0},      {6, &InputRegisters::lba_15_8},
    {7, &InputRegisters::lba_23_16},    {8, &InputRegisters::device},
    {9, &InputRegisters::command},
};

// The ATA Status Return descriptor, from its first byte.
constexpr RegisterByte<OutputRegisters> kStatusReturn[] = {
    {3, &OutputRegisters::error},     {4, &OutputRegisters::count_15_8},
    {5, &OutputRegisters::count},     {6, &OutputRegisters::lba_low_15_8},
    {7, &OutputRegisters::lba_low},   {8, &OutputRegisters::lba_mid_15_8},
    {9, &OutputRegisters::lba_mid},   {10, &OutputRegisters::lba_high_15_8},
    {11, &OutputRegisters::lba_high}, {12, &OutputRegisters::device},
    {13, &OutputRegisters::status},
};

// Fixed-format sense of an ATA PASS-THROUGH command: ERROR, STATUS, DEVICE and COUNT (7:0) in
// the INFORMATION field, LBA (7:0), (15:8), (23:16) in the COMMAND-SPECIFIC INFORMATION field
// after the EXTEND flags byte. No upper bytes.
constexpr RegisterByte<OutputRegisters> kFixedSense[] = {
    {3, &OutputRegisters::error},     {4, &OutputRegisters::status},
    {5, &OutputRegisters::device},    {6, &OutputRegisters::count},
    {9, &OutputRegisters::lba_low},   {10, &OutputRegisters::lba_mid},
    {11, &OutputRegisters::lba_high},
};

}  // namespace

void build_inquiry(const Inquiry& f, uint8_t* cdb) {
  cdb[0] = kOpInquiry;
  cdb[1] = f.evpd ? 0x01 : 0x00;
  cdb[2] = f.page;
  cdb[3] = static_cast<uint8_t>(f.allocation_length >> 8);
  cdb[4] = static_cast<uint8_t>(f.allocation_length);
  cdb[5] = 0;  // CONTROL
}

std::optional<Inquiry> parse_inquiry(const uint8_t* cdb, size_t length) {
  if (length < kInquiryCdbLength || cdb[0] != kOpInquiry) return std::nullopt;
  return Inquiry{(cdb[1] & 0x01) != 0, cdb[2], static_cast<uint16_t>(cdb[3] << 8 | cdb[4])};
}

uint8_t build_ata_passthrough(const PassThrough& f, uint8_t* cdb) {
  cdb[1] = static_cast<uint8_t>((f.multiple_count & 0x07) << 5 | (f.protocol & 0x0F) << 1 |
                                (f.extend ? 0x01 : 0x00));
  cdb[2] = static_cast<uint8_t>((f.off_line & 0x03) << 6 | (f.ck_cond ? 0x20 : 0x00) |
                                (f.t_type ? 0x10 : 0x00) | (f.t_dir_in ? 0x08 : 0x00) |
                                (f.byt_blok ? 0x04 : 0x00) | (f.t_length & 0x03));
  const InputRegisters& r = f.registers;
  if (f.long_form) {
    cdb[0] = kOpAtaPassThrough16;
    // The registers are kept in the block's own order: one run, bytes 3 to 14.
    std::memcpy(&cdb[3], &r, sizeof r);
    cdb[15] = 0;
    return 16;
  }
  cdb[0] = kOpAtaPassThrough12;
  put_registers(kShortForm, r, cdb);
  cdb[10] = 0;
  cdb[11] = 0;
  return 12;
}

bool parse_ata_passthrough(const uint8_t* cdb, size_t length, PassThrough& out) {
  if (length < 12) return false;
  const bool long_form = cdb[0] == kOpAtaPassThrough16;
  if (!long_form && cdb[0] != kOpAtaPassThrough12) return false;
  if (long_form && length < 16) return false;
  out = PassThrough{};
  out.long_form = long_form;
  out.multiple_count = static_cast<uint8_t>(cdb[1] >> 5);
  out.protocol = static_cast<uint8_t>((cdb[1] >> 1) & 0x0F);
  out.extend = long_form && (cdb[1] & 0x01) != 0;
  out.off_line = static_cast<uint8_t>(cdb[2] >> 6);
  out.ck_cond = (cdb[2] & 0x20) != 0;
  out.t_type = (cdb[2] & 0x10) != 0;
  out.t_dir_in = (cdb[2] & 0x08) != 0;
  out.byt_blok = (cdb[2] & 0x04) != 0;
  out.t_length = static_cast<uint8_t>(cdb[2] & 0x03);
  InputRegisters& r = out.registers;
  if (long_form) {
    std::memcpy(&r, &cdb[3], sizeof r);
    if (!out.extend) r.features_15_8 = r.count_15_8 = r.lba_31_24 = r.lba_39_32 = r.lba_47_40 = 0;
  } else {
    take_registers(kShortForm, cdb, r);
  }
  return true;
}

namespace {

constexpr uint8_t kAtaStatusReturnDescriptor = 0x09;

std::optional<OutputRegisters> decode_descriptor(std::span<const uint8_t> s) {
  const size_t end = std::min<size_t>(s.size(), 8 + static_cast<size_t>(s[7]));
  size_t i = 8;
  while (i + 2 <= end) {
    const size_t length = 2 + static_cast<size_t>(s[i + 1]);
    if (s[i] == kAtaStatusReturnDescriptor && s[i + 1] >= 0x0C && i + 14 <= end) {
      const uint8_t* d = s.data() + i;
      OutputRegisters r{};
      take_registers(kStatusReturn, d, r);
      if ((d[2] & 0x01) == 0) {  // no EXTEND: the upper bytes mean nothing
        r.count_15_8 = r.lba_low_15_8 = r.lba_mid_15_8 = r.lba_high_15_8 = 0;
      }
      return r;
    }
    i += length;
  }
  return std::nullopt;
}

uint8_t byte_or_zero(std::span<const uint8_t> s, size_t i, size_t end) {
  return i < end && i < s.size() ? s[i] : 0;
}

// Fixed-format sense carries the registers only where it says so, in one of two layouts:
//  - SAT's, announced by ASC/ASCQ 00/1D (ATA PASS-THROUGH INFORMATION AVAILABLE): ERROR,
//    STATUS, DEVICE and COUNT (7:0) in the INFORMATION field (bytes 3..6), the EXTEND flags
//    in byte 8 and LBA (7:0), (15:8), (23:16) in bytes 9..11;
//  - Linux libata up to 6.9 (Debian 12's 6.1 among them, with the default D_SENSE=0): the
//    same four registers eight bytes later, in bytes 8..11, the INFORMATION field left
//    zero, the additional length 10, and the flags and LBA bytes shifted to 16..19, past the
//    18 bytes that length claims. That kernel answers in fixed format only for a command
//    whose Status shows BSY, DF, DRQ or ERR (a clean one comes back as descriptor sense
//    whatever D_SENSE says), so such a Status in byte 9 is part of the layout.
// Any other fixed sense describes something else (a MEDIUM ERROR with the failing LBA in
// INFORMATION, a UNIT ATTENTION, ...) and carries no registers.
std::optional<OutputRegisters> decode_fixed(std::span<const uint8_t> s) {
  const size_t declared = std::min<size_t>(s.size(), 8 + static_cast<size_t>(s[7]));
  OutputRegisters r{};
  const bool ata_information = declared >= 14 && s[12] == 0x00 && s[13] == kAscqAtaInfoAvailable;
  if (ata_information) {
    take_registers(kFixedSense, s.data(), r);
    return r;
  }
  constexpr uint8_t kStatusUnfinished =
      kAtaStatusBsy | kAtaStatusDf | kAtaStatusDrq | kAtaStatusErr;
  const bool information_zero = (s[3] | s[4] | s[5] | s[6]) == 0;
  // The kernel's layout is read within what it wrote, since it writes past its own length.
  if (s[7] == 0x0A && information_zero && s.size() >= 12 && (s[9] & kStatusUnfinished) != 0) {
    r.error = s[8];
    r.status = s[9];
    r.device = s[10];
    r.count = s[11];
    r.lba_low = byte_or_zero(s, 17, s.size());
    r.lba_mid = byte_or_zero(s, 18, s.size());
    r.lba_high = byte_or_zero(s, 19, s.size());
    return r;
  }
  return std::nullopt;
}

}  // namespace

std::optional<OutputRegisters> decode_ata_registers(std::span<const uint8_t> sense) {
  if (sense.size() < 8) return std::nullopt;
  // Only current errors: a deferred error (0x71, 0x73) describes an earlier command.
  switch (sense[0] & 0x7F) {
    case 0x72:
      return decode_descriptor(sense);
    case 0x70:
      return decode_fixed(sense);
    default:
      return std::nullopt;
  }
}

SenseCode sense_code(std::span<const uint8_t> s) {
  SenseCode c{};
  if (s.empty()) return c;
  const uint8_t code = s[0] & 0x7F;
  if (code == 0x72 || code == 0x73) {
    if (s.size() > 1) c.key = s[1] & 0x0F;
    if (s.size() > 2) c.asc = s[2];
    if (s.size() > 3) c.ascq = s[3];
  } else if (code == 0x70 || code == 0x71) {
    if (s.size() > 2) c.key = s[2] & 0x0F;
    if (s.size() > 12) c.asc = s[12];
    if (s.size() > 13) c.ascq = s[13];
  }
  return c;
}

namespace {

// The error of a request that ended without the device's status: the host adapter or the
// driver gave up (timeout, lost device, reset). 0 when neither did.
uint32_t host_error(uint16_t host_status, uint16_t driver_status) {
  switch (host_status) {
    case 0x00:  // DID_OK
      break;
    case 0x01:  // DID_NO_CONNECT
    case 0x04:  // DID_BAD_TARGET
    case 0x0F:  // DID_TRANSPORT_FAILFAST
      return ERROR_DEVICE_NOT_CONNECTED;
    case 0x02:  // DID_BUS_BUSY
    case 0x0C:  // DID_IMM_RETRY
    case 0x0D:  // DID_REQUEUE
      return ERROR_BUSY;
    case 0x03:  // DID_TIME_OUT
      return ERROR_SEM_TIMEOUT;
    case 0x05:  // DID_ABORT
      return ERROR_OPERATION_ABORTED;
    default:  // parity, reset, transport disrupted, ...
      return ERROR_IO_DEVICE;
  }
  switch (driver_status & 0x0F) {
    case 0x00:  // DRIVER_OK
    case 0x08:  // DRIVER_SENSE: sense beside a status, which the status and sense judge
      return 0;
    case 0x01:  // DRIVER_BUSY
      return ERROR_BUSY;
    case 0x06:  // DRIVER_TIMEOUT
      return ERROR_SEM_TIMEOUT;
    default:
      return ERROR_IO_DEVICE;
  }
}

// A CHECK CONDITION, by its sense.
Verdict sense_verdict(const Outcome& o, bool registers_asked) {
  // Tells of an earlier command: this one failed, for a reason it does not give.
  if (o.deferred) return Verdict::DriveError;
  const SenseCode& c = o.code;
  // Registers mean the drive ran the command; their Status is its verdict.
  if (o.registers) {
    const bool clean = (o.registers->status & (kAtaStatusErr | kAtaStatusDf)) == 0;
    const bool report =
        c.key == kSenseRecoveredError && c.asc == 0 && c.ascq == kAscqAtaInfoAvailable;
    return registers_asked && clean && report ? Verdict::Success : Verdict::DriveError;
  }
  // The translator does not take the block; an invalid field in a block that asked for the
  // registers may be the CK_COND bit alone.
  if (c.key == kSenseIllegalRequest && (c.asc == kAscInvalidOpcode || c.asc == kAscInvalidField))
    return registers_asked && c.asc == kAscInvalidField && c.ascq == 0 ? Verdict::RefusedCkCond
                                                                       : Verdict::NotCarried;
  return Verdict::DriveError;
}

}  // namespace

Outcome judge_answer(const Answer& a, bool registers_asked) {
  Outcome o;
  if (a.call_failed) {
    o.error = a.os_error;
    return o;
  }
  // The host and the driver speak only where the device gave no status of its own: a request
  // that ended without one reads GOOD, and any other status means the device had the command.
  if (a.status == kStatusGood) o.error = host_error(a.host_status, a.driver_status);
  if (o.error != 0) return o;
  o.answered = true;
  const uint8_t response = a.sense.empty() ? 0 : a.sense[0] & 0x7F;
  o.deferred = response == 0x71 || response == 0x73;
  o.code = sense_code(a.sense);
  o.registers = decode_ata_registers(a.sense);
  switch (a.status) {
    case kStatusGood:
    case kStatusConditionMet:
      o.verdict = Verdict::Success;
      break;
    case kStatusCheckCondition:
      o.verdict = sense_verdict(o, registers_asked);
      // A block the translator does not take is, as Windows reports it, a request the driver
      // does not offer.
      if (o.verdict == Verdict::NotCarried || o.verdict == Verdict::RefusedCkCond)
        o.error = ERROR_INVALID_FUNCTION;
      break;
    default:
      // BUSY, RESERVATION CONFLICT, TASK SET FULL, ACA ACTIVE, TASK ABORTED...: the device did
      // not run the command, so it must not pass for done.
      o.verdict = Verdict::NotCarried;
      o.error =
          a.status == kStatusBusy || a.status == kStatusTaskSetFull ? ERROR_BUSY : ERROR_IO_DEVICE;
      break;
  }
  return o;
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

std::vector<uint8_t> ata_fixed_sense(uint8_t key, uint8_t asc, uint8_t ascq,
                                     const OutputRegisters& registers, bool extend) {
  std::vector<uint8_t> s = fixed_sense(key, asc, ascq);
  put_registers(kFixedSense, registers, s.data());
  // EXTEND; the upper-count and upper-LBA flags stay clear: this layout has no upper bytes.
  s[8] = extend ? 0x80 : 0x00;
  return s;
}

std::vector<uint8_t> ata_descriptor_sense(uint8_t key, uint8_t asc, uint8_t ascq,
                                          const OutputRegisters& registers, bool extend) {
  std::vector<uint8_t> s(8 + 14, 0);
  s[0] = 0x72;
  s[1] = key;
  s[2] = asc;
  s[3] = ascq;
  s[7] = 14;  // additional sense length: one descriptor
  uint8_t* d = &s[8];
  d[0] = kAtaStatusReturnDescriptor;
  d[1] = 0x0C;
  d[2] = extend ? 0x01 : 0x00;
  put_registers(kStatusReturn, registers, d);
  return s;
}

}  // namespace sat
