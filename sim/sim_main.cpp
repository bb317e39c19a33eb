// quillmark-sim: the tool over the built-in simulated world, with real pauses and the real
// signals. When QUILLMARK_SIM_STATE names a file, the drives' firmware state is carried from
// run to run through it, and runs at the same time share their drive claims through it. When
// QUILLMARK_SIM_DOWNLOAD_LOG names a file, the run appends one line to it ("<seconds since the
// epoch> <serial>") as a drive takes its first DOWNLOAD MICROCODE, so a rehearsed rollout can
// show when each download began.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/entry.h"
#include "platform/platform.h"
#include "sim/builtin_world.h"
#include "sim/drive.h"
#include "sim/state_file.h"
#include "sim/world.h"

namespace {

const char* download_log = nullptr;

void note_download(const sim::Drive& drive) {
  std::FILE* f = std::fopen(download_log, "a");
  if (f == nullptr) return;
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
  std::string fraction = std::to_string(us % 1000000);
  fraction.insert(0, 6 - fraction.size(), '0');
  const std::string line =
      std::to_string(us / 1000000) + "." + fraction + " " + drive.serial + "\n";
  std::fputs(line.c_str(), f);
  std::fclose(f);
}

// Before anything else of the program runs, the state file included: an early signal stops
// the run as a later one does, as in the tool.
__attribute__((constructor(101))) void take_the_signals_first() {
  sim::world().real_signals = true;
  platform_install_interrupt_handler();
}

}  // namespace

int main(int argc, char** argv) {
  sim::world().real_sleep = true;
  sim::world().keep_log = false;
  sim::install_builtin_world();
  const char* state = std::getenv("QUILLMARK_SIM_STATE");
  const std::string state_path = state != nullptr ? state : "";
  download_log = std::getenv("QUILLMARK_SIM_DOWNLOAD_LOG");
  if (download_log != nullptr && *download_log != '\0') sim::download_started = note_download;
  if (state_path.empty()) return quillmark_main(argc, argv);
  sim::begin_state_session(state_path);
  return sim::end_state_session(quillmark_main(argc, argv));
}
