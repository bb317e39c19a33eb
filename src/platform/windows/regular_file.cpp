#include "platform/windows/regular_file.h"

namespace regular_file {
namespace {

bool is_directory(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

// Disks, volumes and files all report FILE_TYPE_DISK; only a file has file information
// without the directory or device attribute.
const char* irregular_kind(HANDLE file) {
  switch (GetFileType(file)) {
    case FILE_TYPE_DISK:
      break;
    case FILE_TYPE_CHAR:
      return "a character device";
    case FILE_TYPE_PIPE:
      return "a pipe";
    default:
      return "of an unknown kind";
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return "a device";
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return "a directory";
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) return "a device";
  return nullptr;
}

bool names_directory(const std::u16string& path) {
  return is_directory(GetFileAttributesW(reinterpret_cast<LPCWSTR>(path.c_str())));
}

bool names_directory(const std::string& path) {
  return is_directory(GetFileAttributesA(path.c_str()));
}

}  // namespace regular_file
