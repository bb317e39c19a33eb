// The one rule for the files the tool and its simulator only read (the firmware image, the
// simulator's state file): a regular file, or refused with what stands at the name instead.
// Windows opens a name before anything can be learnt of it, so the rule judges what was
// opened, and a name that does not open at all.
#pragma once

#include <string>

#include "platform/wire.h"  // windows.h, as every platform file takes it

namespace regular_file {

// What an open handle is when it is not a regular file; null for a regular file.
const char* irregular_kind(HANDLE file);

// Whether a name that would not open as a file names a directory: the system only says that
// access was denied. The narrow form takes a name in the ANSI code page.
bool names_directory(const std::u16string& path);
bool names_directory(const std::string& path);

}  // namespace regular_file
