#include "platform/linux/sg_translate.h"

#include <scsi/sg.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/text.h"

namespace sg {

uint32_t windows_error_from_errno(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:  // CreateFileW on a directory is refused the same way
      return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case ENOMEDIUM:
      return kErrorNotReady;
    case EOPNOTSUPP:
      return kErrorNotSupported;
    case EINVAL:
      return kErrorInvalidParameter;
    case ETIMEDOUT:
      return kErrorSemTimeout;
    case EBUSY:
    case EAGAIN:
      return kErrorBusy;
    case ENAMETOOLONG:
      return kErrorFilenameTooLong;
    case EINTR:
      return kErrorOperationAborted;
    case EFAULT:
      return kErrorNoAccess;
    case EIO:
      return kErrorIoDevice;
    case ENOTTY:
    case ENOSYS:
      return ERROR_INVALID_FUNCTION;
    default:
      return kErrorGenFailure;
  }
}

uint32_t windows_error_from_ioctl_errno(int err) {
  switch (err) {
    case EINVAL:
      // The driver knows the request but will not carry this one (SG_IO: a transfer larger
      // than the queue takes, or a buffer whose pages exceed its segment limit). The device
      // may well take pass-through, so this must not read as "not supported".
      return kErrorInvalidParameter;
    case ENOTTY:
    case ENOSYS:
    case EOPNOTSUPP:
      return ERROR_INVALID_FUNCTION;
    default:
      return windows_error_from_errno(err);
  }
}

std::string scsi_disk_name(uint32_t index) {
  // Bijective base 26, as the kernel names sd disks: a..z, aa..zz, aaa...
  std::string letters;
  uint64_t n = static_cast<uint64_t>(index) + 1;
  while (n > 0) {
    --n;
    letters.insert(letters.begin(), static_cast<char>('a' + n % 26));
    n /= 26;
  }
  return "sd" + letters;
}

namespace {

char16_t ascii_lower(char16_t c) { return (c >= u'A' && c <= u'Z') ? c + (u'a' - u'A') : c; }

bool starts_with_ignoring_case(std::u16string_view text, std::u16string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (ascii_lower(text[i]) != ascii_lower(prefix[i])) return false;
  }
  return true;
}

// The drive number of "\\.\PhysicalDriveN", or nullopt for any other path. Windows knows
// "PhysicalDrive1" but not "PhysicalDrive01", so neither do we.
std::optional<uint32_t> physical_drive_number(std::u16string_view path) {
  constexpr std::u16string_view kPrefix = u"\\\\.\\PhysicalDrive";
  if (!starts_with_ignoring_case(path, kPrefix)) return std::nullopt;
  const std::u16string_view digits = path.substr(kPrefix.size());
  if (digits.empty() || digits.size() > 9) return std::nullopt;
  if (digits.size() > 1 && digits[0] == u'0') return std::nullopt;
  uint32_t n = 0;
  for (char16_t c : digits) {
    if (c < u'0' || c > u'9') return std::nullopt;
    n = n * 10 + static_cast<uint32_t>(c - u'0');
  }
  return n;
}

}  // namespace

std::string linux_device_path(std::u16string_view path) {
  if (const auto n = physical_drive_number(path)) return "/dev/" + scsi_disk_name(*n);
  return utf16_to_utf8(path);
}

SCSI_ADDRESS address_from_idlun(uint32_t dev_id) {
  SCSI_ADDRESS a{};
  a.Length = sizeof(SCSI_ADDRESS);
  a.TargetId = static_cast<uint8_t>(dev_id & 0xFF);
  a.Lun = static_cast<uint8_t>((dev_id >> 8) & 0xFF);
  a.PathId = static_cast<uint8_t>((dev_id >> 16) & 0xFF);
  a.PortNumber = static_cast<uint8_t>((dev_id >> 24) & 0xFF);
  return a;
}

int sg_direction_from_data_in(uint8_t data_in, uint32_t length) {
  if (length == 0) return SG_DXFER_NONE;
  switch (data_in) {
    case SCSI_IOCTL_DATA_IN:
      return SG_DXFER_FROM_DEV;
    case SCSI_IOCTL_DATA_OUT:
      return SG_DXFER_TO_DEV;
    default:
      return SG_DXFER_NONE;
  }
}

