// The user a run is for: the account the process runs as.
#include <windows.h>

#include <string>

#include "platform/host.h"
#include "platform/text.h"

std::string platform_user_name() {
  wchar_t name[257];
  DWORD size = sizeof name / sizeof name[0];
  if (!GetUserNameW(name, &size) || size == 0) return std::string();
  // The count includes the terminating zero.
  return utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(name), size - 1));
}
