#include "sim/tcmu/ring.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/uio.h>  // before the kernel header, whose own struct iovec would clash
#include <unistd.h>

#define __LINUX_UIO_H
#include <linux/target_core_user.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace tcmu {

void die(const std::string& what) {
  std::fprintf(stderr, "quillmark-tcmu-drive: %s (%s)\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

size_t cdb_length(uint8_t opcode) {
  switch (opcode >> 5) {
    case 0:
      return 6;
    case 4:
      return 16;
    case 5:
      return 12;
    default:
      return 10;
  }
}

Ring::Ring(const std::string& uio_path) {
  fd_ = open(uio_path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd_ < 0) die("cannot open " + uio_path);
  const std::string name = uio_path.substr(uio_path.find_last_of('/') + 1);
  const std::string size_path = "/sys/class/uio/" + name + "/maps/map0/size";
  std::ifstream f(size_path);
  std::string text;
  if (!(f >> text)) die("cannot read " + size_path);
  const size_t size = std::strtoull(text.c_str(), nullptr, 0);
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (p == MAP_FAILED) die("cannot map " + uio_path);
  base_ = static_cast<uint8_t*>(p);
  const auto* mb = reinterpret_cast<const tcmu_mailbox*>(base_);
  if (mb->version != TCMU_MAILBOX_VERSION) {
    errno = EPROTO;
    die("mailbox version " + std::to_string(mb->version));
  }
  read_len_ = (mb->flags & TCMU_MAILBOX_FLAG_CAP_READ_LEN) != 0;
  ring_ = base_ + mb->cmdr_off;
  ring_size_ = mb->cmdr_size;
}

bool Ring::serve(const std::function<Answer(const Command&)>& answer) {
  // The kernel moves the head, we move the tail; each on its own cache line.
  auto* tail_p = reinterpret_cast<uint32_t*>(base_ + offsetof(tcmu_mailbox, cmd_tail));
  auto* head_p = reinterpret_cast<uint32_t*>(base_ + offsetof(tcmu_mailbox, cmd_head));
  uint32_t tail = __atomic_load_n(tail_p, __ATOMIC_RELAXED);
  const uint32_t head = __atomic_load_n(head_p, __ATOMIC_ACQUIRE);
  if (tail == head) return false;
  Command cmd;
  while (tail != head) {
    auto* entry = reinterpret_cast<tcmu_cmd_entry*>(ring_ + tail);
    const uint32_t len_op = entry->hdr.len_op;
    const uint32_t op = len_op & TCMU_OP_MASK;
    if (op == TCMU_OP_CMD) {
      // The reply overlays the request: everything is copied out before anything is written.
      const uint8_t* cdb = base_ + entry->req.cdb_off;
      std::memset(cmd.cdb, 0, sizeof cmd.cdb);
      cmd.cdb_length = cdb_length(cdb[0]);
      std::memcpy(cmd.cdb, cdb, cmd.cdb_length);
      cmd.data.clear();
      const uint32_t count = entry->req.iov_cnt;
      const auto* iov = reinterpret_cast<const uint8_t*>(entry) + offsetof(tcmu_cmd_entry, req.iov);
      for (uint32_t i = 0; i < count; ++i) {
        iovec v;
        std::memcpy(&v, iov + i * sizeof v, sizeof v);
        cmd.data.push_back({base_ + reinterpret_cast<uintptr_t>(v.iov_base), v.iov_len});
      }

      const Answer a = answer(cmd);

      entry->rsp.scsi_status = a.status;
      std::memset(entry->rsp.sense_buffer, 0, sizeof entry->rsp.sense_buffer);
      std::memcpy(entry->rsp.sense_buffer, a.sense.data(),
                  std::min(a.sense.size(), sizeof entry->rsp.sense_buffer));
      // Without the length the kernel hands back data-in only with GOOD; with it, also under
      // CHECK CONDITION, which is how CK_COND answers a data-in command.
      if (a.data_in && read_len_) {
        entry->hdr.uflags |= TCMU_UFLAG_READ_LEN;
        entry->rsp.read_len = a.read_len;
      }
    } else if (op != TCMU_OP_PAD && op != TCMU_OP_TMR) {
      entry->hdr.uflags |= TCMU_UFLAG_UNKNOWN_OP;
    }
    tail = (tail + (len_op & ~static_cast<uint32_t>(TCMU_OP_MASK))) % ring_size_;
    __atomic_store_n(tail_p, tail, __ATOMIC_RELEASE);
  }
  uint32_t poke = 0;
  if (::write(fd_, &poke, sizeof poke) != sizeof poke) die("cannot notify the kernel");
  return true;
}

}  // namespace tcmu
