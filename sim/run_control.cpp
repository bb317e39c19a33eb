// The simulated platform's drive claims and interruption. In tests both are programmed in the
// world; quillmark-sim shares its claims with other processes through byte-range locks on one
// file beside the state file (one byte per drive) and takes the real signals.
#include <csignal>
#include <string>

#include "platform/platform.h"
#include "sim/world.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#endif

namespace {

volatile std::sig_atomic_t g_signalled = 0;

#ifndef _WIN32
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void on_interrupt(int signal_number) {
  if (g_signalled != 0) {
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
    return;
  }
  g_signalled = 1;
}

// The byte that stands for a key in the claim file: past byte 0, which is the state file's.
off_t key_offset(std::string_view key) {
  uint32_t hash = 2166136261u;  // FNV-1a
  for (char c : key) hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
  return 1 + static_cast<off_t>(hash & 0x3FFFFFFF);
}

bool lock_byte(int fd, off_t offset, short type) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = offset;
  range.l_len = 1;
  return fcntl(fd, F_SETLK, &range) == 0;
}

// A claim through the claim file, waiting up to wait_ms for another process to let go.
DriveClaim claim_through_file(int fd, std::string_view key, uint32_t wait_ms) {
  DriveClaim c;
  const off_t offset = key_offset(key);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  while (!lock_byte(fd, offset, F_WRLCK)) {
    if (errno != EACCES && errno != EAGAIN) {
      c.reason = std::strerror(errno);
      return c;
    }
    if (std::chrono::steady_clock::now() >= deadline || platform_interrupted()) {
      struct flock holder {};
      holder.l_type = F_WRLCK;
      holder.l_whence = SEEK_SET;
      holder.l_start = offset;
      holder.l_len = 1;
      c.outcome = ClaimOutcome::Busy;
      if (fcntl(fd, F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK)
        c.holder_pid = static_cast<uint32_t>(holder.l_pid);
      return c;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  c.outcome = ClaimOutcome::Claimed;
  return c;
}
#endif

}  // namespace

DriveClaim platform_claim_drive(std::string_view key, uint32_t wait_ms) {
  auto& w = sim::world();
  DriveClaim c;
  const auto elsewhere = w.claims_elsewhere.find(std::string(key));
  if (elsewhere != w.claims_elsewhere.end()) {
    c.outcome = ClaimOutcome::Busy;
    c.holder_pid = elsewhere->second;
    return c;
  }
  if (!w.claims_unavailable.empty()) {
    c.reason = w.claims_unavailable;
  } else {
    for (const sim::World::Claim& held : w.claims) {
      // This run holds it already: a claim that was never let go.
      if (held.held && held.key == key) {
        c.outcome = ClaimOutcome::Busy;
        return c;
      }
    }
#ifndef _WIN32
    if (w.claim_file >= 0) {
      c = claim_through_file(w.claim_file, key, wait_ms);
      if (c.outcome == ClaimOutcome::Busy) return c;
    } else {
      c.outcome = ClaimOutcome::Claimed;
    }
#else
    (void)wait_ms;
    c.outcome = ClaimOutcome::Claimed;
#endif
    if (c.outcome == ClaimOutcome::Claimed) {
      w.claims.push_back({std::string(key)});
      c.handle = sim::kClaimHandleBase + static_cast<Handle>(w.claims.size() - 1);
    }
  }
  // The run goes on with this drive: from here on it may look at the drives' state.
  if (w.on_claim) w.on_claim();
  return c;
}

void platform_release_drive(Handle claim) {
  auto& w = sim::world();
  const std::intptr_t index = claim - sim::kClaimHandleBase;
  if (index < 0 || index >= static_cast<std::intptr_t>(w.claims.size())) return;
  sim::World::Claim& c = w.claims[static_cast<size_t>(index)];
#ifndef _WIN32
  if (w.claim_file >= 0 && c.held) lock_byte(w.claim_file, key_offset(c.key), F_UNLCK);
#endif
  c.held = false;
}

void platform_install_interrupt_handler() {
#ifndef _WIN32
  if (!sim::world().real_signals) return;
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  for (int s : kSignals) {
    // As the tool does: a signal the process was started with ignored stays ignored.
    struct sigaction inherited {};
    if (sigaction(s, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) continue;
    sigaction(s, &action, nullptr);
  }
#endif
}

bool platform_interrupted() { return sim::world().interrupted || g_signalled != 0; }
