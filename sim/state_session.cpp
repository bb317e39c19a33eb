// quillmark-sim's state file across one run: locked, read once the lock is held, saved at
// every change of a drive's firmware state (as a real drive keeps what it took the moment it
// takes it), so that neither a second run at the same time nor an interrupt loses a result.
#include <chrono>
#include <string>
#include <thread>

#include "platform/console.h"
#include "platform/platform.h"
#include "sim/host.h"
#include "sim/state_file.h"
#include "sim/world.h"

namespace sim {
namespace {

// Byte 0 of the lock file is the state's; the drive claims have the bytes after it.
constexpr int64_t kStateByte = 0;
constexpr uint32_t kPollMs = 50;

struct Session {
  std::string path;
  bool folder = false;     // the name is a folder: nothing is read, every save fails
  bool taken = false;      // the lock is held (or cannot be had) and the state was read
  bool abandoned = false;  // interrupted while waiting for the lock: the state stays unread
  bool kept = false;       // another run kept the state past a brief wait (holder: its id)
  uint32_t holder = 0;
  std::string saved;      // the state as the file holds it
  bool reported = false;  // a failed save was said already
  bool unsaved = false;   // the drives hold a state the file lacks
  int lock_fd = -1;
};

Session& session() {
  static Session s;
  return s;
}

void say_lock_failure(const Session& s, const std::string& reason) {
  console::err("quillmark-sim: cannot lock state file " + shown_name(s.path) + ": " + reason +
               "\n");
}

enum class Wait { Taken, Busy, Interrupted };

// One attempt at the state's byte, waiting for it or not: false while another run holds it. A
// lock the system refuses is said and taken as had, as when there is no lock file.
bool attempt_state(Session& s, bool wait) {
  std::string reason;
  const host::Lock got = host::lock_byte(s.lock_fd, kStateByte, wait, reason);
  if (got == host::Lock::Failed) say_lock_failure(s, reason);
  return got != host::Lock::Held;
}

// Waits for the state as long as another run holds it, saying so once.
Wait wait_for_state(Session& s, uint32_t holder) {
  const std::string who = holder != 0 ? "process " + std::to_string(holder) : "another run";
  console::err("quillmark-sim: waiting for state file " + shown_name(s.path) + ", in use by " +
               who + "\n");
  while (!attempt_state(s, true)) {
    if (platform_interrupted()) return Wait::Interrupted;
  }
  return Wait::Taken;
}

// Waits for the state up to wait_ms, without a word: the drive's claim says what came of it.
Wait wait_briefly(Session& s, uint32_t wait_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (platform_interrupted()) return Wait::Interrupted;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    if (attempt_state(s, false)) return Wait::Taken;
  }
  return Wait::Busy;
}

Wait lock_state(Session& s, uint32_t wait_ms, uint32_t& holder) {
  if (s.lock_fd < 0 || attempt_state(s, false)) return Wait::Taken;
  holder = host::byte_holder(s.lock_fd, kStateByte);
  // The state is every drive's: a download, which does not wait for its drive, takes it in
  // turn however long another run keeps it; a run that would wait only a little for its drive
  // does not wait longer for the state.
  return wait_ms == 0 ? wait_for_state(s, holder) : wait_briefly(s, wait_ms);
}

// The world's hook at a drive claim: false when another run keeps the state past the wait.
bool take_state(uint32_t wait_ms, uint32_t& holder) {
  Session& s = session();
  if (s.taken || s.abandoned) return true;
  // A scan's next drive does not wait again for what the last one waited for in vain.
  if (s.kept && wait_ms != 0) {
    holder = s.holder;
    return false;
  }
  switch (lock_state(s, wait_ms, holder)) {
    case Wait::Busy:
      s.kept = true;
      s.holder = holder;
      return false;
    case Wait::Interrupted:
      s.abandoned = true;
      return true;
    case Wait::Taken:
      break;
  }
  s.taken = true;
  if (!s.folder) load_state_file(s.path);
  s.saved = format_state();
  return true;
}

void save_if_changed() {
  Session& s = session();
  if (!s.taken) return;
  const std::string now = format_state();
  if (now == s.saved) return;
  std::string reason;
  if (write_state_file(s.path, reason)) {
    s.saved = now;
    s.unsaved = false;
    return;
  }
  s.unsaved = true;
  if (!s.reported)
    console::err("quillmark-sim: cannot save state file " + shown_name(s.path) + ": " + reason +
                 "\n");
  s.reported = true;
}

}  // namespace

void begin_state_session(const std::string& path) {
  Session& s = session();
  s = Session{};
  s.path = path;
  World& w = world();
  w.on_claim = take_state;
  w.on_firmware_change = save_if_changed;
  // "/" would lock "/.lock", a directory "<dir>.lock" beside it: nothing is made for a name
  // that can never hold the state.
  s.folder = host::names_folder(path);
  std::string reason;
  const int fd = s.folder ? -1 : host::open_lock_file(path + ".lock", reason);
  if (s.folder) {
    reason = shown_name(path) + ": a directory";
    console::err("quillmark-sim: cannot use state file " + reason + "\n");
  } else if (!reason.empty()) {
    reason = shown_name(path + ".lock") + ": " + reason;
    say_lock_failure(s, reason);
  }
  if (!reason.empty()) w.claims_unavailable = reason;
  s.lock_fd = fd;
  w.claim_file = fd;
}

int end_state_session(int exit_code) {
  Session& s = session();
  save_if_changed();
  World& w = world();
  w.on_claim = nullptr;
  w.on_firmware_change = nullptr;
  // Closing the lock file lets the state and every claim go.
  if (s.lock_fd >= 0) host::close_lock_file(s.lock_fd);
  w.claim_file = -1;
  s.lock_fd = -1;
  return s.unsaved ? 1 : exit_code;
}

}  // namespace sim
