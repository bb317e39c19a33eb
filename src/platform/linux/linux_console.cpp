// The console of the Linux backend: the standard streams as UTF-8, one write per batch the
// console module hands over. The simulator on Linux writes through it too.
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/host.h"
#include "platform/text.h"

void platform_console_write(ConsoleStream stream, std::string_view bytes) {
  const int fd = stream == ConsoleStream::Out ? STDOUT_FILENO : STDERR_FILENO;
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // a closed or full console loses the text, as on Windows
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

void platform_console_write_wide(ConsoleStream stream, std::u16string_view text) {
  platform_console_write(stream, utf16_to_utf8(text));
}

std::string_view platform_console_hline(ConsoleStream) { return "\xE2\x94\x80"; }  // U+2500

uint64_t platform_console_clock_ms() {
  // The coarse clock costs a fraction of the precise one and ticks at least every few ms.
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}
