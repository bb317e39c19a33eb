// The simulated platform's drive claims and interruption. In tests both are programmed in the
// world; quillmark-sim shares its claims with other processes through byte-range locks on one
// file beside the state file (one byte per drive) and takes the real signals.
#include <chrono>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "sim/host.h"
#include "sim/world.h"

namespace {

// The byte that stands for a key in the claim file: past byte 0, which is the state file's.
int64_t key_offset(std::string_view key) {
  uint32_t hash = 2166136261u;  // FNV-1a
  for (char c : key) hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
  return 1 + static_cast<int64_t>(hash & 0x3FFFFFFF);
}

// A claim through the claim file, waiting up to wait_ms for another process to let go.
DriveClaim claim_through_file(int fd, std::string_view key, uint32_t wait_ms) {
  DriveClaim c;
  const int64_t offset = key_offset(key);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  while (true) {
    switch (sim::host::lock_byte(fd, offset, false, c.reason)) {
      case sim::host::Lock::Taken:
        c.outcome = ClaimOutcome::Claimed;
        return c;
      case sim::host::Lock::Failed:
        return c;
      case sim::host::Lock::Held:
        break;
    }
    if (std::chrono::steady_clock::now() >= deadline || platform_interrupted()) {
      c.outcome = ClaimOutcome::Busy;
      c.holder_pid = sim::host::byte_holder(fd, offset);
      return c;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// The drive's own claim, before the run may look at the drives' state.
DriveClaim claim_here(sim::World& w, std::string_view key, uint32_t wait_ms) {
  DriveClaim c;
  const auto elsewhere = w.claims_elsewhere.find(std::string(key));
  if (elsewhere != w.claims_elsewhere.end()) {
    c.outcome = ClaimOutcome::Busy;
    c.holder_pid = elsewhere->second;
    return c;
  }
  if (!w.claims_unavailable.empty()) {
    c.reason = w.claims_unavailable;
    return c;
  }
  for (const sim::World::Claim& held : w.claims) {
    // This run holds it already: a claim that was never let go.
    if (held.held && held.key == key) {
      c.outcome = ClaimOutcome::Busy;
      return c;
    }
  }
  if (w.claim_file >= 0)
    c = claim_through_file(w.claim_file, key, wait_ms);
  else
    c.outcome = ClaimOutcome::Claimed;
  if (c.outcome == ClaimOutcome::Claimed) {
    w.claims.push_back({std::string(key)});
    c.handle = sim::kClaimHandleBase + static_cast<Handle>(w.claims.size() - 1);
  }
  return c;
}

}  // namespace

DriveClaim platform_claim_drive(std::string_view key, uint32_t wait_ms) {
  auto& w = sim::world();
  DriveClaim c = claim_here(w, key, wait_ms);
  if (c.outcome == ClaimOutcome::Busy || !w.on_claim) return c;
  // The run goes on with this drive: from here on it may look at the drives' state, unless
  // another run keeps that past the wait, which leaves this drive as out of reach as its own
  // claim would.
  uint32_t holder = 0;
  if (w.on_claim(wait_ms, holder)) return c;
  if (c.outcome == ClaimOutcome::Claimed) platform_release_drive(c.handle);
  DriveClaim busy;
  busy.outcome = ClaimOutcome::Busy;
  busy.holder_pid = holder;
  return busy;
}

void platform_release_drive(Handle claim) {
  auto& w = sim::world();
  const std::intptr_t index = claim - sim::kClaimHandleBase;
  if (index < 0 || index >= static_cast<std::intptr_t>(w.claims.size())) return;
  sim::World::Claim& c = w.claims[static_cast<size_t>(index)];
  if (w.claim_file >= 0 && c.held) sim::host::unlock_byte(w.claim_file, key_offset(c.key));
  c.held = false;
}

void platform_install_interrupt_handler() {
  if (sim::world().real_signals) sim::host::install_stop_handlers();
}

bool platform_interrupted() { return sim::world().interrupted || sim::host::stop_signalled(); }
