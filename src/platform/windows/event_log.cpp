// The system log on Windows: the Application event log, source "Quillmark", one insertion
// string per field ("key=value"), so that the viewer shows the record without a message file.
#include <windows.h>

#include <vector>

#include "platform/host.h"
#include "platform/text.h"

namespace {

// The one event the tool reports: a change made to a drive.
constexpr DWORD kDriveChangeEvent = 1;

}  // namespace

bool platform_system_log(bool success, const LogFields& fields) {
  HANDLE source = RegisterEventSourceW(nullptr, L"Quillmark");
  if (source == nullptr) return false;
  std::vector<std::u16string> texts;
  for (const auto& [key, value] : fields) texts.push_back(utf8_to_utf16(key + "=" + value));
  std::vector<LPCWSTR> strings;
  for (const std::u16string& text : texts)
    strings.push_back(reinterpret_cast<LPCWSTR>(text.c_str()));
  const WORD type = success ? EVENTLOG_INFORMATION_TYPE : EVENTLOG_ERROR_TYPE;
  const BOOL reported = ReportEventW(source, type, 0, kDriveChangeEvent, nullptr,
                                     static_cast<WORD>(strings.size()), 0, strings.data(), nullptr);
  DeregisterEventSource(source);
  return reported != FALSE;
}
