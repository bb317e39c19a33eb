// make-sim-image <out-file> <size-bytes> <revision>: writes a simulated firmware image that
// the simulated drive accepts and that switches its revision to <revision>.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/console.h"
#include "sim/image_format.h"

namespace {

int usage() {
  console::err("usage: make-sim-image <out-file> <size-bytes> <revision>\n");
  console::err("  size-bytes: 32 to 4294967295; revision: 1 to 8 characters\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return usage();
  const std::string out_file = argv[1];
  const std::string revision = argv[3];

  errno = 0;
  char* end = nullptr;
  const unsigned long long size = std::strtoull(argv[2], &end, 10);
  if (errno != 0 || end == argv[2] || *end != '\0' || argv[2][0] == '-' ||
      size < sim::kImageHeaderSize || size > 0xFFFFFFFFull)
    return usage();
  if (revision.empty() || revision.size() > sim::kImageRevisionLength) return usage();

  const auto image = sim::make_image(static_cast<uint32_t>(size), revision);
  std::FILE* f = std::fopen(out_file.c_str(), "wb");
  if (f == nullptr) {
    console::err("make-sim-image: cannot create " + out_file + ": " + std::strerror(errno) + "\n");
    return 1;
  }
  const bool written = std::fwrite(image.data(), 1, image.size(), f) == image.size();
  if (std::fclose(f) != 0 || !written) {
    console::err("make-sim-image: cannot write " + out_file + "\n");
    std::remove(out_file.c_str());
    return 1;
  }
  return 0;
}
