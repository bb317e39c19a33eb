// The simulator's console on Windows: its standard streams as UTF-8 through the C runtime,
// whatever they are connected to. (On Linux it writes through the Linux backend's console,
// linux_console.cpp.)
#include <cstdio>

#include "platform/host.h"
#include "platform/text.h"
#include "platform/wire.h"  // windows.h, for GetTickCount64

void platform_console_write(ConsoleStream stream, std::string_view bytes) {
  std::FILE* f = stream == ConsoleStream::Out ? stdout : stderr;
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fflush(f);
}

void platform_console_write_wide(ConsoleStream stream, std::u16string_view text) {
  platform_console_write(stream, utf16_to_utf8(text));
}

std::string_view platform_console_hline(ConsoleStream) { return "\xE2\x94\x80"; }

uint64_t platform_console_clock_ms() { return GetTickCount64(); }
