// The simulated firmware image: a 32-byte header (magic, total length, the revision the drive
// reports once it runs the image, checksum) followed by payload. The drive model uses it to
// tell a complete, valid image; make-sim-image writes it to files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

inline constexpr size_t kImageHeaderSize = 32;
inline constexpr char kImageMagic[8] = {'Q', 'M', 'S', 'I', 'M', 'F', 'W', '1'};
inline constexpr size_t kImageRevisionLength = 8;  // the IDENTIFY firmware field

// Header layout (little-endian): magic at 0, length at 8, revision at 12 (blank-padded),
// checksum at 20 (CRC-32 of the whole image with these four bytes taken as zero), 24..31 zero.
inline constexpr size_t kImageLengthOffset = 8;
inline constexpr size_t kImageRevisionOffset = 12;
inline constexpr size_t kImageChecksumOffset = 20;

struct ImageInfo {
  uint32_t length = 0;    // the whole image, header included, as the header states it
  std::string revision;   // trailing blanks removed
  bool complete = false;  // at least `length` bytes are present
  bool valid = false;     // complete, and the checksum over the first `length` bytes matches
};

// An image of `size` bytes that announces `revision` (at most 8 characters). Sizes below the
// header size give a truncated header, which never parses.
std::vector<uint8_t> make_image(uint32_t size, const std::string& revision);

// What the bytes say about themselves; nothing when they do not start with a header.
// Bytes beyond the stated length (block padding) are ignored. Without `verify` the checksum
// is not computed and `valid` stays false (a drive that takes any image has no use for it).
std::optional<ImageInfo> parse_image(const uint8_t* bytes, size_t size, bool verify = true);

// The checksum the header carries for these bytes of a whole image.
uint32_t image_checksum(const uint8_t* bytes, size_t size);

}  // namespace sim
