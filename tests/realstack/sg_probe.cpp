// Sends a few fixed ATA PASS-THROUGH (16) command blocks to a drive through the platform's
// raw SCSI pass-through request and prints exactly what came back (status, sense bytes,
// bytes moved), one line per command. The real-stack test compares the tool's diagnostics
// with these bytes, so the probe interprets nothing itself.
//
//   sg_probe <device>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

struct Probe {
  const char* name;
  uint8_t cdb[16];
  uint8_t data_in;  // SCSI_IOCTL_DATA_*
  uint32_t length;
};

// The command blocks the tool itself sends for IDENTIFY DEVICE, READ LOG EXT of the
// IDENTIFY DEVICE data log page 3, and the first 32 KiB segment of a segmented download;
// plus IDENTIFY with CK_COND, to see the registers a successful command returns.
const Probe kProbes[] = {
    {"identify",
     {0x85, 0x08, 0x0E, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0},
     SCSI_IOCTL_DATA_IN,
     512},
    {"identify-ckcond",
     {0x85, 0x08, 0x2E, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0},
     SCSI_IOCTL_DATA_IN,
     512},
    {"readlog",
     {0x85, 0x09, 0x0E, 0, 0, 0, 0x01, 0, 0x30, 0, 0x03, 0, 0, 0, 0x2F, 0},
     SCSI_IOCTL_DATA_IN,
     512},
    {"download",
     {0x85, 0x0A, 0x06, 0, 0x03, 0, 0x40, 0, 0, 0, 0, 0, 0, 0x40, 0x92, 0},
     SCSI_IOCTL_DATA_OUT,
     32768},
};

std::string hex_bytes(const uint8_t* p, size_t n) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, i ? " %02x" : "%02x", p[i]);
    s += b;
  }
  return s;
}

// An ATA string field: two characters per word, the first in the high byte.
std::string ata_text(const uint8_t* p, size_t n) {
  std::string s;
  for (size_t k = 0; k + 1 < n; k += 2) {
    s += static_cast<char>(p[k + 1]);
    s += static_cast<char>(p[k]);
  }
  const size_t end = s.find_last_not_of(' ');
  return end == std::string::npos ? std::string() : s.substr(0, end + 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    console::err("usage: sg_probe <device>\n");
    return 2;
  }
  const Handle h = platform_open_drive(utf8_to_utf16(argv[1]));
  if (h == kInvalidHandle) {
    console::printf("open failed error=%u\n", platform_get_last_error());
    return 1;
  }
  SCSI_ADDRESS address{};
  if (platform_get_scsi_address(h, &address)) {
    console::printf("address port=%u path=%u target=%u lun=%u\n", address.PortNumber,
                    address.PathId, address.TargetId, address.Lun);
  } else {
    console::printf("address failed error=%u\n", platform_get_last_error());
  }
  for (const Probe& p : kProbes) {
    std::vector<uint8_t> data(p.length, 0);
    ScsiPassThroughRequest r{};
    r.sptd.Length = sizeof r.sptd;
    r.sptd.CdbLength = 16;
    r.sptd.SenseInfoLength = sizeof r.sense;
    r.sptd.SenseInfoOffset = offsetof(ScsiPassThroughRequest, sense);
    r.sptd.DataIn = p.data_in;
    r.sptd.DataTransferLength = p.length;
    r.sptd.DataBuffer = data.data();
    r.sptd.TimeOutValue = 5;
    std::memcpy(r.sptd.Cdb, p.cdb, sizeof p.cdb);
    r.total_length = sizeof r;
    if (!platform_scsi_passthrough(h, &r)) {
      console::printf("%s failed error=%u\n", p.name, platform_get_last_error());
      continue;
    }
    console::printf("%s status=%02x moved=%u sense=%s\n", p.name, r.sptd.ScsiStatus,
                    r.sptd.DataTransferLength, hex_bytes(r.sense, r.sptd.SenseInfoLength).c_str());
    if (p.cdb[14] == 0xEC) {
      console::printf("%s model=%s\n", p.name, ata_text(data.data() + 54, 40).c_str());
    }
  }
  platform_close(h);
  return 0;
}
