#include "platform/console.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "platform/platform.h"
#include "platform/text.h"

namespace console {
namespace {

struct Capture {
  bool active = false;
  std::string out;
  std::string err;
};

Capture& capture() {
  static Capture c;
  return c;
}

}  // namespace

void out(std::string_view text) {
  if (capture().active) {
    capture().out.append(text);
    return;
  }
  platform_console_write(ConsoleStream::Out, text);
}

void wout(std::u16string_view text) {
  if (capture().active) {
    capture().out += utf16_to_utf8(text);
    return;
  }
  platform_console_write_wide(ConsoleStream::Out, text);
}

void printf(const char* format, ...) {
  char small[256];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (n < 0) {
    va_end(again);
    return;
  }
  if (static_cast<size_t>(n) < sizeof small) {
    va_end(again);
    out(std::string_view(small, static_cast<size_t>(n)));
    return;
  }
  std::vector<char> big(static_cast<size_t>(n) + 1);
  std::vsnprintf(big.data(), big.size(), format, again);
  va_end(again);
  out(std::string_view(big.data(), static_cast<size_t>(n)));
}

void err(std::string_view text) {
  if (capture().active) {
    capture().err.append(text);
    return;
  }
  platform_console_write(ConsoleStream::Err, text);
}

std::string_view hline() { return platform_console_hline(); }

std::string device_text(std::string_view text) {
  std::string shown(text);
  for (char& c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return shown;
}

void capture_begin() {
  capture().active = true;
  capture().out.clear();
  capture().err.clear();
}

std::string captured_out() { return capture().out; }
std::string captured_err() { return capture().err; }

void capture_end() {
  capture().active = false;
  capture().out.clear();
  capture().err.clear();
}

}  // namespace console
