// The console of the Linux backend: the standard streams as UTF-8, one write per batch the
// console module hands over. The simulator on Linux writes through it too.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/host.h"
#include "platform/text.h"

namespace {
// A stream whose reader went away (a pipe into `head`, a log collector or an ssh session that
// ended) is given up: the run goes on without it and finishes what the drive is doing.
bool g_given_up[2] = {false, false};
}  // namespace

void platform_console_write(ConsoleStream stream, std::string_view bytes) {
  // A write into a closed pipe would end the process with SIGPIPE in the middle of a
  // download; ignored, the write fails with EPIPE instead.
  static const bool kPipeSignalIgnored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;
  (void)kPipeSignalIgnored;
  bool& given_up = g_given_up[stream == ConsoleStream::Out ? 0 : 1];
  if (given_up) return;
  const int fd = stream == ConsoleStream::Out ? STDOUT_FILENO : STDERR_FILENO;
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      // A full non-blocking console loses this text only; anything else ends the stream.
      if (errno != EAGAIN && errno != EWOULDBLOCK) given_up = true;
      return;
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
