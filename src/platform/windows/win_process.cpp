// Process services over Win32: the wide argument vector, sleeping and the thread's last
// error.
#include "platform/host.h"
#include "platform/windows/win_interrupt.h"
// After windows.h, which platform.h brings in: shellapi.h builds on its types.
#include <shellapi.h>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

bool platform_wide_args(int /*argc*/, char** /*argv*/, std::vector<std::u16string>& out) {
  // The narrow argv is lossy outside the ANSI code page, so the vector is split again from
  // the process's own wide command line, with the shell's quoting rules.
  int count = 0;
  LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (args == nullptr) return false;
  out.clear();
  out.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) out.emplace_back(reinterpret_cast<const char16_t*>(args[i]));
  LocalFree(args);
  return true;
}

// The operator's interrupt ends a pause early.
void platform_sleep_ms(uint32_t milliseconds) {
  if (HANDLE interrupt = win_interrupt_event())
    WaitForSingleObject(interrupt, milliseconds);
  else
    Sleep(milliseconds);
}

uint32_t platform_get_last_error() { return GetLastError(); }

bool platform_running_as_administrator() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const bool elevated =
      GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
      elevation.TokenIsElevated != 0;
  CloseHandle(token);
  return elevated;
}

void platform_set_last_error(uint32_t code) { SetLastError(code); }