uint32_t timeout_ms_from_seconds(uint32_t seconds) {
  const uint64_t ms = static_cast<uint64_t>(seconds) * 1000;
  return ms > UINT_MAX ? UINT_MAX : static_cast<uint32_t>(ms);
}

uint32_t transport_error(uint8_t status, uint16_t host_status, uint16_t driver_status) {
  // A status byte from the device means the command reached it; that answer is judged by the
  // caller. Only a request that ended without one is turned into a failed call.
  if (status != kStatusGood) return 0;
  switch (host_status) {
    case 0x00:  // DID_OK
      break;
    case 0x01:  // DID_NO_CONNECT
    case 0x04:  // DID_BAD_TARGET
    case 0x0F:  // DID_TRANSPORT_FAILFAST
      return kErrorDeviceNotConnected;
    case 0x02:  // DID_BUS_BUSY
    case 0x0C:  // DID_IMM_RETRY
    case 0x0D:  // DID_REQUEUE
      return kErrorBusy;
    case 0x03:  // DID_TIME_OUT
      return kErrorSemTimeout;
    case 0x05:  // DID_ABORT
      return kErrorOperationAborted;
    default:  // parity, reset, transport disrupted, ...
      return kErrorIoDevice;
  }
  switch (driver_status & 0x0F) {
    case 0x00:  // DRIVER_OK
    case 0x08:  // DRIVER_SENSE: sense alongside a status, judged by the caller
      return 0;
    case 0x01:  // DRIVER_BUSY
      return kErrorBusy;
    case 0x06:  // DRIVER_TIMEOUT
      return kErrorSemTimeout;
    default:
      return kErrorIoDevice;
  }
}

std::optional<AtaCdb> build_ata_passthrough16(const ATA_PASS_THROUGH_DIRECT& request) {
  const bool in = (request.AtaFlags & ATA_FLAGS_DATA_IN) != 0;
  const bool out = (request.AtaFlags & ATA_FLAGS_DATA_OUT) != 0;
  if (in && out) return std::nullopt;
  const bool data = (in || out) && request.DataTransferLength > 0;
  const bool extend = (request.AtaFlags & ATA_FLAGS_48BIT_COMMAND) != 0;
  const bool dma = (request.AtaFlags & ATA_FLAGS_USE_DMA) != 0;

  // SAT PROTOCOL: 3 non-data, 4 PIO data-in, 5 PIO data-out, 6 DMA.
  uint8_t protocol = 3;
  if (data) protocol = dma ? 6 : (in ? 4 : 5);

  AtaCdb cdb{};
  cdb.direction = !data ? SG_DXFER_NONE : (in ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV);
  uint8_t* b = cdb.bytes;
  b[0] = 0x85;
  b[1] = static_cast<uint8_t>(protocol << 1 | (extend ? 1 : 0));
  // CK_COND always: without it a translator answers GOOD and the registers are lost. With
  // data, T_LENGTH names the Count field and BYT_BLOK counts 512-byte blocks.
  b[2] = 0x20;
  if (data) b[2] |= 0x04 | 0x02 | (in ? 0x08 : 0x00);
  const uint8_t* prev = request.PreviousTaskFile;
  const uint8_t* cur = request.CurrentTaskFile;
  for (int i = 0; i < 5; ++i) {
    b[3 + 2 * i] = extend ? prev[i] : 0;
    b[4 + 2 * i] = cur[i];
  }
  b[13] = cur[5];  // Device
  b[14] = cur[6];  // Command
  b[15] = 0;
  return cdb;
}

