// The image files of the simulated platform: the host's own files, read through stdio, with
// a planned short read. In a file of its own so that a program can put another file layer in
// its place at link time (the benchmark does, to time the engine without the read).
#include <cstdio>

#include "platform/host.h"
#include "sim/host.h"
#include "sim/world.h"

namespace {

struct SimFile {
  std::FILE* f;
  int64_t read_so_far;
};

}  // namespace

Handle platform_file_open(const std::u16string& path, std::string& error_text) {
  const char* kind = nullptr;
  std::FILE* f = sim::host::open_image(path, kind, error_text);
  if (kind != nullptr) error_text = not_a_regular_file(kind);
  if (f == nullptr) return kInvalidHandle;
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
