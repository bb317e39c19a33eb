// The process side of the simulated platform: arguments, sleep and last error. The image
// files are in files.cpp, the console is the host's (sim/windows/console.cpp on Windows).
#include <chrono>
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
  if (w.on_pause) w.on_pause();
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
