// The shared memory of a TCM-User device (LIO's user-space backstore), as the kernel lays it
// out in <linux/target_core_user.h>: the mailbox, the command ring and the data area, reached
// through /dev/uioN. Only this file's implementation sees the kernel header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tcmu {

// A piece of a command's data, in the shared data area.
struct Segment {
  uint8_t* base;
  size_t length;
};

struct Command {
  uint8_t cdb[32];
  size_t cdb_length;
  std::vector<Segment> data;
};

struct Answer {
  uint8_t status = 0;
  std::vector<uint8_t> sense;
  bool data_in = false;   // the caller's buffer was filled...
  uint32_t read_len = 0;  // ...with this many bytes
};

class Ring {
 public:
  // Opens and maps the device; exits the program with a message when it cannot.
  explicit Ring(const std::string& uio_path);
  int fd() const { return fd_; }
  // Answers every waiting command in order, then tells the kernel. False when none waited.
  bool serve(const std::function<Answer(const Command&)>& answer);

 private:
  int fd_ = -1;
  uint8_t* base_ = nullptr;
  uint8_t* ring_ = nullptr;
  uint32_t ring_size_ = 0;
  bool read_len_ = false;
};

// Length of a command block by its operation code's group.
size_t cdb_length(uint8_t opcode);

[[noreturn]] void die(const std::string& what);

}  // namespace tcmu
