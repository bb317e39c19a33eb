// The one rule for the files the tool and its simulator only read or lock (the firmware image,
// the simulator's state file, the drive claims): a regular file, or refused with what stands
// at the name instead.
#pragma once

#include <sys/stat.h>

#include <string>

namespace regular_file {

// Whether a symbolic link at the name is followed, or refused as what it is: a file that is
// later replaced through its name must not be a link to something else.
enum class Links { Follow, Refuse };

// Why a name was refused: the system's error of a failed call, what the name holds instead of
// a regular file, or the caller's own objection to the regular file it holds.
struct Refusal {
  int error = 0;                 // errno
  const char* kind = nullptr;    // "a directory", "a FIFO", "a symbolic link", ...
  const char* vetoed = nullptr;  // the objection
};

// A caller's further condition on a regular file: its objection, or null.
using Vet = const char* (*)(const struct stat&);

// What a file of this mode is when it is not a regular file; null for a regular file.
const char* irregular_kind(mode_t mode);

// Opens a regular file for reading. The name is looked at before it is opened, since opening a
// device or a FIFO can have effects of its own; it is opened without waiting for a FIFO's
// writer, should it have become one meanwhile, and what was opened is looked at again. The
// descriptor reads in the ordinary blocking way. A vet, when given, judges the file at both
// looks, so that nothing it objects to is opened, and the file opened must be the one looked
// at. Returns -1 and fills `why` on a refusal.
int open_for_reading(const std::string& path, Links links, Refusal& why, Vet vet = nullptr);

}  // namespace regular_file
