// The process side of the simulated platform: arguments, sleep, last error, console and
// image files. Files and the console are the host's own; only the faults are planned.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/platform.h"
#include "platform/text.h"
#include "sim/world.h"

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

bool platform_wide_args(int argc, char** argv, std::vector<std::u16string>& out) {
  auto& w = sim::world();
  if (w.args_fail) return false;
  out.clear();
  if (w.args) {
    out = *w.args;
    return true;
  }
  for (int i = 0; i < argc; ++i) out.push_back(utf8_to_utf16(argv[i]));
  return true;
}

void platform_sleep_ms(uint32_t milliseconds) {
  auto& w = sim::world();
  w.clock_ms += milliseconds;
  sim::log_entry(sim::LogEntry::Kind::Sleep).value = milliseconds;
  if (w.real_sleep) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

uint32_t platform_get_last_error() { return sim::world().last_error; }
void platform_set_last_error(uint32_t code) { sim::world().last_error = code; }

// --- Console: the host's standard streams, as UTF-8 -------------------------------------

void platform_console_write(ConsoleStream stream, std::string_view bytes) {
  std::FILE* f = stream == ConsoleStream::Out ? stdout : stderr;
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fflush(f);
}

void platform_console_write_wide(ConsoleStream stream, std::u16string_view text) {
  platform_console_write(stream, utf16_to_utf8(text));
}

std::string_view platform_console_hline() { return "\xE2\x94\x80"; }

// --- Image files ----------------------------------------------------------------------------

namespace {
struct SimFile {
  std::FILE* f;
  int64_t read_so_far;
};
}  // namespace

Handle platform_file_open(const std::u16string& path, std::string& error_text) {
#ifdef _WIN32
  std::wstring wpath(path.begin(), path.end());
  std::FILE* f = _wfopen(wpath.c_str(), L"rb");
#else
  std::FILE* f = std::fopen(utf16_to_utf8(path).c_str(), "rb");
#endif
  if (!f) {
    error_text = std::strerror(errno);
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
