// The simulator's host side on Linux: POSIX files, fcntl byte-range locks and the stop signals
// of the Linux backend.
#include "sim/host.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/linux/regular_file.h"
#include "platform/linux/stop_signals.h"
#include "platform/text.h"

namespace sim::host {

int process_id() { return static_cast<int>(getpid()); }

std::FILE* open_image(const std::u16string& path, const char*& kind, std::string& error_text) {
  regular_file::Refusal why;
  const int fd =
      regular_file::open_for_reading(utf16_to_utf8(path), regular_file::Links::Follow, why);
  kind = why.kind;
  if (fd < 0) {
    if (kind == nullptr) error_text = std::strerror(why.error);
    return nullptr;
  }
  std::FILE* f = fdopen(fd, "rb");
  if (f == nullptr) {
    error_text = std::strerror(errno);
    close(fd);
  }
  return f;
}

Found read_text(const std::string& path, size_t limit, std::string& text, std::string& reason) {
  text.clear();
  regular_file::Refusal why;
  const int fd = regular_file::open_for_reading(path, regular_file::Links::Refuse, why);
  if (fd < 0) {
    if (why.error == ENOENT) return Found::Nothing;
    reason = why.kind != nullptr ? "not a regular file" : std::strerror(why.error);
    return Found::Refused;
  }
  text.resize(limit);
  size_t n = 0;
  bool failed = false;
  while (n < text.size()) {
    const ssize_t got = read(fd, text.data() + n, text.size() - n);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) failed = true;
    if (got <= 0) break;
    n += static_cast<size_t>(got);
  }
  close(fd);
  text.resize(n);
  if (!failed) return Found::Text;
  reason = "read error";
  return Found::Refused;
}

bool names_folder(const std::string& path) {
  struct stat st {};
  return (!path.empty() && path.back() == '/') ||
         (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

namespace {

bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The new file takes the old one's owner, then its permissions (a change of owner may clear
// the set-id bits), so that a save never hands another user's file to the one who ran it.
const char* keep_owner_and_mode(int fd, const struct stat& old) {
  if ((old.st_uid != geteuid() || old.st_gid != getegid()) &&
      fchown(fd, old.st_uid, old.st_gid) != 0)
    return "owned by another user; left as it is";
  if (fchmod(fd, old.st_mode & 07777) != 0) return std::strerror(errno);
  return nullptr;
}

// The rename is kept only once the folder that holds it is on the disk.
void sync_folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

bool replace_text(const std::string& path, const std::string& text, std::string& reason) {
  struct stat old {};
  const bool replaces = lstat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
  // A second interrupt would end the process between the temporary file and the rename.
  const stop_signals::Held held;
  std::string temp;
  const int fd = create_temporary(path, temp, [](const std::string& name) {
    return open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  });
  if (fd < 0) {
    reason = std::strerror(errno);
    return false;
  }
  const char* refused = replaces ? keep_owner_and_mode(fd, old) : nullptr;
  int error = 0;
  if (refused == nullptr && (!write_all(fd, text) || fsync(fd) != 0)) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (refused == nullptr && error == 0 && std::rename(temp.c_str(), path.c_str()) != 0)
    error = errno;
  if (refused != nullptr || error != 0) {
    unlink(temp.c_str());  // ours: made above, never an existing file
    reason = refused != nullptr ? refused : std::strerror(error);
    return false;
  }
  sync_folder(path);
  return true;
}

int open_lock_file(const std::string& path, std::string& reason) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  struct stat st {};
  if (fd < 0)
    reason = std::strerror(errno);
  else if (fstat(fd, &st) != 0 || regular_file::irregular_kind(st.st_mode) != nullptr)
    reason = "not a regular file";
  if (reason.empty()) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

void close_lock_file(int fd) { close(fd); }

namespace {

struct flock byte_range(short type, int64_t offset) {
  struct flock range {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = static_cast<off_t>(offset);
  range.l_len = 1;
  return range;
}

}  // namespace

Lock lock_byte(int fd, int64_t offset, bool wait, std::string& reason) {
  struct flock range = byte_range(F_WRLCK, offset);
  if (fcntl(fd, wait ? F_SETLKW : F_SETLK, &range) == 0) return Lock::Taken;
  if (errno == EACCES || errno == EAGAIN || (wait && errno == EINTR)) return Lock::Held;
  reason = std::strerror(errno);
  return Lock::Failed;
}

void unlock_byte(int fd, int64_t offset) {
  struct flock range = byte_range(F_UNLCK, offset);
  fcntl(fd, F_SETLK, &range);
}

uint32_t byte_holder(int fd, int64_t offset) {
  struct flock holder = byte_range(F_WRLCK, offset);
  if (fcntl(fd, F_GETLK, &holder) != 0 || holder.l_type == F_UNLCK) return 0;
  return static_cast<uint32_t>(holder.l_pid);
}

void install_stop_handlers() { stop_signals::install(); }

bool stop_signalled() { return stop_signals::received(); }

}  // namespace sim::host
