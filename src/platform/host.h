// What the tool asks of the host it runs on: the process (arguments, sleep, the last error),
// the firmware image file and the console. The real backends implement it; the simulator
// implements what it plays itself (arguments, sleep, last error, image files) and shares
// the rest with the host where it can.
//
// A failed call leaves its error code in the calling thread's last error
// (platform_get_last_error), with the Windows numbering on every platform.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
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

// Whether the process already runs with administrator rights (root on Linux, an elevated
// token on Windows): a refusal then is the system's policy, not a want of rights.
bool platform_running_as_administrator();

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

// --- Hashing --------------------------------------------------------------------------------

// The SHA-256 digest of `size` bytes, from the system's own implementation (nettle on Linux,
// CNG on Windows). False when the system cannot compute it; `digest` is then unspecified.
bool platform_sha256(const void* data, size_t size, uint8_t (&digest)[32]);

// --- The system log -------------------------------------------------------------------------

// The fields of one record, in order: key, value.
using LogFields = std::vector<std::pair<std::string, std::string>>;
// Writes one record of a change made to a drive to the system's own log: syslog (ident
// "quillmark") on Linux, the Application event log (source "Quillmark") on Windows, an
// information record for a success and an error record otherwise. False when the log cannot
// be reached; the run does not depend on it.
bool platform_system_log(bool success, const LogFields& fields);

// The name of the user the process runs for (with the user who asked for the rights, where
// the system tells), or empty when the system does not say.
std::string platform_user_name();

// --- Console backend (used by platform/console.cpp only) ------------------------------------

enum class ConsoleStream { Out, Err };
// Writes bytes as they are (narrow text, UTF-8 on Linux).
void platform_console_write(ConsoleStream stream, std::string_view bytes);
// Writes wide text: UTF-16 through WriteConsoleW on a Windows console, else UTF-8 (lone
// surrogates U+DC80..U+DCFF back to the bytes they stand for).
void platform_console_write_wide(ConsoleStream stream, std::u16string_view text);
// The spinner's horizontal line as the stream that carries it shows it: the byte 0xC4 on a
// Windows console (code page 437), U+2500 in UTF-8 elsewhere.
std::string_view platform_console_hline(ConsoleStream stream = ConsoleStream::Out);
// Milliseconds on a steady clock, for deciding when held-back text is due. Read for every
// line the console takes, so it must be cheap; a resolution of a few milliseconds will do.
uint64_t platform_console_clock_ms();
// --- Interruption ---------------------------------------------------------------------------
// The operator's interrupt (SIGINT, SIGTERM, SIGHUP; on Windows Ctrl-C, Ctrl-Break and the
// console's close event) asks the run to stop: the first one only sets a flag that the logic
// reads between commands, so a command in flight always completes, and it cuts a pause short;
// a second one ends the process at once.
void platform_install_interrupt_handler();
bool platform_interrupted();
