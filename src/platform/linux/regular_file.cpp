#include "platform/linux/regular_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace regular_file {

const char* irregular_kind(mode_t mode) {
  if (S_ISREG(mode)) return nullptr;
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "of an unknown kind";
}

int open_for_reading(const std::string& path, Links links, Refusal& why, Vet vet) {
  why = Refusal{};
  struct stat before {};
  const int looked =
      links == Links::Follow ? stat(path.c_str(), &before) : lstat(path.c_str(), &before);
  if (looked != 0) {
    why.error = errno;
    return -1;
  }
  if ((why.kind = irregular_kind(before.st_mode)) != nullptr) return -1;
  if (vet != nullptr && (why.vetoed = vet(before)) != nullptr) return -1;
  const int fd = open(
      path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (links == Links::Refuse ? O_NOFOLLOW : 0));
  if (fd < 0) {
    why.error = errno;
    return -1;
  }
  struct stat now {};
  if (fstat(fd, &now) != 0)
    why.error = errno;
  else if ((why.kind = irregular_kind(now.st_mode)) == nullptr && vet != nullptr)
    why.vetoed = vet(now);
  if (why.error == 0 && why.kind == nullptr && why.vetoed == nullptr && vet != nullptr &&
      (now.st_dev != before.st_dev || now.st_ino != before.st_ino))
    why.vetoed = "replaced while it was opened";
  if (why.error != 0 || why.kind != nullptr || why.vetoed != nullptr) {
    close(fd);
    return -1;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

}  // namespace regular_file
