// The operator's stop signals on Linux, named once for everything that takes them or holds
// them back: the tool's interrupt handling, its device request, and the simulator's run
// control and state save.
#pragma once

#include <signal.h>

namespace stop_signals {

// SIGINT (Ctrl-C), SIGTERM (kill, a service manager) and SIGHUP (a closed terminal).
inline constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Takes the stop signals: the first only sets a flag, the second of any of them ends the
// process the default way, at once. A signal the process was started with ignored stays
// ignored.
void install();
// Whether a stop signal came since install.
bool received();

// Holds the stop signals back for one step that must not be cut or started twice (a command
// on its way to the drive, the write and rename of a save); one that comes meanwhile lands
// when the step is over.
class Held {
 public:
  Held();
  ~Held();
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

 private:
  sigset_t before_;
};

}  // namespace stop_signals
