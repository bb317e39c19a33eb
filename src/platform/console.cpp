#include "platform/console.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "platform/platform.h"
#include "platform/text.h"

namespace console {
namespace {

// Text held back no longer than this (ms), so that a slow pass still shows its spinner turning.
constexpr uint64_t kMaxWait = 50;
// ...and no more than this much of it.
constexpr size_t kMaxHeld = 64 * 1024;

struct Capture {
  bool active = false;
  std::string out;
  std::string err;
};

Capture& capture() {
  static Capture c;
  return c;
}

// Whether the last text written, on either stream, ended a line (true before any).
bool g_at_line_start = true;

void note_end(char last) { g_at_line_start = last == '\n'; }

// Text not yet handed to the system: one stream and one width at a time, so that a switch
// hands over what came before it and the order across the streams stays that of the calls.
// Wide text stays wide until it is handed over: a Windows console takes it as UTF-16.
struct Held {
  ConsoleStream stream = ConsoleStream::Out;
  std::string narrow;
  std::u16string wide;
  uint64_t last_hand_over = platform_console_clock_ms();

  bool empty() const { return narrow.empty() && wide.empty(); }

  void hand_over() {
    if (!narrow.empty()) platform_console_write(stream, narrow);
    if (!wide.empty()) platform_console_write_wide(stream, wide);
    narrow.clear();
    wide.clear();
    last_hand_over = platform_console_clock_ms();
  }

  // Before text for `to` of the given width is added.
  void switch_to(ConsoleStream to, bool to_wide) {
    if (!empty() && (to != stream || (to_wide ? !narrow.empty() : !wide.empty()))) hand_over();
    stream = to;
  }

  // After text was added.
  void added(bool line_end, size_t size) {
    if (line_end || size >= kMaxHeld || platform_console_clock_ms() - last_hand_over >= kMaxWait)
      hand_over();
  }

  // The process is ending: nothing may stay behind.
  ~Held() {
    if (!empty()) hand_over();
  }
};

Held& held() {
  static Held h;
  return h;
}

bool g_mid_line = false;

// Where the text for standard output goes: the error stream while a document owns standard
// output.
ConsoleStream g_out_target = ConsoleStream::Out;

std::string& captured(ConsoleStream stream) {
  return stream == ConsoleStream::Out ? capture().out : capture().err;
}

void put(ConsoleStream stream, std::string_view text) {
  if (text.empty()) return;
  Held& h = held();
  h.switch_to(stream, false);
  h.narrow.append(text);
  h.added(text.back() == '\n', h.narrow.size());
}

}  // namespace

void out(std::string_view text) {
  if (!text.empty()) note_end(text.back());
  if (!text.empty()) g_mid_line = text.back() != '\n';
  if (capture().active) {
    captured(g_out_target).append(text);
    return;
  }
  put(g_out_target, text);
}

void wout(std::u16string_view text) {
  if (!text.empty()) note_end(text.back() == u'\n' ? '\n' : ' ');
  if (!text.empty()) g_mid_line = text.back() != u'\n';
  if (capture().active) {
    captured(g_out_target) += utf16_to_utf8(text);
    return;
  }
  if (text.empty()) return;
  Held& h = held();
  h.switch_to(g_out_target, true);
  h.wide.append(text);
  h.added(text.back() == u'\n', h.wide.size() * 2);
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
  if (!text.empty()) note_end(text.back());
  if (capture().active) {
    capture().err.append(text);
    return;
  }
  put(ConsoleStream::Err, text);
}

void err_line(std::string_view text) {
  std::string line = g_at_line_start ? std::string() : std::string("\n");
  line.append(text);
  line += '\n';
  err(line);
}

void divert_out_to_err(bool on) { g_out_target = on ? ConsoleStream::Err : ConsoleStream::Out; }

void document(std::string_view utf8) {
  if (capture().active) {
    capture().out.append(utf8);
    return;
  }
  Held& h = held();
  h.switch_to(ConsoleStream::Out, true);
  h.wide.append(utf8_to_utf16(utf8));
  h.hand_over();
}

void flush() {
  if (!held().empty()) held().hand_over();
}

bool mid_line() { return g_mid_line; }

// Under --json the progress line is on the error stream, which may be a console while standard
// output is a file.
std::string_view hline() { return platform_console_hline(g_out_target); }

std::string device_text(std::string_view text) {
  std::string shown(text);
  for (char& c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7E) c = '?';
  }
  return shown;
}

std::u16string typed_text(std::u16string_view text) {
  std::u16string shown(text);
  for (char16_t& c : shown) {
    // U+DC80..U+DCFF stand for the bytes 0x80..0xFF that were not UTF-8, and go out as those
    // bytes.
    const char16_t byte = c >= 0xDC80 && c <= 0xDCFF ? c - 0xDC00 : c;
    if (byte < 0x20 || (byte >= 0x7F && byte <= 0x9F)) c = u'?';
  }
  return shown;
}

void capture_begin() {
  flush();  // what was written before belongs to the real console, in its place
  capture().active = true;
  g_at_line_start = true;
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
