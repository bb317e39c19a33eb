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
#include <sys/stat.h>
#include <sys/types.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

struct SimFile {
  std::FILE* f;
  int64_t read_so_far;
};

#ifdef _WIN32
using FileStat = struct _stat64;
int file_stat(const std::u16string& path, FileStat& st) {
  std::wstring wide(path.begin(), path.end());
  // The C runtime finds no directory whose name ends in a separator.
  while (wide.size() > 3 && (wide.back() == L'\\' || wide.back() == L'/')) wide.pop_back();
  return _wstat64(wide.c_str(), &st);
}
int open_file_stat(std::FILE* f, FileStat& st) { return _fstat64(_fileno(f), &st); }
#else
using FileStat = struct stat;
int file_stat(const std::u16string& path, FileStat& st) {
  return stat(utf16_to_utf8(path).c_str(), &st);
}
int open_file_stat(std::FILE* f, FileStat& st) { return fstat(fileno(f), &st); }
#endif

// What a file that is not a regular one is, for the refusal; null for a regular file.
const char* irregular_kind(const FileStat& st) {
  const auto type = st.st_mode & S_IFMT;
  if (type == S_IFREG) return nullptr;
  if (type == S_IFDIR) return "a directory";
  if (type == S_IFCHR) return "a character device";
#ifndef _WIN32
  if (type == S_IFIFO) return "a FIFO";
  if (type == S_IFBLK) return "a block device";
  if (type == S_IFSOCK) return "a socket";
#else
  if (type == _S_IFIFO) return "a pipe";
#endif
  return "of an unknown kind";
}

std::FILE* open_for_reading(const std::u16string& path) {
#ifdef _WIN32
  const std::wstring wide(path.begin(), path.end());
  return _wfopen(wide.c_str(), L"rb");
#else
  // O_NONBLOCK: a name that became a FIFO after it was looked at must not hold the open up.
  // The stream reads in the ordinary blocking way.
  const int fd = open(utf16_to_utf8(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  std::FILE* f = fdopen(fd, "rb");
  if (f == nullptr) close(fd);
  return f;
#endif
}

}  // namespace

Handle platform_file_open(const std::u16string& path, std::string& error_text) {
  // Looked at before it is opened, and what was opened looked at again.
  FileStat st{};
  if (file_stat(path, st) != 0) {
    error_text = std::strerror(errno);
    return kInvalidHandle;
  }
  if (const char* kind = irregular_kind(st)) {
    error_text = not_a_regular_file(kind);
    return kInvalidHandle;
  }
  std::FILE* f = open_for_reading(path);
  if (!f) {
    error_text = std::strerror(errno);
    return kInvalidHandle;
  }
  const char* kind = open_file_stat(f, st) == 0 ? irregular_kind(st) : nullptr;
  if (kind != nullptr) {
    std::fclose(f);
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
