// The process side of the simulated platform: arguments, sleep, last error and, on Windows,
// the console. The image files are in files.cpp.
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/host.h"
#include "platform/text.h"
#include "sim/world.h"

bool platform_wide_args(int argc, char** argv, std::vector<std::u16string>& out) {
  auto& w = sim::world();
  if (w.args_fail) return false;
  out.clear();
  if (w.args) {
    out = *w.args;
    return true;
  }
  for (int i = 0; i < argc; ++i) out.push_back(utf8_to_utf16(argv[i]));
  return true;
}

// An interrupt ends a pause: one that came before it, or at its start, leaves 0 ms slept.
void platform_sleep_ms(uint32_t milliseconds) {
  auto& w = sim::world();
  if (++w.pauses == w.interrupt_at_pause) w.interrupted = true;
  const uint32_t slept = platform_interrupted() ? 0 : milliseconds;
  w.clock_ms += slept;
  sim::log_entry(sim::LogEntry::Kind::Sleep).value = slept;
  if (!w.real_sleep) return;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(slept);
  while (!platform_interrupted() && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

uint32_t platform_get_last_error() { return sim::world().last_error; }
bool platform_running_as_administrator() { return sim::world().administrator; }
void platform_set_last_error(uint32_t code) { sim::world().last_error = code; }

// --- Console ---------------------------------------------------------------------------
// On Linux the simulator writes through the Linux backend's console (linux_console.cpp).
// On Windows it writes its standard streams as UTF-8 through the C runtime, whatever they
// are connected to.

#ifdef _WIN32
void platform_console_write(ConsoleStream stream, std::string_view bytes) {
  std::FILE* f = stream == ConsoleStream::Out ? stdout : stderr;
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fflush(f);
}

void platform_console_write_wide(ConsoleStream stream, std::u16string_view text) {
  platform_console_write(stream, utf16_to_utf8(text));
}

std::string_view platform_console_hline() { return "\xE2\x94\x80"; }

uint64_t platform_console_clock_ms() { return GetTickCount64(); }
#endif
