// The device side of the Linux backend: drives through the SCSI generic interface (SG_IO on
// /dev/sdX or /dev/sgN), with Windows error codes in the last error.
#include <fcntl.h>
#include <scsi/scsi.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>

#include "platform/linux/mounts.h"
#include "platform/linux/sg_translate.h"
#include "platform/linux/stop_signals.h"
#include "platform/storage.h"
#include "platform/task_file.h"

namespace {

int fd_of(Handle handle) { return static_cast<int>(handle); }

bool valid(Handle handle) {
  if (handle < 0 || handle > INT32_MAX) {
    platform_set_last_error(ERROR_INVALID_HANDLE);
    return false;
  }
  return true;
}

bool fail_ioctl(int err) {
  platform_set_last_error(sg::windows_error_from_ioctl_errno(err));
  return false;
}

// One SG_IO request: the command block, the data and the sense area.
struct SgRequest {
  uint8_t* cdb;
  uint8_t cdb_length;
  int direction;  // SG_DXFER_*
  void* data;
  uint32_t length;
  uint8_t* sense;
  uint8_t sense_room;
  uint32_t timeout_seconds;
};

// Every request reaches the kernel here, and what comes back is judged by the one ladder of
// SCSI answers: a failed ioctl or a request the host adapter or the kernel gave up on is not
// carried (with the Windows error); otherwise `io` holds the SCSI status, the sense written
// and the residue for the caller.
sat::Outcome sg_io(Handle handle, const SgRequest& r, bool registers_asked, sg_io_hdr_t& io) {
  io = {};
  io.interface_id = 'S';
  io.dxfer_direction = r.direction;
  io.cmd_len = r.cdb_length;
  io.cmdp = r.cdb;
  io.mx_sb_len = r.sense_room;
  io.sbp = r.sense;
  if (r.direction != SG_DXFER_NONE) {
    io.dxfer_len = r.length;
    io.dxferp = r.data;
  }
  io.timeout = sg::timeout_ms_from_seconds(r.timeout_seconds);
  // The operator's interrupts are held back until the call returns. The sg driver gives up
  // waiting on a signal and the command goes on without its result, or the call is started
  // again and the drive gets the command twice; held back, the signal lands between commands.
  int rc = 0;
  int err = 0;
  {
    const stop_signals::Held held;
    rc = ioctl(fd_of(handle), SG_IO, &io);
    err = errno;
  }
  sat::Answer answer;
  answer.call_failed = rc != 0;
  if (rc != 0) answer.os_error = sg::windows_error_from_ioctl_errno(err);
  answer.host_status = io.host_status;
  answer.driver_status = io.driver_status;
  answer.status = io.status;
  answer.sense = std::span<const uint8_t>(r.sense, std::min<size_t>(io.sb_len_wr, r.sense_room));
  return sat::judge_answer(answer, registers_asked);
}

}  // namespace

Handle platform_open_drive(const std::u16string& path) {
  // Read/write for SG_IO. Not O_EXCL: the kernel refuses that on a disk whose partitions are
  // mounted, and the tool only talks to the drive. O_NONBLOCK so that an sg node held
  // exclusively by someone else fails with EBUSY instead of hanging, and a removable disk
  // without a medium still opens; SG_IO itself waits for completion either way.
  const std::string linux_path = sg::linux_device_path(path);
  const int fd = open(linux_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  // A directory, a regular file or a FIFO is no drive: say so (Windows' "incorrect
  // function", which the address query of a non-SCSI device gives too) rather than "access
  // denied" for a directory, or sending pass-through requests to a file.
  if (fd < 0 && errno == EISDIR) {
    platform_set_last_error(ERROR_INVALID_FUNCTION);
    return kInvalidHandle;
  }
  if (fd < 0) {
    platform_set_last_error(sg::windows_error_from_errno(errno));
    return kInvalidHandle;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !(S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode))) {
    close(fd);
    platform_set_last_error(ERROR_INVALID_FUNCTION);
    return kInvalidHandle;
  }
  return static_cast<Handle>(fd);
}

// Opening a node keeps no one else from the drive (the open is not O_EXCL).
bool platform_drive_address(const std::u16string& path, SCSI_ADDRESS* address) {
  return drive_address_through_open(path, address);
}

Handle platform_open_adapter(const std::u16string&) {
  // Linux has no CSMI driver interface: there is no adapter to open.
  platform_set_last_error(ERROR_FILE_NOT_FOUND);
  return kInvalidHandle;
}

bool platform_csmi_supported() { return false; }

bool platform_csmi_request(Handle, void*, uint32_t) {
  platform_set_last_error(ERROR_INVALID_FUNCTION);
  return false;
}

// The storage firmware API is a Windows driver interface: Linux carries firmware downloads by
// pass-through only.
bool platform_firmware_get_info(Handle, const STORAGE_HW_FIRMWARE_INFO_QUERY&, void*, uint32_t) {
  platform_set_last_error(ERROR_INVALID_FUNCTION);
  return false;
}

bool platform_firmware_download(Handle, const void*, uint32_t) {
  platform_set_last_error(ERROR_INVALID_FUNCTION);
  return false;
}

bool platform_firmware_activate(Handle, const STORAGE_HW_FIRMWARE_ACTIVATE&) {
  platform_set_last_error(ERROR_INVALID_FUNCTION);
  return false;
}

