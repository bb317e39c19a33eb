// The firmware image file over Win32.
#include <algorithm>

#include "platform/host.h"
#include "platform/text.h"
#include "platform/windows/regular_file.h"

namespace {

HANDLE to_native(Handle handle) { return reinterpret_cast<HANDLE>(handle); }

// The system's own description of an error code, as UTF-8 without the line end that
// FormatMessageW appends.
std::string system_message(DWORD code) {
  LPWSTR text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  if (length == 0 || text == nullptr) return "Error " + std::to_string(code);
  std::u16string message(reinterpret_cast<const char16_t*>(text), length);
  LocalFree(text);
  while (!message.empty() && (message.back() == u'\r' || message.back() == u'\n'))
    message.pop_back();
  return utf16_to_utf8(message);
}

}  // namespace

Handle platform_file_open(const std::u16string& path, std::string& error_text) {
  const auto* name = reinterpret_cast<LPCWSTR>(path.c_str());
  // Shared for reading and writing: an image still open in another program can be sent.
  const HANDLE file = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    const bool directory = code == ERROR_ACCESS_DENIED && regular_file::names_directory(path);
    error_text = directory ? not_a_regular_file("a directory") : system_message(code);
    SetLastError(code);
    return kInvalidHandle;
  }
  // A pipe or a character device would hold the read up, or never end it.
  if (const char* kind = regular_file::irregular_kind(file)) {
    CloseHandle(file);
    error_text = not_a_regular_file(kind);
    SetLastError(ERROR_ACCESS_DENIED);
    return kInvalidHandle;
  }
  return reinterpret_cast<Handle>(file);
}

int64_t platform_file_size(Handle file) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(to_native(file), &size)) return -1;
  return size.QuadPart;
}

int64_t platform_file_read(Handle file, void* buffer, int64_t size) {
  // ReadFile counts in 32 bits; larger requests are read in pieces.
  constexpr int64_t kPiece = int64_t{1} << 30;
  auto* at = static_cast<char*>(buffer);
  int64_t total = 0;
  while (total < size) {
    const DWORD want = static_cast<DWORD>(std::min(size - total, kPiece));
    DWORD got = 0;
    if (!ReadFile(to_native(file), at + total, want, &got, nullptr) || got == 0) break;
    total += got;
  }
  return total;
}

void platform_file_close(Handle file) { CloseHandle(to_native(file)); }
