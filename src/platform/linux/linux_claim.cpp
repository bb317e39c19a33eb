// One run per drive on Linux: an advisory lock (flock) on a file in /run/lock named after the
// drive's SCSI address. The lock lives on an open descriptor, so it ends with the process
// however the process ends, and a file left behind claims nothing.
//
// The folder is writable by everyone and the tool runs as root: the file is opened without
// following a link and only a regular file owned by root (or by the user running the tool)
// with a single name is used. It is never truncated or written. Anything else at the name is
// reported and the run goes on unclaimed, rather than locking (or opening) what it points at.
//
// Where the folder does not exist (an initramfs, a rescue shell, a minimal container) the
// claim is an abstract Unix socket of the same name instead: bound and listened on by the
// holder, so that it too ends with the process, and named through SO_PEERCRED to whoever
// finds it taken. That name needs no folder but anyone may take it: a holder that is neither
// root nor the user running the tool is reported, not obeyed.
#include "platform/linux/linux_claim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string_view>

#include "platform/linux/regular_file.h"

namespace linux_claim {
namespace {

constexpr uint32_t kPollMs = 100;

DriveClaim unavailable(std::string reason) {
  DriveClaim c;
  c.outcome = ClaimOutcome::Unavailable;
  c.reason = std::move(reason);
  return c;
}

std::string proc_locks() {
  std::ifstream in("/proc/locks");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// What stands at the name, when it is a regular file the claim still may not use.
const char* refusal(const struct stat& st) {
  if (st.st_uid != 0 && st.st_uid != geteuid()) return "owned by another user";
  if (st.st_nlink != 1) return "has more than one name";
  return nullptr;
}

// Opens the claim file: made new, or the one a run left, if it is fit for the claim.
int open_claim_file(const std::string& path, std::string& reason) {
  int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd >= 0) return fd;
  if (errno != EEXIST) {
    reason = std::strerror(errno);
    return -1;
  }
  regular_file::Refusal why;
  fd = regular_file::open_for_reading(path, regular_file::Links::Refuse, why, refusal);
  if (fd >= 0) return fd;
  if (why.vetoed != nullptr)
    reason = why.vetoed;
  else if (why.kind == nullptr)
    reason = std::strerror(why.error);
  else
    reason =
        std::string_view(why.kind) == "a symbolic link" ? "a symbolic link" : "not a regular file";
  return -1;
}

void sleep_ms(uint32_t ms) {
  timespec t{0, static_cast<long>(ms) * 1000000L};
  nanosleep(&t, nullptr);
}

// The abstract socket address "\0quillmark-<key>".
socklen_t socket_name(std::string_view key, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  const std::string name = "quillmark-" + std::string(key);
  const size_t length = std::min(name.size(), sizeof address.sun_path - 1);
  name.copy(address.sun_path + 1, length);
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

// Who listens on the name: false when nobody can be asked (not listening yet, or its queue
// full of other runs asking).
bool socket_holder(const sockaddr_un& address, socklen_t length, ucred& holder) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  socklen_t size = sizeof holder;
  const bool known = connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
                     getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &holder, &size) == 0 &&
                     size == sizeof holder;
  close(fd);
  return known;
}

DriveClaim busy(uint32_t holder_pid) {
  DriveClaim c;
  c.outcome = ClaimOutcome::Busy;
  c.holder_pid = holder_pid;
  return c;
}

}  // namespace

DriveClaim claim_socket(std::string_view key, uint32_t wait_ms) {
  sockaddr_un address;
  const socklen_t length = socket_name(key, address);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return unavailable(std::string("claim socket: ") + std::strerror(errno));
  uint32_t waited = 0;
  bool asked = false;
  ucred holder{};
  while (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    const int err = errno;
    if (err != EADDRINUSE) {
      close(fd);
      return unavailable(std::string("claim socket: ") + std::strerror(err));
    }
    // Asked once, and again at the end to name the holder then: every question stays queued
    // at the holder, which never accepts.
    const bool last = waited >= wait_ms || platform_interrupted();
    if ((!asked || last) && socket_holder(address, length, holder)) {
      asked = true;
      if (holder.uid != 0 && holder.uid != geteuid()) {
        close(fd);
        return unavailable("claim socket held by process " + std::to_string(holder.pid) +
                           " of user " + std::to_string(holder.uid) + ", who is not root");
      }
    }
    if (last) {
      close(fd);
      return busy(asked ? static_cast<uint32_t>(holder.pid) : 0);
    }
    sleep_ms(kPollMs);
    waited += kPollMs;
  }
  if (listen(fd, 16) != 0) {
    const int err = errno;
    close(fd);
    return unavailable(std::string("claim socket: ") + std::strerror(err));
  }
  DriveClaim c;
  c.outcome = ClaimOutcome::Claimed;
  c.handle = static_cast<Handle>(fd);
  return c;
}

uint32_t flock_holder(std::string_view locks_text, uint64_t device_major, uint64_t device_minor,
                      uint64_t inode) {
  char wanted[64];
  std::snprintf(
      wanted, sizeof wanted, "%02llx:%02llx:%llu", static_cast<unsigned long long>(device_major),
      static_cast<unsigned long long>(device_minor), static_cast<unsigned long long>(inode));
  std::istringstream lines{std::string(locks_text)};
  std::string line;
  while (std::getline(lines, line)) {
    // "<n>: FLOCK  ADVISORY  WRITE <pid> <major>:<minor>:<inode> <start> <end>"; a waiter's
    // line has "->" after the number.
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, file;
    if (!(fields >> number >> kind >> mode >> access >> pid >> file)) continue;
    if (kind != "FLOCK" || file != wanted) continue;
    char* end = nullptr;
    const unsigned long value = std::strtoul(pid.c_str(), &end, 10);
    if (end != pid.c_str() && *end == '\0' && value <= UINT32_MAX)
      return static_cast<uint32_t>(value);
  }
  return 0;
}

DriveClaim claim_in(const std::string& folder, std::string_view key, uint32_t wait_ms) {
  struct stat folder_st {};
  if (stat(folder.c_str(), &folder_st) != 0 && errno == ENOENT) return claim_socket(key, wait_ms);
  const std::string path = folder + "/quillmark-" + std::string(key) + ".lock";
  std::string reason;
  const int fd = open_claim_file(path, reason);
  if (fd < 0) return unavailable(path + ": " + reason);

  uint32_t waited = 0;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      const int err = errno;
      close(fd);
      return unavailable(path + ": " + std::strerror(err));
    }
    if (waited >= wait_ms || platform_interrupted()) {
      struct stat st {};
      uint32_t holder = 0;
      if (fstat(fd, &st) == 0)
        holder = flock_holder(proc_locks(), major(st.st_dev), minor(st.st_dev), st.st_ino);
      close(fd);
      return busy(holder);
    }
    sleep_ms(kPollMs);
    waited += kPollMs;
  }
  DriveClaim c;
  c.outcome = ClaimOutcome::Claimed;
  c.handle = static_cast<Handle>(fd);
  return c;
}

}  // namespace linux_claim

DriveClaim platform_claim_drive(std::string_view key, uint32_t wait_ms) {
  return linux_claim::claim_in(linux_claim::kLockFolder, key, wait_ms);
}

void platform_release_drive(Handle claim) {
  if (claim >= 0 && claim <= INT32_MAX) close(static_cast<int>(claim));
}
