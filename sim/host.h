// The simulator's side of the host it runs on: its process, the files it reads and writes
// (the image, the state file), the byte-range locks that share the state and the drive claims
// between runs, and the operator's stop signals. One implementation per system, in sim/linux/
// and sim/windows/, as the tool's own backends are; the rest of the simulator is the same on
// every system.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>

namespace sim::host {

int process_id();

// --- Files ---------------------------------------------------------------------------------

// Opens an image file for reading, following links. On failure returns null with the system's
// text in error_text, or with kind set to what stands at the name instead of a regular file.
std::FILE* open_image(const std::u16string& path, const char*& kind, std::string& error_text);

enum class Found { Nothing, Text, Refused };
// What is at the path: nothing, the text of a regular file (at most limit bytes of it), or
// something refused with a one-line reason. Anything but a regular file, a symbolic link
// included (a save would replace the link, not what it names), is refused without being
// opened for long, and a FIFO without waiting for a writer.
Found read_text(const std::string& path, size_t limit, std::string& text, std::string& reason);

// Whether the name is a folder: an existing directory, or a name that ends in a separator.
bool names_folder(const std::string& path);

// Creates a file of our own beside the path with open_new (the system's exclusive create of a
// name: a descriptor, or -1 with errno), never one that is there already. The name carries the
// process id and a count, so that a file a killed run left behind is passed by, never reused,
// and never stands in the way.
template <typename OpenNew>
int create_temporary(const std::string& path, std::string& temp, OpenNew open_new) {
  static unsigned count = 0;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    temp = path + ".tmp-" + std::to_string(process_id()) + "-" + std::to_string(count++);
    const int fd = open_new(temp);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// Puts the text at the path in one step: written into a new temporary file beside it (a name
// no other file has), made durable, and renamed over the path, so that an interrupt or a power
// cut leaves the old text or the new one. A file replaced keeps its permissions and owner;
// where the owner cannot be kept, nothing is replaced. The stop signals wait meanwhile.
bool replace_text(const std::string& path, const std::string& text, std::string& reason);

// --- Locks ---------------------------------------------------------------------------------

// The lock file at the path, made when missing: a descriptor, or -1 with the reason (empty
// where this system's simulator shares nothing between runs).
int open_lock_file(const std::string& path, std::string& reason);
void close_lock_file(int fd);

enum class Lock { Taken, Held, Failed };
// Takes one byte of the lock file: at once (Held when another process has it), or waiting
// until it is free or a signal comes (Held then). Failed with the reason when the system
// refuses.
Lock lock_byte(int fd, int64_t offset, bool wait, std::string& reason);
void unlock_byte(int fd, int64_t offset);
// The process that holds the byte, 0 when none or unknown.
uint32_t byte_holder(int fd, int64_t offset);

// --- Stop signals --------------------------------------------------------------------------

// The operator's stop signals, taken as the tool takes them (a no-op where the simulator plays
// them only).
void install_stop_handlers();
bool stop_signalled();

}  // namespace sim::host
