// The one record through which every drive command goes, and the transport result codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/ata.h"
#include "platform/platform.h"

// The transport selector: its value is its bit in the flags word, whose low three bits the
// dispatch tests in this order.
enum class InterfaceKind : uint64_t {
  ScsiPassThrough = 0x01,
  AtaPassThrough = 0x02,
  CsmiStp = 0x04,
};

// The flags word's bit for an interface, and whether a flags word selects it.
constexpr uint64_t interface_flag(InterfaceKind kind) { return static_cast<uint64_t>(kind); }
constexpr bool has_interface(uint64_t flags, InterfaceKind kind) {
  return (flags & interface_flag(kind)) != 0;
}

// Run-option bits of the flags word.
inline constexpr uint64_t kFlagActivate = 0x10;      // "/a"
inline constexpr uint64_t kFlagDeviceInfo = 0x20;    // "/i"
inline constexpr uint64_t kFlagFirmwareFile = 0x40;  // "/D:"
inline constexpr uint64_t kFlagScan = 0x80;          // "--scan" (replaces the whole word)
inline constexpr uint64_t kFlagList = 0x100;         // "--list" (replaces the whole word)

// The fields below keep the 32-bit width the record gives them.
enum class DataDirection : uint32_t {
  None = 0,
  In = 1,   // drive to host
  Out = 2,  // host to drive
};

enum class RegisterSet : uint32_t {
  Lba28 = 1,
  Lba48 = 2,
};

enum class AtaProtocol : uint32_t {
  Pio = 1,
  NonData = 3,
};

// Pass-through options.
inline constexpr uint32_t kPassThrough16 = 0x01;  // ATA PASS-THROUGH (16), else (12)
inline constexpr uint32_t kPassThroughCkCond = 0x20;

// Records are cleared once per run and reused: a caller sets only what its command needs,
// every other field (registers included) keeps what the previous command left.
struct DeviceCommand {
  Handle handle;         // 0 before any open, kInvalidHandle after a failed one
  SCSI_ADDRESS address;  // PathId/TargetId/Lun go into every SCSI and ATA request
  DataDirection direction;
  void* data;              // caller's memory, not owned
  uint32_t data_length;    // bytes
  uint32_t timeout;        // seconds; see request_timeout
  int32_t verbosity;       // 0, 1 ("/v"), 2 ("/vv")
  uint64_t flags;          // InterfaceKind bits + run-option bits
  uint64_t l_switch;       // "/l"
  uint32_t last_os_error;  // after the most recent system call for this record
  RegisterSet register_set;
  AtaProtocol protocol;
  InputRegisters regs;  // in the order of bytes 3 to 14 of ATA PASS-THROUGH (16)
  uint32_t passthru_options;
  CSMI_SAS_PHY_ENTITY phy;  // the CSMI target's phy table entry
};

// The timeout, in seconds, of a SCSI or ATA pass-through request: the record's, or 5 when
// the record says 0. (The CSMI path passes 0 on unchanged.)
inline uint32_t request_timeout(const DeviceCommand& cmd) {
  constexpr uint32_t kWhenZero = 5;
  return cmd.timeout != 0 ? cmd.timeout : kWhenZero;
}

// One system call for the record: the thread's last error is cleared before it and stored in
// the record after it (also when the call succeeded), so that an earlier call's error is never
// taken for this one's. The open and the SCSI and ATA requests reach the system through it.
template <typename Call>
auto recorded_call(DeviceCommand& cmd, Call call) {
  platform_set_last_error(0);
  const auto result = call();
  cmd.last_os_error = platform_get_last_error();
  return result;
}

