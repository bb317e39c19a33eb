// The bare minimum of a segmented download, as the yardstick for the tool's own: the image in
// one page-aligned buffer, and one SG_IO per segment carrying the command block the tool
// builds for "/s" (ATA PASS-THROUGH (16), PIO data-out, DOWNLOAD MICROCODE 0x03), nothing
// printed, nothing else sent. Exits 0 when every command came back GOOD.
//
//   sg_loop <device> <image> <segment blocks>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: sg_loop <device> <image> <segment blocks>\n");
    return 2;
  }
  const uint32_t segment = static_cast<uint32_t>(std::atoi(argv[3])) * 512;
  const int image = open(argv[2], O_RDONLY);
  struct stat st {};
  if (image < 0 || fstat(image, &st) != 0 || segment == 0) {
    std::perror(argv[2]);
    return 2;
  }
  const size_t size = static_cast<size_t>(st.st_size);
  const size_t padded = (size + 511) / 512 * 512;
  auto* buffer = static_cast<uint8_t*>(::operator new (padded, std::align_val_t{4096}));
  std::memset(buffer, 0, padded);
  if (read(image, buffer, size) != static_cast<ssize_t>(size)) {
    std::perror(argv[2]);
    return 2;
  }
  close(image);
  const int fd = open(argv[1], O_RDWR | O_NONBLOCK);
  if (fd < 0) {
    std::perror(argv[1]);
    return 2;
  }

  for (size_t at = 0; at < padded; at += segment) {
    const uint32_t length = static_cast<uint32_t>(padded - at < segment ? padded - at : segment);
    const uint32_t blocks = length / 512;
    const uint32_t offset = static_cast<uint32_t>(at / 512);
    // Features 0x03; block count in Count and LBA (7:0); block offset in LBA (23:8).
    uint8_t cdb[16] = {0x85, 0x0A, 0x06, 0, 0x03, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x92, 0};
    cdb[6] = static_cast<uint8_t>(blocks);
    cdb[8] = static_cast<uint8_t>(blocks >> 8);
    cdb[10] = static_cast<uint8_t>(offset);
    cdb[12] = static_cast<uint8_t>(offset >> 8);
    uint8_t sense[32] = {};
    sg_io_hdr_t io{};
    io.interface_id = 'S';
    io.dxfer_direction = SG_DXFER_TO_DEV;
    io.cmd_len = sizeof cdb;
    io.cmdp = cdb;
    io.mx_sb_len = sizeof sense;
    io.sbp = sense;
    io.dxfer_len = length;
    io.dxferp = buffer + at;
    io.timeout = 5000;
    if (ioctl(fd, SG_IO, &io) != 0) {
      std::perror("SG_IO");
      return 1;
    }
    if (io.status != 0 || io.host_status != 0 || (io.driver_status & 0x0F) != 0) {
      std::fprintf(stderr, "segment at block %u: status %02x host %u driver %u\n", offset,
                   io.status, io.host_status, io.driver_status);
      return 1;
    }
  }
  close(fd);
  return 0;
}
