// The Linux backend's translations, fed with sense data captured from Debian's 6.1 kernel
// (libata) in front of QEMU's AHCI disk, SAT-layout data, and broken buffers.
#include <gtest/gtest.h>
#include <scsi/sg.h>

#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "platform/linux/sg_translate.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string hex(const uint8_t* p, size_t n) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%02X ", p[i]);
    s += buf;
  }
  return s;
}

// --- errno --------------------------------------------------------------------------------------

struct ErrnoCase {
  int err;
  uint32_t general;
  uint32_t ioctl;
};

TEST(SgTranslate, ErrnoMapsToWindowsCodes) {
  const ErrnoCase cases[] = {
      {EACCES, 5, 5},           {EPERM, 5, 5},      {EROFS, 5, 5},      {EISDIR, 5, 5},
      {ENOENT, 2, 2},           {ENXIO, 2, 2},      {ENODEV, 2, 2},     {ENOTDIR, 3, 3},
      {EMFILE, 4, 4},           {EBADF, 6, 6},      {ENOMEM, 8, 8},     {ENOMEDIUM, 21, 21},
      {EBUSY, 170, 170},        {EAGAIN, 170, 170}, {EINVAL, 87, 87},   {ETIMEDOUT, 121, 121},
      {EIO, 1117, 1117},        {ENOTTY, 1, 1},     {ENOSYS, 1, 1},     {EOPNOTSUPP, 50, 1},
      {ENAMETOOLONG, 206, 206}, {EINTR, 995, 995},  {EFAULT, 998, 998}, {EXDEV, 31, 31},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    EXPECT_EQ(sg::windows_error_from_errno(c.err), c.general);
    EXPECT_EQ(sg::windows_error_from_ioctl_errno(c.err), c.ioctl);
  }
}

// --- Paths --------------------------------------------------------------------------------------

TEST(SgTranslate, DiskNamesFollowTheKernelsLetters) {
  const struct {
    uint32_t index;
    const char* name;
  } cases[] = {{0, "sda"},     {1, "sdb"},       {25, "sdz"},      {26, "sdaa"},
               {27, "sdab"},   {51, "sdaz"},     {52, "sdba"},     {701, "sdzz"},
               {702, "sdaaa"}, {18277, "sdzzz"}, {18278, "sdaaaa"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.index);
    EXPECT_EQ(sg::scsi_disk_name(c.index), c.name);
  }
}

TEST(SgTranslate, DevicePathsAsTyped) {
  const struct {
    std::u16string typed;
    std::string opened;
  } cases[] = {
      {u"\\\\.\\PhysicalDrive0", "/dev/sda"},
      {u"\\\\.\\PhysicalDrive1", "/dev/sdb"},
      {u"\\\\.\\physicaldrive2", "/dev/sdc"},
      {u"\\\\.\\PHYSICALDRIVE26", "/dev/sdaa"},
      {u"\\\\.\\PhysicalDrive999999999", "/dev/" + sg::scsi_disk_name(999999999)},
      // Not a drive number Windows knows: left alone, so the open fails as it would there.
      {u"\\\\.\\PhysicalDrive01", "\\\\.\\PhysicalDrive01"},
      {u"\\\\.\\PhysicalDrive", "\\\\.\\PhysicalDrive"},
      {u"\\\\.\\PhysicalDrive1x", "\\\\.\\PhysicalDrive1x"},
      {u"\\\\.\\PhysicalDrive-1", "\\\\.\\PhysicalDrive-1"},
      {u"\\\\.\\PhysicalDrive1234567890", "\\\\.\\PhysicalDrive1234567890"},
      {u"//./PhysicalDrive0", "//./PhysicalDrive0"},
      {u"\\\\?\\PhysicalDrive0", "\\\\?\\PhysicalDrive0"},
      {u"/dev/sda", "/dev/sda"},
      {u"/dev/sg0", "/dev/sg0"},
      {u"", ""},
      {u"/tmp/caf\u00E9", "/tmp/caf\xC3\xA9"},
      // A byte that was not UTF-8 on the command line comes back as that byte.
      {std::u16string(u"/tmp/a") + char16_t(0xDCFF), "/tmp/a\xFF"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.opened);
    EXPECT_EQ(sg::linux_device_path(c.typed), c.opened);
  }
}

