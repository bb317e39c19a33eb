// quillmark-sim's state file across one run: locked, read once the lock is held, saved at
// every change of a drive's firmware state (as a real drive keeps what it took the moment it
// takes it), so that neither a second run at the same time nor an interrupt loses a result.
#include <csignal>
#include <string>

#include "platform/console.h"
#include "platform/platform.h"
#include "sim/state_file.h"
#include "sim/world.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/regular_file.h"
#endif

namespace sim {
namespace {

struct Session {
  std::string path;
  bool taken = false;      // the lock is held (or cannot be had) and the state was read
  bool abandoned = false;  // interrupted while waiting for the lock: the state stays unread
  std::string saved;       // the state as the file holds it
  bool reported = false;   // a failed save was said already
  bool unsaved = false;    // the drives hold a state the file lacks
  int lock_fd = -1;
};

Session& session() {
  static Session s;
  return s;
}

#ifndef _WIN32
// The operator's interrupts wait while the state is written: a second one would end the
// process between the temporary file and the rename.
class InterruptsHeld {
 public:
  InterruptsHeld() {
    sigset_t interrupts;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGINT);
    sigaddset(&interrupts, SIGTERM);
    sigaddset(&interrupts, SIGHUP);
    sigprocmask(SIG_BLOCK, &interrupts, &before_);
  }
  ~InterruptsHeld() { sigprocmask(SIG_SETMASK, &before_, nullptr); }
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;

 private:
  sigset_t before_;
};

struct flock state_byte(short type) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = 0;
  range.l_len = 1;
  return range;
}

// False when the wait was given up for an interrupt.
bool lock_state(Session& s) {
  if (s.lock_fd < 0) return true;
  struct flock range = state_byte(F_WRLCK);
  if (fcntl(s.lock_fd, F_SETLK, &range) == 0) return true;
  if (errno != EACCES && errno != EAGAIN) {
    console::err("quillmark-sim: cannot lock state file " + s.path + ": " + std::strerror(errno) +
                 "\n");
    return true;
  }
  struct flock holder = state_byte(F_WRLCK);
  std::string who = "another run";
  if (fcntl(s.lock_fd, F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK)
    who = "process " + std::to_string(holder.l_pid);
  console::err("quillmark-sim: waiting for state file " + s.path + ", in use by " + who + "\n");
  while (true) {
    range = state_byte(F_WRLCK);
    if (fcntl(s.lock_fd, F_SETLKW, &range) == 0) return true;
    if (errno != EINTR) {
      console::err("quillmark-sim: cannot lock state file " + s.path + ": " + std::strerror(errno) +
                   "\n");
      return true;
    }
    if (platform_interrupted()) return false;
  }
}
#endif

void take_state() {
  Session& s = session();
  if (s.taken || s.abandoned) return;
#ifndef _WIN32
  if (!lock_state(s)) {
    s.abandoned = true;
    return;
  }
#endif
  s.taken = true;
  load_state_file(s.path);
  s.saved = format_state();
}

void save_if_changed() {
  Session& s = session();
  if (!s.taken) return;
  const std::string now = format_state();
  if (now == s.saved) return;
  std::string reason;
  bool ok = false;
  {
#ifndef _WIN32
    const InterruptsHeld held;
#endif
    ok = write_state_file(s.path, reason);
  }
  if (ok) {
    s.saved = now;
    s.unsaved = false;
    return;
  }
  s.unsaved = true;
  if (!s.reported)
    console::err("quillmark-sim: cannot save state file " + s.path + ": " + reason + "\n");
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
#ifndef _WIN32
  const std::string lock_path = path + ".lock";
  const int fd =
      open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  struct stat st {};
  std::string reason;
  if (fd < 0)
    reason = std::strerror(errno);
  else if (fstat(fd, &st) != 0 || regular_file::irregular_kind(st.st_mode) != nullptr)
    reason = "not a regular file";
  if (!reason.empty()) {
    if (fd >= 0) close(fd);
    reason = lock_path + ": " + reason;
    console::err("quillmark-sim: cannot lock state file " + path + ": " + reason + "\n");
    w.claims_unavailable = reason;
    return;
  }
  s.lock_fd = fd;
  w.claim_file = fd;
#endif
}

int end_state_session(int exit_code) {
  Session& s = session();
  save_if_changed();
  World& w = world();
  w.on_claim = nullptr;
  w.on_firmware_change = nullptr;
#ifndef _WIN32
  // Closing the lock file lets the state and every claim go.
  if (s.lock_fd >= 0) close(s.lock_fd);
  w.claim_file = -1;
#endif
  s.lock_fd = -1;
  return s.unsaved ? 1 : exit_code;
}

}  // namespace sim
