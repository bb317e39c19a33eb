#include "sim/image_format.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace sim {
namespace {

const std::array<uint32_t, 256>& crc_table() {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  return table;
}

uint32_t crc_update(uint32_t crc, const uint8_t* bytes, size_t size) {
  const auto& t = crc_table();
  for (size_t i = 0; i < size; ++i) crc = t[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

uint32_t image_checksum(const uint8_t* bytes, size_t size) {
  static const uint8_t zeros[4] = {};
  uint32_t crc = 0xFFFFFFFFu;
  if (size < kImageChecksumOffset + 4) return ~crc_update(crc, bytes, size);
  crc = crc_update(crc, bytes, kImageChecksumOffset);
  crc = crc_update(crc, zeros, 4);
  crc = crc_update(crc, bytes + kImageChecksumOffset + 4, size - kImageChecksumOffset - 4);
  return ~crc;
}

std::vector<uint8_t> make_image(uint32_t size, const std::string& revision) {
  std::vector<uint8_t> image(std::max<size_t>(size, kImageHeaderSize), 0);
  std::memcpy(image.data(), kImageMagic, sizeof kImageMagic);
  put32(image.data() + kImageLengthOffset, size);
  std::memset(image.data() + kImageRevisionOffset, ' ', kImageRevisionLength);
  std::memcpy(image.data() + kImageRevisionOffset, revision.data(),
              std::min(revision.size(), kImageRevisionLength));
  // A payload that differs from block to block, so a misplaced segment changes the checksum.
  uint32_t state = 0x2545F491u ^ size;
  for (size_t i = kImageHeaderSize; i < image.size(); ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    image[i] = static_cast<uint8_t>(state);
  }
  image.resize(size);
  if (size >= kImageHeaderSize)
    put32(image.data() + kImageChecksumOffset, image_checksum(image.data(), size));
  return image;
}

std::optional<ImageInfo> parse_image(const uint8_t* bytes, size_t size, bool verify) {
  if (size < kImageHeaderSize || std::memcmp(bytes, kImageMagic, sizeof kImageMagic) != 0)
    return std::nullopt;
  ImageInfo info;
  info.length = get32(bytes + kImageLengthOffset);
  info.revision.assign(reinterpret_cast<const char*>(bytes + kImageRevisionOffset),
                       kImageRevisionLength);
  while (!info.revision.empty() && info.revision.back() == ' ') info.revision.pop_back();
  info.complete = info.length >= kImageHeaderSize && size >= info.length;
  info.valid = verify && info.complete &&
               image_checksum(bytes, info.length) == get32(bytes + kImageChecksumOffset);
  return info;
}

}  // namespace sim
