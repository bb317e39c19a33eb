// quillmark-sim: the tool over the built-in simulated world, with real pauses and the real
// signals. When QUILLMARK_SIM_STATE names a file, the drives' firmware state is carried from
// run to run through it, and runs at the same time share their drive claims through it.
#include <cstdlib>
#include <string>

#include "app/entry.h"
#include "sim/builtin_world.h"
#include "sim/state_file.h"
#include "sim/world.h"

int main(int argc, char** argv) {
  sim::world().real_sleep = true;
  sim::world().real_signals = true;
  sim::world().keep_log = false;
  sim::install_builtin_world();
  const char* state = std::getenv("QUILLMARK_SIM_STATE");
  const std::string state_path = state != nullptr ? state : "";
  if (state_path.empty()) return quillmark_main(argc, argv);
  sim::begin_state_session(state_path);
  return sim::end_state_session(quillmark_main(argc, argv));
}
