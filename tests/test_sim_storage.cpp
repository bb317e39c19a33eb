// The simulated storage world on its own: the drive model's answers, the SAT bridge's
// reading of command blocks and its sense data, the ATA port, handles, faults and the log.
// The transport's tests rely on all of this behaving like the real stacks.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sat.h"
#include "sim/sat_bridge.h"
#include "sim/world.h"
#include "support/helpers.h"

namespace {

using Kind = sim::LogEntry::Kind;

const std::u16string kDrive = u"\\\\.\\PhysicalDrive0";

// An ATA string field read back the way ATA stores it.
std::string ata_text(const Bytes& d, size_t offset, size_t n) {
  std::string s;
  for (size_t k = 0; k < n; k += 2) {
    s += static_cast<char>(d[offset + k + 1]);
    s += static_cast<char>(d[offset + k]);
  }
  return s;
}

uint16_t word(const Bytes& d, size_t w) {
  return static_cast<uint16_t>(d[2 * w] | d[2 * w + 1] << 8);
}

// ---------------------------------------------------------------------------------------
// IDENTIFY DEVICE data.

TEST(IdentifyData, StringsInAtaByteOrderPaddedWithBlanks) {
  sim::Drive d;
  d.serial = "AB12";
  d.firmware = "FW9";
  d.model = "Model X";
  const Bytes id = sim::identify_data(d);
  ASSERT_EQ(id.size(), 512u);
  EXPECT_EQ(id[20], 'B');
  EXPECT_EQ(id[21], 'A');
  EXPECT_EQ(ata_text(id, 20, 20), "AB12" + std::string(16, ' '));
  EXPECT_EQ(ata_text(id, 46, 8), "FW9     ");
  EXPECT_EQ(ata_text(id, 54, 40), "Model X" + std::string(33, ' '));
}

TEST(IdentifyData, LongTextsAreCutAtTheField) {
  sim::Drive d;
  d.model = std::string(45, 'M');
  d.serial = std::string(21, 'S');
  const Bytes id = sim::identify_data(d);
  EXPECT_EQ(ata_text(id, 54, 40), std::string(40, 'M'));
  EXPECT_EQ(ata_text(id, 20, 20), std::string(20, 'S'));
  EXPECT_EQ(id[19], 0);  // word 9 untouched
  EXPECT_EQ(id[94], 0);  // word 47 untouched
}

TEST(IdentifyData, WordsFromTheDriveAndAValidIntegrityWord) {
  sim::Drive d;
  d.word69 = 0x1234;
  d.word80 = 0x0F00;
  d.word119 = 0x0010;
  d.word128 = 0x000E;
  d.word234 = 3;
  d.word235 = 0x0400;
  const Bytes id = sim::identify_data(d);
  const struct {
    size_t w;
    uint16_t v;
  } words[] = {{69, 0x1234}, {80, 0x0F00}, {119, 0x0010}, {128, 0x000E}, {234, 3}, {235, 0x400}};
  for (const auto& x : words) EXPECT_EQ(word(id, x.w), x.v) << x.w;
  EXPECT_EQ(id[510], 0xA5);
  uint8_t sum = 0;
  for (uint8_t b : id) sum = static_cast<uint8_t>(sum + b);
  EXPECT_EQ(sum, 0);
}

// ---------------------------------------------------------------------------------------
// The drive's commands.

InputRegisters identify_tf() {
  InputRegisters tf{};
  tf.count_7_0 = 1;
  tf.command = 0xEC;
  return tf;
}

InputRegisters vendor_tf() {
  InputRegisters tf = identify_tf();
  tf.features_7_0 = 0x0B;
  tf.lba_7_0 = 0xDB;
  tf.lba_15_8 = 0x97;
  tf.lba_23_16 = 0x20;
  return tf;
}

InputRegisters read_log_tf(uint8_t log, uint8_t page, uint8_t count = 1) {
  InputRegisters tf{};
  tf.count_7_0 = count;
  tf.lba_7_0 = log;
  tf.lba_15_8 = page;
  tf.command = 0x2F;
  return tf;
}

enum class Expect { Identify, Vendor, LogPage, Nothing };

struct DriveCase {
  const char* name;
  InputRegisters tf{};
  sim::DataDir dir;
  uint32_t length;
  void (*mutate)(sim::Drive&);
  uint8_t status;
  uint8_t error;
  uint32_t bytes;
  Expect data;
};

void PrintTo(const DriveCase& c, std::ostream* os) { *os << c.name; }

void keep(sim::Drive&) {}
void no_vendor(sim::Drive& d) { d.answers_vendor_identify = false; }
void no_log(sim::Drive& d) { d.log_page3 = false; }
void force_all(sim::Drive& d) {
  d.faults.forced = true;
  d.faults.forced_status = 0x41;
  d.faults.forced_error = 0x10;
}
void force_other(sim::Drive& d) {
  force_all(d);
  d.faults.forced_command = 0x92;
}
void force_after_data(sim::Drive& d) {
  force_all(d);
  d.faults.forced_after_data = true;
}

class DriveCommand : public testing::TestWithParam<DriveCase> {};

TEST_P(DriveCommand, Answers) {
  const DriveCase& c = GetParam();
  sim::Drive drive;
  drive.log_page3_header = 0x8000000000030001ull;
  drive.log_page3_caps = 0x8000000C00000000ull;
  c.mutate(drive);
  Bytes buf(1024, 0xEE);
  uint32_t moved = 0;
  const OutputRegisters out = sim::execute_ata(drive, c.tf, c.dir, buf.data(), c.length, moved);
  EXPECT_EQ(out.status, c.status);
  EXPECT_EQ(out.error, c.error);
  EXPECT_EQ(moved, c.bytes);

  Bytes expected;
  if (c.data == Expect::Identify) expected = sim::identify_data(drive);
  if (c.data == Expect::Vendor) {
    expected.resize(512);
    for (size_t i = 0; i < 512; ++i) expected[i] = static_cast<uint8_t>(i ^ 0xA5);
  }
  if (c.data == Expect::LogPage) {
    expected.assign(512, 0);
    const uint8_t header[8] = {0x01, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x80};
    const uint8_t caps[8] = {0x00, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x80};
    std::memcpy(&expected[0], header, 8);
    std::memcpy(&expected[16], caps, 8);
  }
  expected.resize(c.bytes);
  EXPECT_EQ(range(buf.data(), 0, c.bytes), expected);
  // Nothing past what was delivered.
  EXPECT_EQ(range(buf.data(), c.bytes, buf.size() - c.bytes), Bytes(buf.size() - c.bytes, 0xEE));
}

const auto In = sim::DataDir::In;
const auto None = sim::DataDir::None;
const auto Out = sim::DataDir::Out;

InputRegisters with_command(uint8_t command) {
  InputRegisters tf{};
  tf.command = command;
  return tf;
}

InputRegisters features_0b_other_lba() {
  InputRegisters tf = vendor_tf();
  tf.lba_23_16 = 0x21;
  return tf;
}

InputRegisters read_log_page_hi() {
  InputRegisters tf = read_log_tf(0x30, 3);
  tf.lba_39_32 = 1;
  return tf;
}

// clang-format off
const DriveCase kDriveCases[] = {
    {"Identify", identify_tf(), In, 512, keep, 0x50, 0, 512, Expect::Identify},
    {"IdentifyLargerBuffer", identify_tf(), In, 1024, keep, 0x50, 0, 512, Expect::Identify},
    {"IdentifyShortBuffer", identify_tf(), In, 100, keep, 0x50, 0, 100, Expect::Identify},
    {"IdentifyWithoutDataIn", identify_tf(), Out, 512, keep, 0x51, 0x04, 0, Expect::Nothing},
    {"VendorVariant", vendor_tf(), In, 512, keep, 0x50, 0, 512, Expect::Vendor},
    {"VendorVariantRefused", vendor_tf(), In, 512, no_vendor, 0x51, 0x04, 0, Expect::Nothing},
    {"Features0BElsewhereIsIdentify", features_0b_other_lba(), In, 512, no_vendor, 0x50, 0, 512, Expect::Identify},
    {"LogPage3", read_log_tf(0x30, 3), In, 512, keep, 0x50, 0, 512, Expect::LogPage},
    {"LogPage3Absent", read_log_tf(0x30, 3), In, 512, no_log, 0x51, 0x04, 0, Expect::Nothing},
    {"OtherPage", read_log_tf(0x30, 2), In, 512, keep, 0x51, 0x04, 0, Expect::Nothing},
    {"PageNumberUpperByte", read_log_page_hi(), In, 512, keep, 0x51, 0x04, 0, Expect::Nothing},
    {"OtherLog", read_log_tf(0x31, 3), In, 512, keep, 0x51, 0x04, 0, Expect::Nothing},
    {"TwoPages", read_log_tf(0x30, 3, 2), In, 1024, keep, 0x51, 0x04, 0, Expect::Nothing},
    {"UnknownCommand", with_command(0xB0), None, 0, keep, 0x51, 0x04, 0, Expect::Nothing},
    {"ForcedAnswer", identify_tf(), In, 512, force_all, 0x41, 0x10, 0, Expect::Nothing},
    {"ForcedForAnotherCommand", identify_tf(), In, 512, force_other, 0x50, 0, 512, Expect::Identify},
    {"ForcedAfterData", identify_tf(), In, 512, force_after_data, 0x41, 0x10, 512, Expect::Identify},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, DriveCommand, testing::ValuesIn(kDriveCases), case_name<DriveCase>);

// ---------------------------------------------------------------------------------------
// Reading ATA PASS-THROUGH command blocks.

struct DecodeCase {
  const char* name;
  Bytes cdb;
  bool ok;
  uint8_t protocol = 0;
  bool extend = false, ck_cond = false, t_dir_in = false, byt_blok = false;
  uint8_t t_length = 0;
  Bytes registers = {};  // features, count, lba low, mid, high, device, command, then the upper
                         // halves of features, count, lba low, mid, high
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

Bytes registers_of(const InputRegisters& r) {
  return {r.features_7_0, r.count_7_0,     r.lba_7_0,    r.lba_15_8,  r.lba_23_16, r.device,
          r.command,      r.features_15_8, r.count_15_8, r.lba_31_24, r.lba_39_32, r.lba_47_40};
}

class Decode : public testing::TestWithParam<DecodeCase> {};

TEST_P(Decode, ReadsTheFields) {
  const DecodeCase& c = GetParam();
  sat::PassThrough pt;
  ASSERT_EQ(sat::parse_ata_passthrough(c.cdb.data(), c.cdb.size(), pt), c.ok);
  if (!c.ok) return;
  EXPECT_EQ(pt.protocol, c.protocol);
  EXPECT_EQ(pt.extend, c.extend);
  EXPECT_EQ(pt.ck_cond, c.ck_cond);
  EXPECT_EQ(pt.t_dir_in, c.t_dir_in);
  EXPECT_EQ(pt.byt_blok, c.byt_blok);
  EXPECT_EQ(pt.t_length, c.t_length);
  EXPECT_EQ(registers_of(pt.registers), c.registers);
}

// clang-format off
const DecodeCase kDecodeCases[] = {
    {"Sixteen48", {0x85, 0x09, 0x2E, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0}, true, 4, true, true, true, true, 2, {0x12, 0x14, 0x16, 0x18, 0x1A, 0x1B, 0x1C, 0x11, 0x13, 0x15, 0x17, 0x19}},
    // Without EXTEND the upper halves do not reach the drive.
    {"Sixteen28", {0x85, 0x0A, 0x06, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0}, true, 5, false, false, false, true, 2, {0x12, 0x14, 0x16, 0x18, 0x1A, 0x1B, 0x1C, 0, 0, 0, 0, 0}},
    {"Twelve", {0xA1, 0x07, 0x01, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0, 0}, true, 3, false, false, false, false, 1, {0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0, 0, 0, 0, 0}},
    {"SixteenTooShort", {0x85, 0x08, 0x0E, 0, 0, 0, 1, 0, 0, 0, 0, 0}, false},
    {"OtherOpcode", Bytes(16, 0), false},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, Decode, testing::ValuesIn(kDecodeCases), case_name<DecodeCase>);

// ---------------------------------------------------------------------------------------
// The SAT bridge through the platform call.

class Bridge : public testing::Test {
 protected:
  void SetUp() override {
    sim::reset_world();
    sim::Port& p = sim::add_port(kDrive);
    p.drive.model = "SIMULATED MODEL NAME LONG";
    p.drive.serial = "SER-42";
    p.drive.firmware = "AB12CD34";
    handle_ = platform_open_drive(kDrive);
    ASSERT_NE(handle_, kInvalidHandle);
  }
  sim::Port& port() { return sim::world().ports.front(); }

