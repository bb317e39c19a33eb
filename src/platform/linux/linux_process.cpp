// The process side of the Linux backend: arguments, sleep, last error, image files. The
// console is in linux_console.cpp, which the simulator shares.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/host.h"
#include "platform/linux/regular_file.h"
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

bool platform_running_as_administrator() { return geteuid() == 0; }

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

Handle platform_file_open(const std::u16string& path, std::string& error_text) {
  regular_file::Refusal why;
  const int fd =
      regular_file::open_for_reading(utf16_to_utf8(path), regular_file::Links::Follow, why);
  if (fd >= 0) return static_cast<Handle>(fd);
  if (why.kind != nullptr) {
    error_text = not_a_regular_file(why.kind);
    platform_set_last_error(ERROR_ACCESS_DENIED);  // what CreateFileW answers for a directory
  } else {
    error_text = std::strerror(why.error);
    platform_set_last_error(sg::windows_error_from_errno(why.error));
  }
  return kInvalidHandle;
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
