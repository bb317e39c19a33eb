// One run per drive on Linux: an advisory lock (flock) on a file in /run/lock named after the
// drive's SCSI address. The lock lives on an open descriptor, so it ends with the process
// however the process ends, and a file left behind claims nothing.
//
// The folder is writable by everyone and the tool runs as root: the file is opened without
// following a link and only a regular file owned by root (or by the user running the tool)
// with a single name is used. It is never truncated or written. Anything else at the name is
// reported and the run goes on unclaimed, rather than locking (or opening) what it points at.
#include "platform/linux/linux_claim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace

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
      DriveClaim c;
      c.outcome = ClaimOutcome::Busy;
      if (fstat(fd, &st) == 0)
        c.holder_pid = flock_holder(proc_locks(), major(st.st_dev), minor(st.st_dev), st.st_ino);
      close(fd);
      return c;
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
