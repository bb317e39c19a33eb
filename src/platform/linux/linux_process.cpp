// The process side of the Linux backend: arguments, sleep, last error, image files. The
// console is in linux_console.cpp, which the simulator shares.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/host.h"
#include "platform/linux/sg_translate.h"
#include "platform/text.h"

namespace {
// Windows keeps one last error per thread; so do we.
thread_local uint32_t t_last_error = 0;
}  // namespace

uint32_t platform_get_last_error() { return t_last_error; }
void platform_set_last_error(uint32_t code) { t_last_error = code; }

bool platform_wide_args(int argc, char** argv, std::vector<std::u16string>& out) {
  if (argc < 0 || (argc > 0 && argv == nullptr)) return false;
  out.clear();
  out.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) out.push_back(utf8_to_utf16(argv[i] ? argv[i] : ""));
  return true;
}

void platform_sleep_ms(uint32_t milliseconds) {
  if (platform_interrupted()) return;
  timespec rest{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  // A signal cuts the sleep short: the operator's interrupt ends it, anything else only
  // interrupts it.
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR && !platform_interrupted()) {
  }
}

// --- Image files ------------------------------------------------------------------------------

namespace {

// What a file that is not a regular one is, for the refusal.
const char* kind_of(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "of an unknown kind";
}

Handle refuse_file(int err, std::string& error_text) {
  error_text = std::strerror(err);
  platform_set_last_error(sg::windows_error_from_errno(err));
  return kInvalidHandle;
}

Handle refuse_kind(mode_t mode, std::string& error_text) {
  error_text = not_a_regular_file(kind_of(mode));
  platform_set_last_error(ERROR_ACCESS_DENIED);  // what CreateFileW answers for a directory
  return kInvalidHandle;
}

}  // namespace

Handle platform_file_open(const std::u16string& path, std::string& error_text) {
  const std::string name = utf16_to_utf8(path);
  // Looked at before it is opened: opening a device can have effects of its own.
  struct stat st {};
  if (stat(name.c_str(), &st) != 0) return refuse_file(errno, error_text);
  if (!S_ISREG(st.st_mode)) return refuse_kind(st.st_mode, error_text);
  // O_NONBLOCK: should the name have become a FIFO in the meantime, the open must not wait
  // for a writer. What was opened is checked again, then read in the ordinary blocking way.
  const int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return refuse_file(errno, error_text);
  if (fstat(fd, &st) != 0) {
    const int err = errno;
    close(fd);
    return refuse_file(err, error_text);
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    return refuse_kind(st.st_mode, error_text);
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return static_cast<Handle>(fd);
}

int64_t platform_file_size(Handle file) {
  struct stat st {};
  if (fstat(static_cast<int>(file), &st) != 0) {
    platform_set_last_error(sg::windows_error_from_errno(errno));
    return -1;
  }
  return static_cast<int64_t>(st.st_size);
}

int64_t platform_file_read(Handle file, void* buffer, int64_t size) {
  auto* p = static_cast<char*>(buffer);
  int64_t done = 0;
  // read() may return less than asked (pipes, signals, large requests); keep going until the
  // request is met or the file ends.
  while (done < size) {
    const ssize_t n = read(static_cast<int>(file), p + done, static_cast<size_t>(size - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      platform_set_last_error(sg::windows_error_from_errno(errno));
      break;
    }
    if (n == 0) break;
    done += n;
  }
  return done;
}

void platform_file_close(Handle file) {
  if (file >= 0) close(static_cast<int>(file));
}
