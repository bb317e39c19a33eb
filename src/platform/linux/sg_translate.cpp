#include "platform/linux/sg_translate.h"

#include <scsi/sg.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/ata.h"
#include "platform/task_file.h"
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
      return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ENOMEDIUM:
      return ERROR_NOT_READY;
    case EOPNOTSUPP:
      return ERROR_NOT_SUPPORTED;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ETIMEDOUT:
      return ERROR_SEM_TIMEOUT;
    case EBUSY:
    case EAGAIN:
      return ERROR_BUSY;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EINTR:
      return ERROR_OPERATION_ABORTED;
    case EFAULT:
      return ERROR_NOACCESS;
    case EIO:
      return ERROR_IO_DEVICE;
    case ENOTTY:
    case ENOSYS:
      return ERROR_INVALID_FUNCTION;
    default:
      return ERROR_GEN_FAILURE;
  }
}

uint32_t windows_error_from_ioctl_errno(int err) {
  switch (err) {
    case EINVAL:
      // The driver knows the request but will not carry this one (SG_IO: a transfer larger
      // than the queue takes, or a buffer whose pages exceed its segment limit). The device
      // may well take pass-through, so this must not read as "not supported".
      return ERROR_INVALID_PARAMETER;
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

std::optional<AtaCdb> build_ata_passthrough16(const ATA_PASS_THROUGH_DIRECT& request) {
  const bool in = (request.AtaFlags & ATA_FLAGS_DATA_IN) != 0;
  const bool out = (request.AtaFlags & ATA_FLAGS_DATA_OUT) != 0;
  if (in && out) return std::nullopt;
  const bool data = (in || out) && request.DataTransferLength > 0;
  const bool dma = (request.AtaFlags & ATA_FLAGS_USE_DMA) != 0;

  sat::PassThrough f;
  f.extend = (request.AtaFlags & ATA_FLAGS_48BIT_COMMAND) != 0;
  f.protocol = sat::kProtocolNonData;
  if (data)
    f.protocol = dma ? sat::kProtocolDma : (in ? sat::kProtocolPioIn : sat::kProtocolPioOut);
  // CK_COND always: without it a translator answers GOOD and the registers are lost. With
  // data, T_LENGTH names the Count field and BYT_BLOK counts 512-byte blocks.
  f.ck_cond = true;
  if (data) {
    f.t_length = sat::kTLengthInCount;
    f.byt_blok = true;
    f.t_dir_in = in;
  }
  f.registers = task_file::decode_input(request);

  AtaCdb cdb{};
  cdb.direction = !data ? SG_DXFER_NONE : (in ? SG_DXFER_FROM_DEV : SG_DXFER_TO_DEV);
  sat::build_ata_passthrough(f, cdb.bytes);
  return cdb;
}

AtaOutcome ata_outcome(const sat::Outcome& answer) {
  AtaOutcome o{};
  if (answer.verdict == sat::Verdict::NotCarried || answer.verdict == sat::Verdict::RefusedCkCond) {
    // Windows' ATA pass-through cannot do without CK_COND: a refused block is a request the
    // driver does not offer.
    o.carried = false;
    o.error_code = answer.error;
    return o;
  }
  o.carried = true;
  if (answer.registers) {
    o.registers = *answer.registers;
  } else if (answer.verdict == sat::Verdict::Success) {
    // A translator that ignores CK_COND: the command completed without error.
    o.registers.status = kAtaStatusReady;
  } else {
    // Failed without telling how (ABORTED COMMAND and the like): report the drive's abort
    // (ERR, ABRT).
    o.registers.status = kAtaStatusAborted;
    o.registers.error = kAtaErrorAbort;
  }
  return o;
}

uint32_t transferred_length(uint32_t requested, int32_t resid) {
  if (resid <= 0) return requested;
  if (static_cast<uint32_t>(resid) >= requested) return 0;
  return requested - static_cast<uint32_t>(resid);
}

uint32_t ata_transferred_length(uint32_t requested, int32_t resid,
                                const OutputRegisters& registers) {
  if (registers.status & (kAtaStatusErr | kAtaStatusDf)) return 0;
  return transferred_length(requested, resid);
}

}  // namespace sg