std::vector<std::string> platform_drive_in_use(Handle drive) {
  struct stat st {};
  if (!valid(drive) || fstat(fd_of(drive), &st) != 0) return {};
  if (!S_ISBLK(st.st_mode) && !S_ISCHR(st.st_mode)) return {};
  const std::vector<std::string> devices =
      mounts::disk_devices("/sys", S_ISBLK(st.st_mode), major(st.st_rdev), minor(st.st_rdev));
  if (devices.empty()) return {};
  std::ifstream in("/proc/self/mountinfo");
  const std::string table((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return mounts::mounted_from(table, devices);
}

bool platform_get_scsi_address(Handle handle, SCSI_ADDRESS* address) {
  if (!valid(handle)) return false;
  // A disk node (sd) is a block device and answers only the SCSI midlayer's query;
  // SG_GET_SCSI_ID belongs to the sg driver's character nodes. Both report the same host,
  // channel, target and lun.
  struct stat st {};
  const bool block = fstat(fd_of(handle), &st) == 0 && S_ISBLK(st.st_mode);
  if (!block) {
    sg_scsi_id id{};
    if (ioctl(fd_of(handle), SG_GET_SCSI_ID, &id) == 0) {
      address->Length = sizeof(SCSI_ADDRESS);
      address->PortNumber = static_cast<uint8_t>(id.host_no);
      address->PathId = static_cast<uint8_t>(id.channel);
      address->TargetId = static_cast<uint8_t>(id.scsi_id);
      address->Lun = static_cast<uint8_t>(id.lun);
      return true;
    }
    // Other character nodes of the SCSI midlayer (tapes, changers) know only the older query.
    const int sg_err = errno;
    if (sg_err != ENOTTY && sg_err != EINVAL) return fail_ioctl(sg_err);
  }
  int idlun[2] = {0, 0};
  if (ioctl(fd_of(handle), SCSI_IOCTL_GET_IDLUN, idlun) != 0) return fail_ioctl(errno);
  *address = sg::address_from_idlun(static_cast<uint32_t>(idlun[0]));
  return true;
}

bool platform_scsi_passthrough(Handle handle, ScsiPassThroughRequest* request) {
  if (!valid(handle)) return false;
  SCSI_PASS_THROUGH_DIRECT& h = request->sptd;
  if (h.CdbLength == 0 || h.CdbLength > sizeof h.Cdb || h.DataIn > SCSI_IOCTL_DATA_UNSPECIFIED) {
    platform_set_last_error(ERROR_INVALID_PARAMETER);
    return false;
  }
  // The sense area lies inside the request, where SenseInfoOffset says.
  uint8_t* const base = reinterpret_cast<uint8_t*>(request);
  uint32_t sense_room = 0;
  if (h.SenseInfoOffset >= sizeof(SCSI_PASS_THROUGH_DIRECT) &&
      h.SenseInfoOffset < sizeof(ScsiPassThroughRequest)) {
    sense_room = static_cast<uint32_t>(sizeof(ScsiPassThroughRequest)) - h.SenseInfoOffset;
  }
  const uint8_t sense_length =
      static_cast<uint8_t>(h.SenseInfoLength < sense_room ? h.SenseInfoLength : sense_room);

  uint8_t* const sense = sense_length > 0 ? base + h.SenseInfoOffset : nullptr;
  const int direction = sg::sg_direction_from_data_in(h.DataIn, h.DataTransferLength);
  sg_io_hdr_t io;
  // Whether the device answered is all that is judged here: its status and sense go back in
  // the request for the transport to judge, as a Windows driver hands them over.
  const sat::Outcome outcome = sg_io(handle,
                                     {h.Cdb, h.CdbLength, direction, h.DataBuffer,
                                      h.DataTransferLength, sense, sense_length, h.TimeOutValue},
                                     false, io);
  if (!outcome.answered) {
    platform_set_last_error(outcome.error);
    return false;
  }
  h.ScsiStatus = io.status;
  h.SenseInfoLength = io.sb_len_wr;
  h.DataTransferLength = io.dxfer_direction == SG_DXFER_NONE
                             ? 0
                             : sg::transferred_length(h.DataTransferLength, io.resid);
  return true;
}

bool platform_ata_passthrough(Handle handle, ATA_PASS_THROUGH_DIRECT* request,
                              uint32_t* bytes_returned) {
  if (!valid(handle)) return false;
  const auto cdb = sg::build_ata_passthrough16(*request);
  if (!cdb) {
    platform_set_last_error(ERROR_INVALID_PARAMETER);
    return false;
  }
  sg::AtaCdb block = *cdb;
  uint8_t sense[64] = {};
  sg_io_hdr_t io;
  // The block always sets CK_COND: the registers are what this request returns.
  const sg::AtaOutcome outcome = sg::ata_outcome(
      sg_io(handle,
            {block.bytes, sizeof block.bytes, block.direction, request->DataBuffer,
             request->DataTransferLength, sense, sizeof sense, request->TimeOutValue},
            true, io));
  if (!outcome.carried) {
    platform_set_last_error(outcome.error_code);
    return false;
  }
  // CK_COND makes every command end in CHECK CONDITION, but the data of a data-in command
  // are delivered all the same; resid tells how many, unless the command failed.
  task_file::encode_output(outcome.registers, *request);
  request->DataTransferLength =
      cdb->direction == SG_DXFER_NONE
          ? 0
          : sg::ata_transferred_length(request->DataTransferLength, io.resid, outcome.registers);
  if (bytes_returned) *bytes_returned = sizeof(ATA_PASS_THROUGH_DIRECT);
  return true;
}

bool platform_close(Handle handle) {
  if (!valid(handle)) return false;
  if (close(fd_of(handle)) != 0) {
    platform_set_last_error(sg::windows_error_from_errno(errno));
    return false;
  }
  return true;
}
