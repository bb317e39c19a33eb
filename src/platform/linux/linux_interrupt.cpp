// The operator's interrupt on Linux: SIGINT, SIGTERM and SIGHUP. The first only sets a flag;
// the second of any of them ends the process the default way, at once.
#include <signal.h>

#include "platform/platform.h"

namespace {

volatile sig_atomic_t g_interrupted = 0;

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void on_interrupt(int signal_number) {
  if (g_interrupted != 0) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal_number, &fallback, nullptr);
    raise(signal_number);
    return;
  }
  g_interrupted = 1;
}

}  // namespace

void platform_install_interrupt_handler() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  // Without SA_RESTART: a pause ends at the interrupt instead of sleeping on.
  action.sa_flags = 0;
  for (int s : kSignals) {
    // A signal the process was started with ignored stays ignored: nohup's SIGHUP, the SIGINT
    // of a job a shell started in the background.
    struct sigaction inherited {};
    if (sigaction(s, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) continue;
    sigaction(s, &action, nullptr);
  }
}

bool platform_interrupted() { return g_interrupted != 0; }
