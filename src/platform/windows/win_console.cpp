// The console over Win32. Narrow text goes out as bytes, so the console shows it in its
// code page; wide text goes to a console as UTF-16 (any script shows) and to a file or pipe
// as UTF-8.
#include <algorithm>

#include "platform/host.h"
#include "platform/text.h"

namespace {

HANDLE std_handle(ConsoleStream stream) {
  return GetStdHandle(stream == ConsoleStream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

bool usable(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

bool is_console(HANDLE h) {
  DWORD mode = 0;
  return usable(h) && GetConsoleMode(h, &mode) != FALSE;
}

// A console takes its text through a shared buffer of 64 KiB on older systems and refuses a
// larger write; the batches the console module hands over can come close to that.
constexpr size_t kConsolePiece = 16 * 1024;

// A stream that refused a write (a pipe whose reader went away: ERROR_NO_DATA or
// ERROR_BROKEN_PIPE) is given up: the run goes on without it and finishes what the drive is
// doing.
bool g_given_up[2] = {false, false};

bool& given_up(ConsoleStream stream) { return g_given_up[stream == ConsoleStream::Out ? 0 : 1]; }

void write_bytes(ConsoleStream stream, HANDLE h, std::string_view bytes, size_t piece) {
  while (!bytes.empty()) {
    DWORD written = 0;
    const DWORD want = static_cast<DWORD>(std::min(bytes.size(), piece));
    if (!WriteFile(h, bytes.data(), want, &written, nullptr) || written == 0) {
      given_up(stream) = true;
      return;
    }
    bytes.remove_prefix(written);
  }
}

void write_console_wide(HANDLE h, std::u16string_view text) {
  // Pieces never split a surrogate pair.
  constexpr size_t kPiece = kConsolePiece / sizeof(char16_t);
  while (!text.empty()) {
    size_t n = std::min(text.size(), kPiece);
    if (n < text.size() && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
    DWORD written = 0;
    if (!WriteConsoleW(h, text.data(), static_cast<DWORD>(n), &written, nullptr) || written == 0)
      return;
    text.remove_prefix(written);
  }
}

}  // namespace

void platform_console_write(ConsoleStream stream, std::string_view bytes) {
  const HANDLE h = std_handle(stream);
  if (usable(h) && !given_up(stream))
    write_bytes(stream, h, bytes, is_console(h) ? kConsolePiece : size_t{1} << 20);
}

void platform_console_write_wide(ConsoleStream stream, std::u16string_view text) {
  const HANDLE h = std_handle(stream);
  if (!usable(h) || given_up(stream)) return;
  if (is_console(h))
    write_console_wide(h, text);
  else
    write_bytes(stream, h, utf16_to_utf8(text), size_t{1} << 20);
}

std::string_view platform_console_hline(ConsoleStream stream) {
  // A console shows narrow bytes in its OEM code page, where 0xC4 is the line; redirected
  // output is read as UTF-8.
  if (is_console(std_handle(stream))) return "\xC4";
  return "\xE2\x94\x80";
}

uint64_t platform_console_clock_ms() { return GetTickCount64(); }