// Transport and open results. 1 is success everywhere; anything else is passed up unchanged.
inline constexpr int kResultSuccess = 1;
// OS call failed (or CSMI: refused, invalid handle, target not resolved).
inline constexpr int kResultNotCarried = 0;
inline constexpr int kResultNotSent = -1;       // CSMI: no request built
inline constexpr int kResultOpenFailed = 2;     // open_device
inline constexpr int kResultFileFailed = 4;     // download_firmware: image unusable
inline constexpr int kResultNotSupported = 9;   // ERROR_INVALID_FUNCTION
inline constexpr int kResultNoMemory = 10;      // download_firmware
inline constexpr int kResultDriveError = 11;    // the drive reported an error
inline constexpr int kResultInterfaceCrc = 13;  // ATA Error register 0x84
inline constexpr int kResultInterrupted = 14;   // the operator stopped the run

// A failed result in plain words, for the line that tells the user why a run failed; the
// system's code is named where it explains the result.
std::string result_text(int result, uint32_t os_error);

// Opens a drive for the SCSI and ATA paths and reads its SCSI address. 1 or 2.
int open_device(DeviceCommand& cmd, const std::u16string& path);
// Why open_device failed, in the system's terms as far as they help the user; opened: the
// drive opened but its SCSI address could not be read.
std::string open_failure_reason(uint32_t os_error, bool opened);

// The drive's output registers as a transport's answer carried them, through the codec of
// its wire: the ATA registers in the sense data, the returned task files, the status FIS.
// nullopt when the answer carried none (a SCSI answer with no registers in its sense, a
// status FIS of no register type).
using ReturnedRegisters = std::optional<OutputRegisters>;

// Sends the record's command through the transport its interface bits select. A caller that
// wants the drive's output registers passes `returned`, and asking is what brings them: the
// SCSI path sets CK_COND for it (and takes the clean report that comes back as success), the
// ATA and CSMI paths hand over what their answers carry.
int issue_command(DeviceCommand& cmd, ReturnedRegisters* returned = nullptr);

int issue_scsi_passthru(DeviceCommand& cmd, ReturnedRegisters* returned = nullptr);
// The parts of a SCSI pass-through request every sender shares: zero-filled, the header
// length, the drive's address, the sense area, the timeout (0 means 5 seconds) and the
// buffer length word. Command block, direction and data are the sender's.
void init_scsi_request(ScsiPassThroughRequest& request, const DeviceCommand& cmd);
// The one place a SCSI pass-through request reaches the system, through recorded_call: true
// when it was carried. Its status and sense are the caller's to judge.
bool send_scsi_request(DeviceCommand& cmd, ScsiPassThroughRequest& request);
// The request once more, as its first completion left it; the last error is neither cleared
// before nor read after, and the outcome is the caller's to ignore.
bool resend_scsi_request(const DeviceCommand& cmd, ScsiPassThroughRequest& request);
int issue_ata_passthru(DeviceCommand& cmd, ReturnedRegisters* returned = nullptr);
int issue_stp_passthru(DeviceCommand& cmd, ReturnedRegisters* returned = nullptr);

// The claim key of a drive on the SCSI and ATA paths: its SCSI address.
std::string claim_key(const SCSI_ADDRESS& address);
// The claim key of a drive behind a CSMI adapter: the adapter and the drive's attached SAS
// address, which both target forms lead to, or the phy when the adapter reports none.
std::string claim_key(std::u16string_view adapter_path, const CSMI_SAS_PHY_ENTITY& entry,
                      int32_t phy);
// Claims the drive under the key, waiting up to wait_ms for another run to let go. False when
// another run keeps it: one line names the drive (as the operator named it) and that run's
// process; false without a word when an interrupt came (the caller stops the run as at any
// interrupt). A claim that cannot be made at all is a warning line, and the run goes on. The
// outcome is copied to *outcome when one is given (the run report's claim).
bool claim_drive(const std::string& key, std::u16string_view name, uint32_t wait_ms, Handle& claim,
                 DriveClaim* outcome = nullptr);
// The line that says another run (process holder_pid, 0 when unknown) holds the drive.
std::string held_drive_line(std::u16string_view name, uint32_t holder_pid);
// Lets the claim go (nothing when none is held) and forgets it.
void release_drive(Handle& claim);