namespace {

constexpr uint8_t kSenseKeyIllegalRequest = 0x05;
constexpr uint8_t kAtaStatusReturnDescriptor = 0x09;

std::optional<AtaOutputRegisters> decode_descriptor(std::span<const uint8_t> s) {
  const size_t end = std::min<size_t>(s.size(), 8 + static_cast<size_t>(s[7]));
  size_t i = 8;
  while (i + 2 <= end) {
    const size_t length = 2 + static_cast<size_t>(s[i + 1]);
    if (s[i] == kAtaStatusReturnDescriptor && s[i + 1] >= 0x0C && i + 14 <= end) {
      const uint8_t* d = s.data() + i;
      AtaOutputRegisters r{};
      r.error = d[3];
      r.count_15_8 = d[4];
      r.count = d[5];
      r.lba_low_15_8 = d[6];
      r.lba_low = d[7];
      r.lba_mid_15_8 = d[8];
      r.lba_mid = d[9];
      r.lba_high_15_8 = d[10];
      r.lba_high = d[11];
      r.device = d[12];
      r.status = d[13];
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
std::optional<AtaOutputRegisters> decode_fixed(std::span<const uint8_t> s) {
  const size_t declared = std::min<size_t>(s.size(), 8 + static_cast<size_t>(s[7]));
  AtaOutputRegisters r{};
  const bool ata_information = declared >= 14 && s[12] == 0x00 && s[13] == 0x1D;
  if (ata_information) {
    r.error = s[3];
    r.status = s[4];
    r.device = s[5];
    r.count = s[6];
    r.lba_low = s[9];
    r.lba_mid = s[10];
    r.lba_high = s[11];
    return r;
  }
  constexpr uint8_t kStatusUnfinished = 0x80 | 0x20 | 0x08 | 0x01;  // BSY, DF, DRQ, ERR
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

std::optional<AtaOutputRegisters> decode_ata_registers(std::span<const uint8_t> sense) {
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

AtaOutcome ata_outcome(uint8_t scsi_status, std::span<const uint8_t> sense) {
  AtaOutcome o{};
  if (scsi_status != kStatusGood && scsi_status != kStatusConditionMet &&
      scsi_status != kStatusCheckCondition) {
    // BUSY, RESERVATION CONFLICT, TASK SET FULL, ...: the drive never ran the command.
    o.carried = false;
    o.error_code = (scsi_status == kStatusBusy || scsi_status == kStatusTaskSetFull)
                       ? kErrorBusy
                       : kErrorIoDevice;
    return o;
  }
  o.carried = true;
  if (const auto r = decode_ata_registers(sense)) {
    o.registers = *r;
    return o;
  }
  if (scsi_status != kStatusCheckCondition) {
    // A translator that ignores CK_COND: the command completed without error.
    o.registers.status = 0x50;
    return o;
  }
  const SenseCode c = sense_code(sense);
  if (c.key == kSenseKeyIllegalRequest && (c.asc == 0x20 || c.asc == 0x24)) {
    // The device or bridge does not take ATA PASS-THROUGH at all, which Windows reports as a
    // request the driver does not offer.
    o.carried = false;
    o.error_code = ERROR_INVALID_FUNCTION;
    return o;
  }
  // Failed without telling how (ABORTED COMMAND and the like): report the drive's abort
  // (ERR, ABRT).
  o.registers.status = 0x51;
  o.registers.error = 0x04;
  return o;
}

void store_ata_registers(const AtaOutputRegisters& r, ATA_PASS_THROUGH_DIRECT* request) {
  uint8_t* cur = request->CurrentTaskFile;
  cur[0] = r.error;
  cur[1] = r.count;
  cur[2] = r.lba_low;
  cur[3] = r.lba_mid;
  cur[4] = r.lba_high;
  cur[5] = r.device;
  cur[6] = r.status;
  cur[7] = 0;
  uint8_t* prev = request->PreviousTaskFile;
  prev[0] = 0;
  prev[1] = r.count_15_8;
  prev[2] = r.lba_low_15_8;
  prev[3] = r.lba_mid_15_8;
  prev[4] = r.lba_high_15_8;
  prev[5] = prev[6] = prev[7] = 0;
}

uint32_t transferred_length(uint32_t requested, int32_t resid) {
  if (resid <= 0) return requested;
  if (static_cast<uint32_t>(resid) >= requested) return 0;
  return requested - static_cast<uint32_t>(resid);
}

uint32_t ata_transferred_length(uint32_t requested, int32_t resid,
                                const AtaOutputRegisters& registers) {
  constexpr uint8_t kErr = 0x01;
  constexpr uint8_t kDeviceFault = 0x20;
  if (registers.status & (kErr | kDeviceFault)) return 0;
  return transferred_length(requested, resid);
}

}  // namespace sg
