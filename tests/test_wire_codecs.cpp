// The register codecs of the direct ATA pass-through task files and of the SATA FISes: where
// every register sits, in literal bytes, and that what a codec writes it reads back unchanged.
// Also the system's SHA-256 that the run report names an image by, against the standard's
// own examples.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "platform/fis.h"
#include "platform/host.h"
#include "platform/task_file.h"
#include "support/helpers.h"

namespace {

// Distinct values in every byte, so that a register in the wrong place cannot go unseen.
constexpr InputRegisters kInput{0xF1, 0xF0, 0xC1, 0xC0, 0xA3, 0xA0,
                                0xA4, 0xA1, 0xA5, 0xA2, 0xD0, 0xEF};
constexpr InputRegisters kInput28{0, 0xF0, 0, 0xC0, 0, 0xA0, 0, 0xA1, 0, 0xA2, 0xD0, 0xEF};
constexpr OutputRegisters kOutput{0x04, 0x01, 0x30, 0x03, 0x02, 0x40, 0x41, 0xA1, 0xB1, 0xC1, 0xD1};

// --- Task files ---------------------------------------------------------------------------

struct TaskFileCase {
  const char* name;
  uint16_t flags;
  InputRegisters in;
  Bytes previous, current;  // what goes out
  InputRegisters drive_sees;
};

void PrintTo(const TaskFileCase& c, std::ostream* os) { *os << c.name; }

// clang-format off
const TaskFileCase kTaskFiles[] = {
    {"Command48", ATA_FLAGS_48BIT_COMMAND, kInput,
     {0xF1, 0xC1, 0xA3, 0xA4, 0xA5, 0, 0, 0}, {0xF0, 0xC0, 0xA0, 0xA1, 0xA2, 0xD0, 0xEF, 0}, kInput},
    // A 28-bit command sends no upper halves, and the port reads none.
    {"Command28", 0, kInput,
     {0, 0, 0, 0, 0, 0, 0, 0}, {0xF0, 0xC0, 0xA0, 0xA1, 0xA2, 0xD0, 0xEF, 0}, kInput28},
};
// clang-format on

class TaskFiles : public testing::TestWithParam<TaskFileCase> {};

TEST_P(TaskFiles, InputGoesOutAndComesBack) {
  const TaskFileCase& c = GetParam();
  ATA_PASS_THROUGH_DIRECT r;
  std::memset(&r, 0xEE, sizeof r);
  r.AtaFlags = c.flags;
  task_file::encode_input(c.in, r);
  EXPECT_EQ(range(r.PreviousTaskFile, 0, 8), c.previous);
  EXPECT_EQ(range(r.CurrentTaskFile, 0, 8), c.current);
  EXPECT_EQ(task_file::decode_input(r), c.drive_sees);
  // Whatever a 28-bit request's previous task file holds, the port does not read it.
  std::memset(r.PreviousTaskFile, 0x55, sizeof r.PreviousTaskFile);
  if (c.flags == 0) {
    EXPECT_EQ(task_file::decode_input(r), c.drive_sees);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, TaskFiles, testing::ValuesIn(kTaskFiles), case_name<TaskFileCase>);

TEST(TaskFiles, OutputGoesBackAndIsRead) {
  ATA_PASS_THROUGH_DIRECT r;
  std::memset(&r, 0xEE, sizeof r);
  task_file::encode_output(kOutput, r);
  EXPECT_EQ(range(r.CurrentTaskFile, 0, 8), (Bytes{0x04, 0x01, 0x30, 0x03, 0x02, 0x40, 0x41, 0}));
  EXPECT_EQ(range(r.PreviousTaskFile, 0, 8), (Bytes{0, 0xA1, 0xB1, 0xC1, 0xD1, 0, 0, 0}));
  EXPECT_EQ(task_file::decode_output(r), kOutput);
}

// --- FISes -------------------------------------------------------------------------------

TEST(Fis, RegisterHostToDevice) {
  // Every register goes out, whatever the command's width.
  uint8_t f[fis::kSize];
  std::memset(f, 0xEE, sizeof f);
  fis::encode_register_h2d(kInput, f);
  EXPECT_EQ(range(f, 0, fis::kSize),
            (Bytes{0x27, 0x80, 0xEF, 0xF0, 0xA0, 0xA1, 0xA2, 0xD0, 0xA3, 0xA4,
                   0xA5, 0xF1, 0xC0, 0xC1, 0,    0,    0,    0,    0,    0}));
  EXPECT_EQ(fis::decode_register_h2d(f), kInput);
}

struct StatusFisCase {
  const char* name;
  Bytes frame;
  std::optional<fis::DeviceToHost> read;
};

void PrintTo(const StatusFisCase& c, std::ostream* os) { *os << c.name; }

// clang-format off
const StatusFisCase kStatusFises[] = {
    {"RegisterD2H",
     {0x34, 0x40, 0x41, 0x04, 0x30, 0x03, 0x02, 0x40, 0xB1, 0xC1, 0xD1, 0, 0x01, 0xA1, 0, 0, 0, 0, 0, 0},
     fis::DeviceToHost{fis::kTypeRegisterD2H, kOutput, 0x41}},
    // The Status as the data phase begins in byte 2, the one the command ends with in byte 15.
    {"PioSetup",
     {0x5F, 0x40, 0x58, 0x04, 0x30, 0x03, 0x02, 0x40, 0xB1, 0xC1, 0xD1, 0, 0x01, 0xA1, 0, 0x41, 0, 0, 0, 0},
     fis::DeviceToHost{fis::kTypePioSetup, kOutput, 0x58}},
    {"AllZeroCarriesNothing", Bytes(fis::kSize, 0), std::nullopt},
    {"OtherTypeCarriesNothing",
     {0x39, 0x40, 0x41, 0x04, 0x30, 0x03, 0x02, 0x40, 0, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0}, std::nullopt},
};
// clang-format on

class StatusFis : public testing::TestWithParam<StatusFisCase> {};

TEST_P(StatusFis, IsReadAndWrittenAlike) {
  const StatusFisCase& c = GetParam();
  EXPECT_EQ(fis::decode_device_to_host(c.frame.data()), c.read);
  if (!c.read) return;
  uint8_t f[fis::kSize];
  std::memset(f, 0xEE, sizeof f);
  if (c.read->type == fis::kTypePioSetup)
    fis::encode_pio_setup(c.read->registers, c.read->initial_status, f);
  else
    fis::encode_register_d2h(c.read->registers, f);
  EXPECT_EQ(range(f, 0, fis::kSize), c.frame);
}

INSTANTIATE_TEST_SUITE_P(Cases, StatusFis, testing::ValuesIn(kStatusFises),
                         case_name<StatusFisCase>);

// --- SHA-256 ------------------------------------------------------------------------------

struct DigestCase {
  const char* name;
  std::string message;
  const char* digest;
};

void PrintTo(const DigestCase& c, std::ostream* os) { *os << c.name; }

// The examples of FIPS 180-2 (appendix B) and the empty message.
const DigestCase kDigests[] = {
    {"Empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"OneBlock", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"TwoBlocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"MillionA", std::string(1000000, 'a'),
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

class Sha256 : public testing::TestWithParam<DigestCase> {};

TEST_P(Sha256, GivesTheStandardsDigest) {
  const DigestCase& c = GetParam();
  uint8_t digest[32];
  ASSERT_TRUE(platform_sha256(c.message.data(), c.message.size(), digest));
  std::string text;
  static const char kHex[] = "0123456789abcdef";
  for (uint8_t b : digest) {
    text += kHex[b >> 4];
    text += kHex[b & 0x0F];
  }
  EXPECT_EQ(text, c.digest);
}

INSTANTIATE_TEST_SUITE_P(Cases, Sha256, testing::ValuesIn(kDigests), case_name<DigestCase>);

}  // namespace
