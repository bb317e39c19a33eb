// Everything the tool asks of the operating system and of a CSMI adapter driver. Each
// executable links exactly one implementation: platform/linux, platform/windows or sim/.
//
// The calls follow the Windows model the logic was written against: a failed call leaves
// its error code in the calling thread's last error (platform_get_last_error), with the
// Windows numbering (ERROR_ACCESS_DENIED 5, ERROR_FILE_NOT_FOUND 2,
// ERROR_INVALID_FUNCTION 1, ...) on every platform.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wire.h"

// A device, adapter or file handle. 0 means "never opened"; kInvalidHandle is what a failed
// open returns (INVALID_HANDLE_VALUE on Windows).
using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// --- Process ---------------------------------------------------------------------------------

// The wide argument vector of the process. Windows ignores argc/argv and splits its own
// command line; Linux decodes argv from UTF-8 (a byte that is not valid UTF-8 becomes
// U+DC80..U+DCFF). Returns false when the vector cannot be obtained.
bool platform_wide_args(int argc, char** argv, std::vector<std::u16string>& out);

// Waits the given number of milliseconds.
void platform_sleep_ms(uint32_t milliseconds);

// The calling thread's last error code (Windows numbering).
uint32_t platform_get_last_error();
void platform_set_last_error(uint32_t code);

// --- Devices and adapters -------------------------------------------------------------------

// Opens a drive for reading and writing, existing devices only, not shared. Returns
// kInvalidHandle and sets the last error on failure.
Handle platform_open_drive(const std::u16string& path);

// Opens a CSMI adapter ("\\.\SCSIn:") for reading and writing, shared for both.
Handle platform_open_adapter(const std::u16string& path);

// The adapter path of a SCSI port: the prefix, the port and a colon. The port is text (as
// typed after "/C:") or a number written out in decimal.
inline constexpr std::u16string_view kAdapterPathPrefix = u"\\\\.\\SCSI";
inline std::u16string csmi_adapter_path(std::u16string_view port) {
  std::u16string path(kAdapterPathPrefix);
  path += port;
  path += u':';
  return path;
}
inline std::u16string csmi_adapter_path(uint32_t port) {
  const std::string digits = std::to_string(port);
  return csmi_adapter_path(std::u16string(digits.begin(), digits.end()));
}

// IOCTL_SCSI_GET_ADDRESS. False and the last error on failure.
bool platform_get_scsi_address(Handle handle, SCSI_ADDRESS* address);

// IOCTL_SCSI_PASS_THROUGH_DIRECT with the 312-byte request as input and output. The data
// buffer named in the header is read or filled in place. On return the header carries the
// SCSI status, DataTransferLength the bytes moved and SenseInfoLength the sense bytes
// returned. False and the last error when the request was not carried.
bool platform_scsi_passthrough(Handle handle, ScsiPassThroughRequest* request);

// IOCTL_ATA_PASS_THROUGH_DIRECT with the 48-byte structure as input and output. On return
// CurrentTaskFile holds the drive's output registers (Error, Count, LBA low, mid, high,
// Device, Status) and DataTransferLength the bytes moved; *bytes_returned receives the
// byte count the call reports. False and the last error when not carried.
bool platform_ata_passthrough(Handle handle, ATA_PASS_THROUGH_DIRECT* request,
                              uint32_t* bytes_returned);

// IOCTL_SCSI_MINIPORT carrying one CSMI request; the buffer (SRB_IO_CONTROL header and
// payload) is input and output with its full size. Returns the OS success flag; the last
// error holds the thread's error code afterwards.
bool platform_csmi_request(Handle handle, void* buffer, uint32_t size);

// CloseHandle. False and the last error on failure.
bool platform_close(Handle handle);

// --- The firmware image file ----------------------------------------------------------------

// Opens a regular file for reading as raw bytes, shared for reading and writing with other
// processes, without waiting on anything (a FIFO nobody writes to must not hold up a run
// with a drive already open). On failure returns kInvalidHandle and puts the operating
// system's description of the error into error_text; anything but a regular file (a
// directory, a FIFO or pipe, a device, a socket) is refused with the text of
// not_a_regular_file, saying what it is.
Handle platform_file_open(const std::u16string& path, std::string& error_text);
inline std::string not_a_regular_file(std::string_view what) {
  return "Not a regular file (" + std::string(what) + ")";
}
// The size in bytes, or -1 when it cannot be measured.
int64_t platform_file_size(Handle file);
// Reads up to size bytes from the current position; returns the count read (0 at the end
// or on an error).
int64_t platform_file_read(Handle file, void* buffer, int64_t size);
void platform_file_close(Handle file);

// --- Console backend (used by platform/console.cpp only) ------------------------------------

enum class ConsoleStream { Out, Err };
// Writes bytes as they are (narrow text, UTF-8 on Linux).
void platform_console_write(ConsoleStream stream, std::string_view bytes);
// Writes wide text: UTF-16 through WriteConsoleW on a Windows console, else UTF-8 (lone
// surrogates U+DC80..U+DCFF back to the bytes they stand for).
void platform_console_write_wide(ConsoleStream stream, std::u16string_view text);
// The spinner's horizontal line: the byte 0xC4 on a Windows console (code page 437),
// U+2500 in UTF-8 elsewhere.
std::string_view platform_console_hline();
// Milliseconds on a steady clock, for deciding when held-back text is due. Read for every
// line the console takes, so it must be cheap; a resolution of a few milliseconds will do.
uint64_t platform_console_clock_ms();

// --- One run per drive ----------------------------------------------------------------------
// Two runs that send commands to one drive at the same time interleave them; a claim keeps a
// second run off a drive that another run holds. The key names the drive itself (its SCSI
// address, or its adapter and SAS address), never the path typed, so that every path to one
// drive meets the same claim. Keys use the characters a-z, 0-9 and '-' only.

enum class ClaimOutcome {
  Claimed,      // held until platform_release_drive or the end of the process
  Busy,         // another process holds it (holder_pid: its id, 0 when unknown)
  Unavailable,  // no claim can be made here (reason: why); the caller goes on without one
};
struct DriveClaim {
  ClaimOutcome outcome = ClaimOutcome::Unavailable;
  Handle handle = kInvalidHandle;  // with Claimed: what platform_release_drive takes
  uint32_t holder_pid = 0;
  std::string reason;
};
// Claims the drive, waiting up to wait_ms milliseconds for another holder to let go (0: not
// at all). However the process ends, its claims end with it.
DriveClaim platform_claim_drive(std::string_view key, uint32_t wait_ms);
void platform_release_drive(Handle claim);

// --- Interruption ---------------------------------------------------------------------------
// The operator's interrupt (SIGINT, SIGTERM, SIGHUP; on Windows Ctrl-C, Ctrl-Break and the
// console's close event) asks the run to stop: the first one only sets a flag that the logic
// reads between commands, so a command in flight always completes, and it cuts a pause short;
// a second one ends the process at once.
void platform_install_interrupt_handler();
bool platform_interrupted();