  // A request as a careful caller builds it.
  ScsiPassThroughRequest request(const Bytes& cdb, uint8_t data_in, uint32_t length) {
    ScsiPassThroughRequest r;
    std::memset(&r, 0, sizeof r);
    r.sptd.Length = sizeof r.sptd;
    r.sptd.CdbLength = static_cast<uint8_t>(cdb.size());
    std::memcpy(r.sptd.Cdb, cdb.data(), cdb.size());
    r.sptd.SenseInfoLength = sizeof r.sense;
    r.sptd.SenseInfoOffset = offsetof(ScsiPassThroughRequest, sense);
    r.sptd.DataIn = data_in;
    r.sptd.DataTransferLength = length;
    r.sptd.DataBuffer = length != 0 ? data_.data() : nullptr;
    r.sptd.TimeOutValue = 5;
    r.total_length = sizeof r;
    return r;
  }

  bool send(ScsiPassThroughRequest& r) { return platform_scsi_passthrough(handle_, &r); }

  Bytes sense(const ScsiPassThroughRequest& r) { return range(r.sense, 0, r.sptd.SenseInfoLength); }

  Handle handle_ = kInvalidHandle;
  Bytes data_ = Bytes(1024, 0xEE);
};

const Bytes kIdentify16 = {0x85, 0x08, 0x0E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0};
const Bytes kIdentify16CkCond = {0x85, 0x08, 0x2E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0};
const Bytes kUnknown16 = {0x85, 0x06, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xA0, 0xB0, 0};
const Bytes kUnknown16CkCond = {0x85, 0x07, 0x26, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xA0, 0xB0, 0};

TEST_F(Bridge, StandardInquiry) {
  ScsiPassThroughRequest r = request({0x12, 0, 0, 0, 0xFC, 0}, SCSI_IOCTL_DATA_IN, 252);
  ASSERT_TRUE(send(r));
  EXPECT_EQ(r.sptd.ScsiStatus, 0);
  EXPECT_EQ(r.sptd.SenseInfoLength, 0);
  ASSERT_EQ(r.sptd.DataTransferLength, 36u);
  EXPECT_EQ(data_[0], 0x00);
  EXPECT_EQ(data_[4], 31);
  EXPECT_EQ(std::string(data_.begin() + 8, data_.begin() + 36), "ATA     SIMULATED MODEL AB12");
}

TEST_F(Bridge, InquiryStopsAtTheAllocationLength) {
  ScsiPassThroughRequest r = request({0x12, 0, 0, 0, 8, 0}, SCSI_IOCTL_DATA_IN, 252);
  ASSERT_TRUE(send(r));
  EXPECT_EQ(r.sptd.DataTransferLength, 8u);
  EXPECT_EQ(data_[8], 0xEE);
}

TEST_F(Bridge, UnitSerialNumberPage) {
  ScsiPassThroughRequest r = request({0x12, 1, 0x80, 0, 0xFC, 0}, SCSI_IOCTL_DATA_IN, 252);
  ASSERT_TRUE(send(r));
  EXPECT_EQ(r.sptd.ScsiStatus, 0);
  ASSERT_EQ(r.sptd.DataTransferLength, 24u);
  EXPECT_EQ(range(data_.data(), 0, 4), (Bytes{0, 0x80, 0, 20}));
  EXPECT_EQ(std::string(data_.begin() + 4, data_.begin() + 24), "SER-42              ");
}

struct RefusalCase {
  const char* name;
  Bytes cdb;
  uint8_t asc;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class BridgeRefuses : public Bridge, public testing::WithParamInterface<RefusalCase> {};

TEST_P(BridgeRefuses, WithIllegalRequest) {
  const RefusalCase& c = GetParam();
  ScsiPassThroughRequest r = request(c.cdb, SCSI_IOCTL_DATA_IN, 512);
  ASSERT_TRUE(send(r));
  EXPECT_EQ(r.sptd.ScsiStatus, sat::kStatusCheckCondition);
  EXPECT_EQ(r.sptd.DataTransferLength, 0u);
  EXPECT_EQ(sense(r), sat::fixed_sense(sat::kSenseIllegalRequest, c.asc, 0));
  EXPECT_EQ(sense(r), (Bytes{0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, c.asc, 0, 0, 0, 0, 0}));
  EXPECT_EQ(data_[0], 0xEE);
}

// clang-format off
const RefusalCase kRefusals[] = {
    {"Read10", {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 0x20},
    {"OtherVpdPage", {0x12, 1, 0x83, 0, 0xFC, 0}, 0x24},
    {"PageWithoutEvpd", {0x12, 0, 0x80, 0, 0xFC, 0}, 0x24},
    {"HardResetProtocol", {0x85, 0x00, 0x0E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0}, 0x24},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, BridgeRefuses, testing::ValuesIn(kRefusals),
                         case_name<RefusalCase>);

// What the bridge answers a request: its SCSI status, the bytes it moved, its sense data and
// where in the buffer the drive's IDENTIFY data landed.
struct AnswerCase {
  const char* name;
  Bytes cdb;
  uint8_t data_in;
  uint32_t length;
  void (*plan)(sim::PortFaults&);
  int status;          // -1: not compared
  int transferred;     // -1: not compared
  Bytes sense;         // compared when the status is CHECK CONDITION or planned
  int identify_bytes;  // the buffer starts with this much IDENTIFY data and is untouched
                       // after it (-1: not compared)
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }

class BridgeAnswer : public Bridge, public testing::WithParamInterface<AnswerCase> {};

TEST_P(BridgeAnswer, StatusSenseAndData) {
  const AnswerCase& c = GetParam();
  c.plan(port().faults);
  ScsiPassThroughRequest r = request(c.cdb, c.data_in, c.length);
  ASSERT_TRUE(send(r));
  if (c.status >= 0) {
    EXPECT_EQ(r.sptd.ScsiStatus, c.status);
  }
  if (c.transferred >= 0) {
    EXPECT_EQ(r.sptd.DataTransferLength, static_cast<uint32_t>(c.transferred));
  }
  if (r.sptd.ScsiStatus != 0) {
    EXPECT_EQ(sense(r), c.sense);
  }
  if (c.identify_bytes >= 0) {
    const Bytes id = sim::identify_data(port().drive);
    EXPECT_EQ(range(data_.data(), 0, c.identify_bytes),
              Bytes(id.begin(), id.begin() + c.identify_bytes));
    EXPECT_EQ(data_[c.identify_bytes], 0xEE);
  }
}

void no_plan(sim::PortFaults&) {}

constexpr uint8_t kCheckCondition = sat::kStatusCheckCondition;
constexpr uint8_t kNoData = SCSI_IOCTL_DATA_UNSPECIFIED;

// clang-format off
const AnswerCase kAnswers[] = {
    // The block count says one block; the request's buffer length decides.
    {"TransferLengthComesFromTheRequest", kIdentify16, SCSI_IOCTL_DATA_IN, 200, no_plan, 0, 200, {}, 200},
    {"NoTransferWhenTLengthIsZero", {0x85, 0x08, 0x0C, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0}, SCSI_IOCTL_DATA_IN, 512, no_plan, -1, 0, {}, 0},
    {"TwelveByteForm", {0xA1, 0x08, 0x0E, 0, 1, 0, 0, 0, 0, 0xEC, 0, 0}, SCSI_IOCTL_DATA_IN, 512, no_plan, 0, 512, {}, 512},
    // Error 0x04, Status 0x51, Device 0xA0, Count 0 in INFORMATION; sense key ABORTED COMMAND.
    {"AtaErrorInFixedFormat", kUnknown16, kNoData, 0, no_plan, kCheckCondition, -1, {0x70, 0, 0x0B, 0x04, 0x51, 0xA0, 0x00, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, -1},
    {"AtaErrorWithCkCondInDescriptorFormat", kUnknown16CkCond, kNoData, 0, no_plan, kCheckCondition, -1, {0x72, 0x0B, 0, 0, 0, 0, 0, 14, 0x09, 0x0C, 0x01, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0xA0, 0x51}, -1},
    // RECOVERED ERROR, ATA PASS THROUGH INFORMATION AVAILABLE; the data still arrive.
    {"SuccessWithCkCondReportsTheRegisters", kIdentify16CkCond, SCSI_IOCTL_DATA_IN, 512, no_plan, kCheckCondition, 512, {0x72, 0x01, 0x00, 0x1D, 0, 0, 0, 14, 0x09, 0x0C, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x50}, -1},
    {"PlannedStatusAnswersWithoutRunningTheCommand", kIdentify16, SCSI_IOCTL_DATA_IN, 512, [](sim::PortFaults& f) { f.scsi_status = 0x08; f.sense = {0x70, 0x00, 0x06}; }, 0x08, 0, {0x70, 0x00, 0x06}, 0},
    {"PlannedStatusOnlyForItsCommand", kIdentify16, SCSI_IOCTL_DATA_IN, 512, [](sim::PortFaults& f) { f.scsi_status = 0x08; f.scsi_status_command = 0x92; }, 0, 512, {}, -1},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, BridgeAnswer, testing::ValuesIn(kAnswers), case_name<AnswerCase>);

TEST_F(Bridge, SenseCutToTheSenseArea) {
  ScsiPassThroughRequest r = request(kUnknown16, SCSI_IOCTL_DATA_UNSPECIFIED, 0);
  r.sptd.SenseInfoLength = 4;
  r.sense[4] = 0x99;
  ASSERT_TRUE(send(r));
  EXPECT_EQ(r.sptd.SenseInfoLength, 4);
  EXPECT_EQ(range(r.sense, 0, 5), (Bytes{0x70, 0, 0x0B, 0x04, 0x99}));
}

// Requests the operating system itself turns away.
struct MalformedCase {
  const char* name;
  void (*spoil)(ScsiPassThroughRequest&);
};

void PrintTo(const MalformedCase& c, std::ostream* os) { *os << c.name; }

class BridgeMalformed : public Bridge, public testing::WithParamInterface<MalformedCase> {};

TEST_P(BridgeMalformed, NotCarried) {
  ScsiPassThroughRequest r = request(kIdentify16, SCSI_IOCTL_DATA_IN, 512);
  GetParam().spoil(r);
  EXPECT_FALSE(send(r));
  EXPECT_EQ(platform_get_last_error(), 87u);
  EXPECT_EQ(data_[0], 0xEE);
}

// clang-format off
const MalformedCase kMalformed[] = {
    {"Length", [](ScsiPassThroughRequest& r) { r.sptd.Length = 48; }},
    {"CdbLengthZero", [](ScsiPassThroughRequest& r) { r.sptd.CdbLength = 0; }},
    {"CdbLength17", [](ScsiPassThroughRequest& r) { r.sptd.CdbLength = 17; }},
    {"DataIn3", [](ScsiPassThroughRequest& r) { r.sptd.DataIn = 3; }},
    {"NoBuffer", [](ScsiPassThroughRequest& r) { r.sptd.DataBuffer = nullptr; }},
    {"SenseOutside", [](ScsiPassThroughRequest& r) { r.sptd.SenseInfoOffset = 100; }},
    {"SenseOverHeader", [](ScsiPassThroughRequest& r) { r.sptd.SenseInfoOffset = 8; }},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, BridgeMalformed, testing::ValuesIn(kMalformed),
                         case_name<MalformedCase>);

// ---------------------------------------------------------------------------------------
// The ATA port.

ATA_PASS_THROUGH_DIRECT ata_request(uint16_t flags, const Bytes& current, void* buf,
                                    uint32_t length) {
  ATA_PASS_THROUGH_DIRECT r;
  std::memset(&r, 0, sizeof r);
  r.Length = sizeof r;
  r.AtaFlags = flags;
  r.DataTransferLength = length;
  r.DataBuffer = buf;
  r.TimeOutValue = 5;
  std::memcpy(r.CurrentTaskFile, current.data(), 8);
  return r;
}

TEST_F(Bridge, AtaPortReturnsRegistersAndBytes) {
  ATA_PASS_THROUGH_DIRECT r = ata_request(0x03, {0, 1, 0, 0, 0, 0, 0xEC, 0}, data_.data(), 512);
  uint32_t returned = 0;
  ASSERT_TRUE(platform_ata_passthrough(handle_, &r, &returned));
  EXPECT_EQ(returned, 48u);
  EXPECT_EQ(r.DataTransferLength, 512u);
  EXPECT_EQ(r.CurrentTaskFile[6], 0x50);
  EXPECT_EQ(r.CurrentTaskFile[0], 0x00);
  EXPECT_EQ(Bytes(data_.begin(), data_.begin() + 512), sim::identify_data(port().drive));

  r = ata_request(0x01, {0, 0, 0, 0, 0, 0xE0, 0xB0, 0}, nullptr, 0);
  ASSERT_TRUE(platform_ata_passthrough(handle_, &r, &returned));
  EXPECT_EQ(range(r.CurrentTaskFile, 0, 8), (Bytes{0x04, 0, 0, 0, 0, 0xE0, 0x51, 0}));
  EXPECT_EQ(r.DataTransferLength, 0u);
}

TEST_F(Bridge, AtaPortRefusesBothDirections) {
  ATA_PASS_THROUGH_DIRECT r = ata_request(0x07, {0, 1, 0, 0, 0, 0, 0xEC, 0}, data_.data(), 512);
  uint32_t returned = 7;
  EXPECT_FALSE(platform_ata_passthrough(handle_, &r, &returned));
  EXPECT_EQ(platform_get_last_error(), 87u);
  EXPECT_EQ(returned, 0u);
}

// ---------------------------------------------------------------------------------------
// Handles, planned faults and the log.

TEST(Handles, UnknownHandlesAreInvalid) {
  sim::reset_world();
  sim::add_port(kDrive);
  const Handle unknown[] = {0, kInvalidHandle, sim::kPortHandleBase + 1, 12345};
  for (Handle h : unknown) {
    SCSI_ADDRESS a{8, 0, 0, 0, 0};
    ScsiPassThroughRequest s;
    std::memset(&s, 0, sizeof s);
    ATA_PASS_THROUGH_DIRECT t;
    std::memset(&t, 0, sizeof t);
    uint32_t returned = 0;
    // Each call is refused with ERROR_INVALID_HANDLE.
    const auto refused = [](bool carried) {
      EXPECT_FALSE(carried);
      EXPECT_EQ(platform_get_last_error(), 6u);
      platform_set_last_error(0);
    };
    platform_set_last_error(0);
    refused(platform_get_scsi_address(h, &a));
    refused(platform_scsi_passthrough(h, &s));
    refused(platform_ata_passthrough(h, &t, &returned));
    refused(platform_close(h));
  }
}

TEST(Handles, EachPortHasItsOwnHandle) {
  sim::reset_world();
  sim::add_port(u"\\\\.\\PhysicalDrive0").address = SCSI_ADDRESS{8, 0, 0, 4, 0};
  sim::add_port(u"\\\\.\\PhysicalDrive1").address = SCSI_ADDRESS{8, 0, 0, 5, 0};
  const Handle h1 = platform_open_drive(u"\\\\.\\PhysicalDrive1");
  const Handle h0 = platform_open_drive(u"\\\\.\\PhysicalDrive0");
  EXPECT_GT(h0, 0);
  EXPECT_NE(h0, h1);
  SCSI_ADDRESS a{8, 0, 0, 0, 0};
  ASSERT_TRUE(platform_get_scsi_address(h1, &a));
  EXPECT_EQ(a.TargetId, 5);
  ASSERT_TRUE(platform_get_scsi_address(h0, &a));
  EXPECT_EQ(a.TargetId, 4);
}

TEST(Handles, CloseFaultAndAdapterHandles) {
  sim::reset_world();
  sim::add_port(kDrive).faults.close_error = 31;
  sim::add_adapter(2);
  const Handle h = platform_open_drive(kDrive);
  EXPECT_FALSE(platform_close(h));
  EXPECT_EQ(platform_get_last_error(), 31u);
  EXPECT_TRUE(platform_close(sim::kAdapterHandleBase));
  EXPECT_EQ(sim::world().log.back().kind, Kind::Close);
  EXPECT_EQ(sim::world().log.back().path, u"\\\\.\\SCSI2:");
}

struct PortFaultCase {
  const char* name;
  void (*plan)(sim::PortFaults&);
  bool scsi_carried;
  bool ata_carried;
  uint32_t error;
};

void PrintTo(const PortFaultCase& c, std::ostream* os) { *os << c.name; }

class PortFault : public testing::TestWithParam<PortFaultCase> {};

TEST_P(PortFault, RefusesTheRequestKind) {
  const PortFaultCase& c = GetParam();
  sim::reset_world();
  c.plan(sim::add_port(kDrive).faults);
  const Handle h = platform_open_drive(kDrive);
  Bytes buf(512);
  ScsiPassThroughRequest s;
  std::memset(&s, 0, sizeof s);
  s.sptd.Length = sizeof s.sptd;
  s.sptd.CdbLength = 16;
  std::memcpy(s.sptd.Cdb, kIdentify16.data(), 16);
  s.sptd.DataIn = SCSI_IOCTL_DATA_IN;
  s.sptd.DataTransferLength = 512;
  s.sptd.DataBuffer = buf.data();
  ATA_PASS_THROUGH_DIRECT t = ata_request(0x03, {0, 1, 0, 0, 0, 0, 0xEC, 0}, buf.data(), 512);
  uint32_t returned = 0;

  platform_set_last_error(0);
  EXPECT_EQ(platform_scsi_passthrough(h, &s), c.scsi_carried);
  EXPECT_EQ(platform_get_last_error(), c.scsi_carried ? 0u : c.error);
  platform_set_last_error(0);
  EXPECT_EQ(platform_ata_passthrough(h, &t, &returned), c.ata_carried);
  EXPECT_EQ(platform_get_last_error(), c.ata_carried ? 0u : c.error);
  // Refused or not, both requests were received and logged.
  ASSERT_EQ(sim::world().log.size(), 3u);
  EXPECT_EQ(sim::world().log[1].kind, Kind::Scsi);
  EXPECT_EQ(sim::world().log[2].kind, Kind::Ata);
}

// clang-format off
const PortFaultCase kPortFaults[] = {
    {"None", [](sim::PortFaults&) {}, true, true, 0},
    {"ScsiRefused", [](sim::PortFaults& f) { f.scsi_error = 1; }, false, true, 1},
    {"AtaRefused", [](sim::PortFaults& f) { f.ata_error = 1; }, true, false, 1},
    {"Timeout", [](sim::PortFaults& f) { f.timeout = true; }, false, false, 121},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, PortFault, testing::ValuesIn(kPortFaults),
                         case_name<PortFaultCase>);

TEST(Open, MissingAndDeniedDrives) {
  sim::reset_world();
  sim::add_port(kDrive).faults.open_error = 5;
  EXPECT_EQ(platform_open_drive(kDrive), kInvalidHandle);
  EXPECT_EQ(platform_get_last_error(), 5u);
  EXPECT_EQ(platform_open_drive(u"\\\\.\\PhysicalDrive1"), kInvalidHandle);
  EXPECT_EQ(platform_get_last_error(), 2u);
  ASSERT_EQ(sim::world().log.size(), 2u);
  EXPECT_EQ(sim::world().log[1].path, u"\\\\.\\PhysicalDrive1");
}

TEST(Log, KeepsDataOutBytesOnlyWhenAsked) {
  const struct {
    const char* name;
    bool keep_log, log_data;
  } cases[] = {
      {"by default", true, false}, {"data asked for", true, true}, {"no log", false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::reset_world();
    sim::add_port(kDrive);
    if (!c.keep_log) sim::world().keep_log = false;
    if (c.log_data) sim::world().log_data = true;
    const Handle h = platform_open_drive(kDrive);
    Bytes image(512);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 5);
    ATA_PASS_THROUGH_DIRECT t =
        ata_request(0x05, {0x07, 1, 0, 0, 0, 0, 0x92, 0}, image.data(), 512);
    uint32_t returned = 0;
    EXPECT_TRUE(platform_ata_passthrough(h, &t, &returned));
    if (!c.keep_log) {
      EXPECT_TRUE(sim::world().log.empty());
      continue;
    }
    const sim::LogEntry& e = sim::world().log.back();
    EXPECT_EQ(e.kind, Kind::Ata);
    EXPECT_EQ(e.path, kDrive);
    EXPECT_EQ(e.data_pointer, image.data());
    EXPECT_EQ(e.data_out, c.log_data ? image : Bytes{});
    ASSERT_EQ(e.request.size(), 48u);
    EXPECT_EQ(e.request[40], 0x07);
    EXPECT_EQ(e.request[46], 0x92);
  }
}

}  // namespace