TEST(SgTranslate, IdlunUnpacksTheAddress) {
  const struct {
    uint32_t dev_id;
    uint8_t port, path, target, lun;
  } cases[] = {
      {0x00000000, 0, 0, 0, 0},
      {0x02000000, 2, 0, 0, 0},
      {0x01020304, 1, 2, 4, 3},
      {0xFF00FF01, 0xFF, 0, 1, 0xFF},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dev_id);
    const SCSI_ADDRESS a = sg::address_from_idlun(c.dev_id);
    EXPECT_EQ(a.Length, 8u);
    EXPECT_EQ(a.PortNumber, c.port);
    EXPECT_EQ(a.PathId, c.path);
    EXPECT_EQ(a.TargetId, c.target);
    EXPECT_EQ(a.Lun, c.lun);
  }
}

// --- SCSI request fields -----------------------------------------------------------------------

TEST(SgTranslate, DataDirection) {
  const struct {
    uint8_t data_in;
    uint32_t length;
    int direction;
  } cases[] = {
      {SCSI_IOCTL_DATA_IN, 512, SG_DXFER_FROM_DEV},
      {SCSI_IOCTL_DATA_OUT, 512, SG_DXFER_TO_DEV},
      {SCSI_IOCTL_DATA_UNSPECIFIED, 512, SG_DXFER_NONE},
      {SCSI_IOCTL_DATA_IN, 0, SG_DXFER_NONE},
      {SCSI_IOCTL_DATA_OUT, 0, SG_DXFER_NONE},
      {7, 512, SG_DXFER_NONE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.data_in) * 10000 + static_cast<int>(c.length));
    EXPECT_EQ(sg::sg_direction_from_data_in(c.data_in, c.length), c.direction);
  }
}

TEST(SgTranslate, TimeoutInMilliseconds) {
  const struct {
    uint32_t seconds, ms;
  } cases[] = {{0, 0},
               {5, 5000},
               {60, 60000},
               {4294967, 4294967000u},
               {4294968, UINT_MAX},
               {UINT_MAX, UINT_MAX}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(sg::timeout_ms_from_seconds(c.seconds), c.ms);
  }
}

TEST(SgTranslate, RequestsEndedWithoutADeviceStatus) {
  const struct {
    uint8_t status;
    uint16_t host, driver;
    uint32_t error;
  } cases[] = {
      {0x00, 0x00, 0x00, 0},     // clean
      {0x02, 0x00, 0x08, 0},     // CHECK CONDITION with sense: the device answered
      {0x00, 0x00, 0x08, 0},     // sense beside GOOD
      {0x00, 0x03, 0x00, 121},   // DID_TIME_OUT
      {0x00, 0x00, 0x06, 121},   // DRIVER_TIMEOUT
      {0x00, 0x01, 0x00, 1167},  // DID_NO_CONNECT
      {0x00, 0x04, 0x00, 1167},  // DID_BAD_TARGET
      {0x00, 0x02, 0x00, 170},   // DID_BUS_BUSY
      {0x00, 0x05, 0x00, 995},   // DID_ABORT
      {0x00, 0x07, 0x00, 1117},  // DID_ERROR
      {0x00, 0x08, 0x00, 1117},  // DID_RESET
      {0x00, 0x00, 0x04, 1117},  // DRIVER_ERROR
      {0x00, 0x00, 0x01, 170},   // DRIVER_BUSY
      {0x02, 0x03, 0x00, 0},     // a status came back: judged by the caller
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status * 0x10000 + c.host * 0x100 + c.driver);
    sat::Answer a;
    a.host_status = c.host;
    a.driver_status = c.driver;
    a.status = c.status;
    const sat::Outcome o = sat::judge_answer(a, false);
    EXPECT_EQ(o.answered, c.error == 0);
    EXPECT_EQ(o.answered ? 0u : o.error, c.error);
  }
}

// --- ATA PASS-THROUGH (16) ---------------------------------------------------------------------

struct CdbCase {
  const char* name;
  uint16_t flags;
  uint32_t length;
  Bytes previous;  // 8
  Bytes current;   // 8
  Bytes cdb;       // 16
  int direction;
};

