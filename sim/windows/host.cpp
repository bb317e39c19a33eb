// The simulator's host side on Windows: the C runtime's files and MoveFileEx. The simulator
// shares nothing between runs here (no locks, so no claims between processes) and plays the
// operator's interrupt only as the tests program it.
#include "sim/host.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/windows/regular_file.h"

namespace sim::host {

int process_id() { return static_cast<int>(GetCurrentProcessId()); }

std::FILE* open_image(const std::u16string& path, const char*& kind, std::string& error_text) {
  const std::wstring wide(path.begin(), path.end());
  std::FILE* f = _wfopen(wide.c_str(), L"rb");
  if (f == nullptr) {
    const int err = errno;
    if (regular_file::names_directory(path))
      kind = "a directory";
    else
      error_text = std::strerror(err);
    return nullptr;
  }
  kind = regular_file::irregular_kind(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))));
  if (kind == nullptr) return f;
  std::fclose(f);
  return nullptr;
}

Found read_text(const std::string& path, size_t limit, std::string& text, std::string& reason) {
  text.clear();
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    if (errno == ENOENT) return Found::Nothing;
    reason = regular_file::names_directory(path) ? "not a regular file" : std::strerror(errno);
    return Found::Refused;
  }
  if (regular_file::irregular_kind(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))))) {
    std::fclose(f);
    reason = "not a regular file";
    return Found::Refused;
  }
  text.resize(limit);
  const size_t n = std::fread(text.data(), 1, text.size(), f);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  text.resize(n);
  if (!failed) return Found::Text;
  reason = "read error";
  return Found::Refused;
}

bool names_folder(const std::string& path) {
  return (!path.empty() && (path.back() == '/' || path.back() == '\\')) ||
         regular_file::names_directory(path);
}

namespace {

bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const int n = _write(fd, text.data() + done, static_cast<unsigned>(text.size() - done));
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool replace_text(const std::string& path, const std::string& text, std::string& reason) {
  std::string temp;
  const int fd = create_temporary(path, temp, [](const std::string& name) {
    return _open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
  });
  if (fd < 0) {
    reason = std::strerror(errno);
    return false;
  }
  int error = 0;
  if (!write_all(fd, text) || _commit(fd) != 0) error = errno;
  if (_close(fd) != 0 && error == 0) error = errno;
  // The rename reaches the disk before the call returns.
  if (error == 0 &&
      !MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    error = EACCES;
  if (error == 0) return true;
  std::remove(temp.c_str());  // ours: made above, never an existing file
  reason = std::strerror(error);
  return false;
}

int open_lock_file(const std::string&, std::string& reason) {
  reason.clear();
  return -1;
}

void close_lock_file(int) {}

Lock lock_byte(int, int64_t, bool, std::string& reason) {
  reason = "no locks on this system";
  return Lock::Failed;
}

void unlock_byte(int, int64_t) {}

uint32_t byte_holder(int, int64_t) { return 0; }

void install_stop_handlers() {}

bool stop_signalled() { return false; }

}  // namespace sim::host
