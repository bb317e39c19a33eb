#include "platform/linux/stop_signals.h"

namespace stop_signals {
namespace {

volatile sig_atomic_t g_received = 0;

void on_stop(int signal_number) {
  if (g_received != 0) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal_number, &fallback, nullptr);
    raise(signal_number);
    return;
  }
  g_received = 1;
}

sigset_t stop_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : kStopSignals) sigaddset(&set, s);
  return set;
}

}  // namespace

void install() {
  struct sigaction action {};
  action.sa_handler = on_stop;
  sigemptyset(&action.sa_mask);
  // Without SA_RESTART: a pause ends at the interrupt instead of sleeping on.
  action.sa_flags = 0;
  for (int s : kStopSignals) {
    // nohup's SIGHUP, the SIGINT of a job a shell started in the background.
    struct sigaction inherited {};
    if (sigaction(s, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) continue;
    sigaction(s, &action, nullptr);
  }
}

bool received() { return g_received != 0; }

Held::Held() {
  const sigset_t set = stop_set();
  sigprocmask(SIG_BLOCK, &set, &before_);
}

Held::~Held() { sigprocmask(SIG_SETMASK, &before_, nullptr); }

}  // namespace stop_signals
