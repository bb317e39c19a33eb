#include "sim/inquiry.h"

namespace sim {

void put_ascii(std::vector<uint8_t>& data, size_t at, size_t width, const std::string& text) {
  for (size_t i = 0; i < width; ++i)
    data[at + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
}

std::vector<uint8_t> standard_inquiry(const Drive& drive, const std::string& vendor,
                                      uint8_t version, size_t length) {
  std::vector<uint8_t> d(length, 0);
  d[0] = 0x00;  // direct-access block device
  d[2] = version;
  d[3] = 0x02;  // response data format
  d[4] = static_cast<uint8_t>(length - 5);
  put_ascii(d, 8, 8, vendor);
  put_ascii(d, 16, 16, drive.model);
  put_ascii(d, 32, 4, drive.firmware);
  return d;
}

}  // namespace sim