TEST(SgTranslate, AtaPassThroughCommandBlocks) {
  const Bytes zero(8, 0);
  const Bytes upper = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  const Bytes lower = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8};
  // clang-format off
  const CdbCase cases[] = {
      {"IDENTIFY", 0x03, 512, zero, {0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0xEC, 0x00}, {0x85, 0x08, 0x2E, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0}, SG_DXFER_FROM_DEV},
      {"READ LOG EXT", 0x0B, 512, zero, {0x00, 0x01, 0x30, 0x03, 0x00, 0x00, 0x2F, 0x00}, {0x85, 0x09, 0x2E, 0, 0, 0, 0x01, 0, 0x30, 0, 0x03, 0, 0, 0, 0x2F, 0}, SG_DXFER_FROM_DEV},
      {"48-bit upper bytes", 0x0B, 512, upper, lower, {0x85, 0x09, 0x2E, 0x11, 0xA1, 0x22, 0xA2, 0x33, 0xA3, 0x44, 0xA4, 0x55, 0xA5, 0xA6, 0xA7, 0}, SG_DXFER_FROM_DEV},
      {"28-bit ignores the previous task file", 0x03, 512, upper, lower, {0x85, 0x08, 0x2E, 0, 0xA1, 0, 0xA2, 0, 0xA3, 0, 0xA4, 0, 0xA5, 0xA6, 0xA7, 0}, SG_DXFER_FROM_DEV},
      {"DOWNLOAD MICROCODE out", 0x05, 512, zero, {0x07, 0x01, 0x00, 0x00, 0x00, 0x40, 0x92, 0x00}, {0x85, 0x0A, 0x26, 0, 0x07, 0, 0x01, 0, 0, 0, 0, 0, 0, 0x40, 0x92, 0}, SG_DXFER_TO_DEV},
      {"non-data", 0x01, 0, zero, {0x0F, 0x00, 0x00, 0x00, 0x00, 0xA0, 0x92, 0x00}, {0x85, 0x06, 0x20, 0, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0, 0xA0, 0x92, 0}, SG_DXFER_NONE},
      {"data flag without data", 0x05, 0, zero, {0x0F, 0x00, 0x00, 0x00, 0x00, 0xA0, 0x92, 0x00}, {0x85, 0x06, 0x20, 0, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0, 0xA0, 0x92, 0}, SG_DXFER_NONE},
      {"DMA in", 0x13, 4096, zero, {0x00, 0x08, 0x00, 0x00, 0x00, 0x40, 0xC8, 0x00}, {0x85, 0x0C, 0x2E, 0, 0, 0, 0x08, 0, 0, 0, 0, 0, 0, 0x40, 0xC8, 0}, SG_DXFER_FROM_DEV},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ATA_PASS_THROUGH_DIRECT r{};
    r.Length = sizeof r;
    r.AtaFlags = c.flags;
    r.DataTransferLength = c.length;
    std::copy(c.previous.begin(), c.previous.end(), r.PreviousTaskFile);
    std::copy(c.current.begin(), c.current.end(), r.CurrentTaskFile);
    const auto cdb = sg::build_ata_passthrough16(r);
    ASSERT_TRUE(cdb.has_value());
    EXPECT_EQ(hex(cdb->bytes, 16), hex(c.cdb.data(), c.cdb.size()));
    EXPECT_EQ(cdb->direction, c.direction);
  }
}

TEST(SgTranslate, BothDataFlagsAreRefused) {
  ATA_PASS_THROUGH_DIRECT r{};
  r.AtaFlags = ATA_FLAGS_DATA_IN | ATA_FLAGS_DATA_OUT;
  r.DataTransferLength = 512;
  EXPECT_FALSE(sg::build_ata_passthrough16(r).has_value());
}

// --- Sense data ------------------------------------------------------------------------------

struct SenseCase {
  const char* name;
  Bytes sense;
  bool present;
  OutputRegisters regs;  // error, count, lba low/mid/high, device, status, upper bytes
};

