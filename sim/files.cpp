// The image files of the simulated platform: the host's own files, read through stdio, with
// a planned short read. In a file of its own so that a program can put another file layer in
// its place at link time (the benchmark does, to time the engine without the read).
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/host.h"
#include "platform/text.h"
#include "sim/world.h"

#ifdef _WIN32
#include <io.h>

#include "platform/windows/regular_file.h"
#else
#include <unistd.h>

#include "platform/linux/regular_file.h"
#endif

namespace {

struct SimFile {
  std::FILE* f;
  int64_t read_so_far;
};

}  // namespace

Handle platform_file_open(const std::u16string& path, std::string& error_text) {
  const char* kind = nullptr;
  std::FILE* f = nullptr;
#ifdef _WIN32
  const std::wstring wide(path.begin(), path.end());
  f = _wfopen(wide.c_str(), L"rb");
  if (f == nullptr) {
    const int err = errno;
    if (!regular_file::names_directory(path)) {
      error_text = std::strerror(err);
      return kInvalidHandle;
    }
    kind = "a directory";
  } else {
    kind = regular_file::irregular_kind(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))));
  }
#else
  regular_file::Refusal why;
  const int fd =
      regular_file::open_for_reading(utf16_to_utf8(path), regular_file::Links::Follow, why);
  if (fd < 0 && why.kind == nullptr) {
    error_text = std::strerror(why.error);
    return kInvalidHandle;
  }
  kind = why.kind;
  if (fd >= 0 && (f = fdopen(fd, "rb")) == nullptr) {
    error_text = std::strerror(errno);
    close(fd);
    return kInvalidHandle;
  }
#endif
  if (kind != nullptr) {
    if (f != nullptr) std::fclose(f);
    error_text = not_a_regular_file(kind);
    return kInvalidHandle;
  }
  return reinterpret_cast<Handle>(new SimFile{f, 0});
}

int64_t platform_file_size(Handle file) {
  auto* sf = reinterpret_cast<SimFile*>(file);
  const long start = std::ftell(sf->f);
  if (start < 0 || std::fseek(sf->f, 0, SEEK_END) != 0) return -1;
  const long end = std::ftell(sf->f);
  std::fseek(sf->f, start, SEEK_SET);
  return end < 0 ? -1 : static_cast<int64_t>(end - start);
}

int64_t platform_file_read(Handle file, void* buffer, int64_t size) {
  auto* sf = reinterpret_cast<SimFile*>(file);
  const int64_t limit = sim::world().file_read_limit;
  if (limit >= 0 && sf->read_so_far + size > limit) size = limit - sf->read_so_far;
  if (size <= 0) return 0;
  const size_t n = std::fread(buffer, 1, static_cast<size_t>(size), sf->f);
  sf->read_so_far += static_cast<int64_t>(n);
  return static_cast<int64_t>(n);
}

void platform_file_close(Handle file) {
  auto* sf = reinterpret_cast<SimFile*>(file);
  std::fclose(sf->f);
  delete sf;
}