const std::vector<SenseCase>& sense_cases() {
  // clang-format off
  static const std::vector<SenseCase> cases = {
      // Debian 6.1, D_SENSE=0: registers in bytes 8..11, LBA low in byte 17.
      {"fixed, kernel layout, READ LOG EXT aborted", {0x70, 0x00, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x04, 0x41, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x80, 0x30}, true, {0x04, 0x01, 0x30, 0x00, 0x00, 0x00, 0x41, 0, 0, 0, 0}},
      {"fixed, kernel layout, DOWNLOAD MICROCODE aborted", {0x70, 0x00, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x04, 0x41, 0x40, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, true, {0x04, 0x01, 0x00, 0x00, 0x00, 0x40, 0x41, 0, 0, 0, 0}},
      {"fixed, kernel layout, IDENTIFY with CK_COND", {0x70, 0x00, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00, 0x58, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, true, {0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x58, 0, 0, 0, 0}},
      {"fixed, kernel layout, whole LBA when more was written", {0x70, 0x00, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x04, 0x51, 0xE0, 0x02, 0x00, 0x00, 0x00, 0x00, 0x80, 0x11, 0x22, 0x33}, true, {0x04, 0x02, 0x11, 0x22, 0x33, 0xE0, 0x51, 0, 0, 0, 0}},
      {"fixed, kernel layout, cut after the registers", {0x70, 0x00, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x04, 0x41, 0x40, 0x01}, true, {0x04, 0x01, 0x00, 0x00, 0x00, 0x40, 0x41, 0, 0, 0, 0}},
      // SAT's own layout: INFORMATION = error, status, device, count; LBA in 9..11.
      {"fixed, SAT layout", {0x70, 0x00, 0x01, 0x00, 0x50, 0x40, 0x01, 0x0a, 0x80, 0x30, 0x03, 0x00, 0x00, 0x1d, 0x00, 0x00, 0x00, 0x00}, true, {0x00, 0x01, 0x30, 0x03, 0x00, 0x40, 0x50, 0, 0, 0, 0}},
      {"fixed, SAT layout, VALID bit set, aborted", {0xF0, 0x00, 0x0b, 0x04, 0x51, 0x40, 0x00, 0x0a, 0x00, 0x10, 0x20, 0x30, 0x00, 0x1d, 0x00, 0x00, 0x00, 0x00}, true, {0x04, 0x00, 0x10, 0x20, 0x30, 0x40, 0x51, 0, 0, 0, 0}},
      // Descriptor format (D_SENSE=1) with the ATA status return descriptor.
      {"descriptor, IDENTIFY with CK_COND", {0x72, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0e, 0x09, 0x0c, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x58}, true, {0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x58, 0, 0, 0, 0}},
      {"descriptor, READ LOG EXT aborted (EXTEND)", {0x72, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0e, 0x09, 0x0c, 0x01, 0x04, 0x00, 0x01, 0x00, 0x30, 0x00, 0x03, 0x00, 0x00, 0x00, 0x41}, true, {0x04, 0x01, 0x30, 0x03, 0x00, 0x00, 0x41, 0, 0, 0, 0}},
      {"descriptor, DOWNLOAD MICROCODE aborted", {0x72, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0e, 0x09, 0x0c, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x41}, true, {0x04, 0x01, 0x00, 0x00, 0x00, 0x40, 0x41, 0, 0, 0, 0}},
      {"descriptor, upper bytes with EXTEND", {0x72, 0x01, 0x00, 0x1d, 0x00, 0x00, 0x00, 0x0e, 0x09, 0x0c, 0x01, 0x00, 0xA1, 0xA2, 0xB1, 0xB2, 0xC1, 0xC2, 0xD1, 0xD2, 0x40, 0x50}, true, {0x00, 0xA2, 0xB2, 0xC2, 0xD2, 0x40, 0x50, 0xA1, 0xB1, 0xC1, 0xD1}},
      {"descriptor, upper bytes dropped without EXTEND", {0x72, 0x01, 0x00, 0x1d, 0x00, 0x00, 0x00, 0x0e, 0x09, 0x0c, 0x00, 0x00, 0xA1, 0xA2, 0xB1, 0xB2, 0xC1, 0xC2, 0xD1, 0xD2, 0x40, 0x50}, true, {0x00, 0xA2, 0xB2, 0xC2, 0xD2, 0x40, 0x50, 0, 0, 0, 0}},
      {"descriptor after another descriptor", {0x72, 0x01, 0x00, 0x1d, 0x00, 0x00, 0x00, 0x1a, 0x00, 0x0a, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0x0c, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x50}, true, {0x00, 0x01, 0x00, 0x00, 0x00, 0x40, 0x50, 0, 0, 0, 0}},
      // Buffers without registers.
      {"empty", {}, false, {}},
      {"garbage", {0xde, 0xad, 0xbe, 0xef, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e}, false, {}},
      {"all ones", Bytes(32, 0xFF), false, {}},
      {"all zeros", Bytes(32, 0x00), false, {}},
      {"descriptor, lengths running past the end", {0x72, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff, 0x01, 0xff, 0x09, 0x0c}, false, {}},
      {"descriptor, ATA descriptor cut short", {0x72, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0e, 0x09, 0x0c, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00}, false, {}},
      {"descriptor, ATA descriptor too short", {0x72, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0c, 0x09, 0x0a, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, false, {}},
      {"descriptor, no ATA descriptor", {0x72, 0x05, 0x24, 0x00, 0x00, 0x00, 0x00, 0x00}, false, {}},
      {"fixed, UNIT ATTENTION", {0x70, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00, 0x00, 0x00, 0x00, 0x29, 0x00, 0x00, 0x00, 0x00, 0x00}, false, {}},
      {"fixed, SAT layout cut before its ASC/ASCQ", {0x70, 0x00, 0x01, 0x00, 0x50, 0x40, 0x01, 0x01, 0x80, 0x30}, false, {}},
      {"fixed, ILLEGAL REQUEST", {0x70, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00}, false, {}},
      {"fixed, header only", {0x70, 0x00, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x00}, false, {}},
      {"too short for a header", {0x70, 0x00, 0x0b}, false, {}},
      {"deferred error with registers", {0x71, 0x00, 0x0b, 0x04, 0x51, 0x40, 0x00, 0x0a, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, false, {}},
  };
  // clang-format on
  return cases;
}

TEST(SgTranslate, RegistersFromSenseData) {
  for (const auto& c : sense_cases()) {
    SCOPED_TRACE(c.name);
    const auto r = sat::decode_ata_registers(c.sense);
    ASSERT_EQ(r.has_value(), c.present);
    if (!r) continue;
    EXPECT_EQ(r->error, c.regs.error);
    EXPECT_EQ(r->count, c.regs.count);
    EXPECT_EQ(r->lba_low, c.regs.lba_low);
    EXPECT_EQ(r->lba_mid, c.regs.lba_mid);
    EXPECT_EQ(r->lba_high, c.regs.lba_high);
    EXPECT_EQ(r->device, c.regs.device);
    EXPECT_EQ(r->status, c.regs.status);
    EXPECT_EQ(r->count_15_8, c.regs.count_15_8);
    EXPECT_EQ(r->lba_low_15_8, c.regs.lba_low_15_8);
    EXPECT_EQ(r->lba_mid_15_8, c.regs.lba_mid_15_8);
    EXPECT_EQ(r->lba_high_15_8, c.regs.lba_high_15_8);
  }
}

TEST(SgTranslate, SenseKeyAndCodes) {
  const struct {
    Bytes sense;
    uint8_t key, asc, ascq;
  } cases[] = {
      // clang-format off
      {{0x70, 0x00, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x04, 0x41, 0x00, 0x01, 0x00, 0x00}, 0x0b, 0x00, 0x00},
      {{0x70, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00, 0x00, 0x00, 0x00, 0x24, 0x01}, 0x05, 0x24, 0x01},
      {{0xF1, 0x00, 0x63, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00, 0x00, 0x00, 0x00, 0x29, 0x02}, 0x03, 0x29, 0x02},
      // clang-format on
      {{0x72, 0x01, 0x00, 0x1d}, 0x01, 0x00, 0x1d},
      {{0x73, 0x06, 0x29, 0x00}, 0x06, 0x29, 0x00},
      {{0x70, 0x00, 0x06}, 0x06, 0x00, 0x00},
      {{}, 0, 0, 0},
      {{0x12, 0x05, 0x20, 0x00}, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(hex(c.sense.data(), c.sense.size()));
    const sat::SenseCode code = sat::sense_code(c.sense);
    EXPECT_EQ(code.key, c.key);
    EXPECT_EQ(code.asc, c.asc);
    EXPECT_EQ(code.ascq, c.ascq);
  }
}

TEST(SgTranslate, AtaOutcome) {
  const Bytes aborted_fixed = {0x70, 0x00, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x04,
                               0x41, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x80, 0x30};
  const Bytes identify_fixed = {0x70, 0x00, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00,
                                0x58, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  const Bytes aborted_no_registers = {0x70, 0x00, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00,
                                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  const Bytes bad_opcode = {0x70, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00,
                            0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00};
  const Bytes bad_field = {0x72, 0x05, 0x24, 0x00, 0x00, 0x00, 0x00, 0x00};
  const Bytes bad_medium = {0x70, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00,
                            0x00, 0x00, 0x00, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00};
  // A MEDIUM ERROR whose INFORMATION field holds the failing LBA, not registers.
  const Bytes medium_lba = {0x70, 0x00, 0x03, 0x00, 0x50, 0x00, 0x00, 0x0a, 0x00,
                            0x00, 0x00, 0x00, 0x11, 0x04, 0x00, 0x00, 0x00, 0x00};
  const Bytes garbage = {0xde, 0xad, 0xbe, 0xef, 0x00, 0x11, 0x22, 0x33, 0x44};
  // Deferred: an earlier command's refusal, not this block's.
  const Bytes deferred_bad_field = {0x73, 0x05, 0x24, 0x00, 0x00, 0x00, 0x00, 0x00};
  const struct {
    const char* name;
    uint8_t scsi_status;
    Bytes sense;
    bool carried;
    uint32_t error_code;
    uint8_t status, error;
  } cases[] = {
      {"aborted, registers", 0x02, aborted_fixed, true, 0, 0x41, 0x04},
      {"CK_COND success on QEMU", 0x02, identify_fixed, true, 0, 0x58, 0x00},
      {"GOOD, nothing back", 0x00, {}, true, 0, 0x50, 0x00},
      {"CONDITION MET, nothing back", 0x04, {}, true, 0, 0x50, 0x00},
      {"GOOD with registers", 0x00, identify_fixed, true, 0, 0x58, 0x00},
      {"CHECK CONDITION, no sense", 0x02, {}, true, 0, 0x51, 0x04},
      {"ABORTED COMMAND, no registers", 0x02, aborted_no_registers, true, 0, 0x51, 0x04},
      {"MEDIUM ERROR, no registers", 0x02, bad_medium, true, 0, 0x51, 0x04},
      {"MEDIUM ERROR, LBA in INFORMATION", 0x02, medium_lba, true, 0, 0x51, 0x04},
      {"CHECK CONDITION, garbage", 0x02, garbage, true, 0, 0x51, 0x04},
      {"no ATA PASS-THROUGH: opcode", 0x02, bad_opcode, false, 1, 0, 0},
      {"no ATA PASS-THROUGH: field", 0x02, bad_field, false, 1, 0, 0},
      {"deferred ILLEGAL REQUEST", 0x02, deferred_bad_field, true, 0, 0x51, 0x04},
      {"BUSY", 0x08, {}, false, 170, 0, 0},
      {"TASK SET FULL", 0x28, {}, false, 170, 0, 0},
      {"RESERVATION CONFLICT", 0x18, {}, false, 1117, 0, 0},
      {"ACA ACTIVE", 0x30, {}, false, 1117, 0, 0},
      {"TASK ABORTED", 0x40, aborted_fixed, false, 1117, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sat::Answer a;
    a.status = c.scsi_status;
    a.sense = c.sense;
    const sg::AtaOutcome o = sg::ata_outcome(sat::judge_answer(a, true));
    EXPECT_EQ(o.carried, c.carried);
    if (!c.carried) {
      EXPECT_EQ(o.error_code, c.error_code);
      continue;
    }
    EXPECT_EQ(o.registers.status, c.status);
    EXPECT_EQ(o.registers.error, c.error);
  }
}

TEST(SgTranslate, TransferredLength) {
  const struct {
    uint32_t requested;
    int32_t resid;
    uint32_t moved;
  } cases[] = {{512, 0, 512},  {512, 512, 0}, {512, 12, 500},     {512, -1, 512},
               {512, 1000, 0}, {0, 0, 0},     {65536, 512, 65024}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.requested * 100000ull + static_cast<uint32_t>(c.resid));
    EXPECT_EQ(sg::transferred_length(c.requested, c.resid), c.moved);
  }
}

TEST(SgTranslate, AtaTransferredLengthDropsFailedCommands) {
  const struct {
    const char* name;
    uint8_t status;
    int32_t resid;
    uint32_t moved;
  } cases[] = {
      {"good", 0x50, 0, 512},
      {"QEMU's CK_COND success (DRQ still set)", 0x58, 0, 512},
      {"short", 0x50, 256, 256},
      // QEMU aborts READ LOG EXT; libata leaves resid at 0 although nothing came.
      {"aborted, resid 0", 0x41, 0, 0},
      {"aborted with DRDY and DSC", 0x51, 0, 0},
      {"device fault", 0x70, 0, 0},
      {"device fault and error", 0x71, 128, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OutputRegisters r{};
    r.status = c.status;
    EXPECT_EQ(sg::ata_transferred_length(512, c.resid, r), c.moved);
  }
}

}  // namespace
