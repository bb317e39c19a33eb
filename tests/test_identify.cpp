#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "identify/identify.h"
#include "platform/console.h"
#include "sim/world.h"
#include "support/helpers.h"

namespace {

const std::u16string kDrivePath = u"\\\\.\\PhysicalDrive0";

// --- ata_string --------------------------------------------------------------------------

// The field as a drive stores it: each pair of characters swapped into a 16-bit word.
std::vector<uint8_t> ata_field(const std::string& text) {
  std::vector<uint8_t> field(text.begin(), text.end());
  for (size_t k = 0; k + 1 < field.size(); k += 2) std::swap(field[k], field[k + 1]);
  return field;
}

struct AtaStringCase {
  const char* name;
  std::string text;  // as the drive means it, before swapping
  std::string want;
};

// Cases print as their names: GoogleTest would otherwise dump the record's bytes, the unused
// part of each string's inline buffer and the padding included.
void PrintTo(const AtaStringCase& c, std::ostream* os) { *os << c.name; }

class AtaString : public testing::TestWithParam<AtaStringCase> {};

TEST_P(AtaString, SwapsAndTrims) {
  const AtaStringCase& c = GetParam();
  const auto field = ata_field(c.text);
  EXPECT_EQ(ata_string(field.data(), static_cast<uint32_t>(field.size())), c.want);
}

using namespace std::string_literals;

// clang-format off
const AtaStringCase kAtaStrings[] = {
    {"plain", "Ming", "Ming"},
    {"blanks_both_sides", "  ABC123  ", "ABC123"},
    {"inner_blanks_kept", "  A B  C  ", "A B  C"},
    {"all_blanks", std::string(40, ' '), ""},
    {"tab", "\tXY\t", "XY"},
    {"vertical_tab", "\vXY\v", "XY"},
    {"carriage_return", "\rXY\r", "XY"},
    {"line_feed", "\nXY\n", "XY"},
    {"mixed_trim_set", " \t\v\r\nXY \t\v\r\n", "XY"},
    {"only_trim_set", " \t\v\r\n\n", ""},
    {"form_feed_not_trimmed", "\fXY\f", "\fXY\f"},
    {"nul_not_trimmed", "\0XY\0"s, "\0XY\0"s},
    {"all_nuls", std::string(20, '\0'), std::string(20, '\0')},
    {"nul_inside_blanks", " \0X \0 "s, "\0X \0"s},
    {"high_bytes_kept", "\xC4\xB3  ", "\xC4\xB3"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, AtaString, testing::ValuesIn(kAtaStrings),
                         case_name<AtaStringCase>);

TEST(AtaStringBytes, FirstCharacterOfEachPairIsTheSecondByte) {
  const uint8_t bytes[] = {0x69, 0x4D, 0x67, 0x6E};
  EXPECT_EQ(ata_string(bytes, sizeof bytes), "Ming");
}

// --- Security state ----------------------------------------------------------------------

struct SecurityCase {
  uint16_t word128;
  SecurityState state;
};

class SecurityWord : public testing::TestWithParam<SecurityCase> {};

TEST_P(SecurityWord, GivesState) {
  EXPECT_EQ(security_state_of(GetParam().word128), GetParam().state);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SecurityWord,
    testing::Values(
        SecurityCase{0x0000, SecurityState::SEC1}, SecurityCase{0x0001, SecurityState::SEC1},
        SecurityCase{0x0008, SecurityState::SEC2}, SecurityCase{0x0009, SecurityState::SEC2},
        SecurityCase{0x0002, SecurityState::SEC5}, SecurityCase{0x0006, SecurityState::SEC4},
        SecurityCase{0x0007, SecurityState::SEC4}, SecurityCase{0x000A, SecurityState::SEC6},
        SecurityCase{0x000E, SecurityState::SEC6}, SecurityCase{0x0004, SecurityState::SEC1},
        SecurityCase{0x000C, SecurityState::SEC2}, SecurityCase{0xFFF1, SecurityState::SEC1},
        SecurityCase{0xFFFF, SecurityState::SEC6}));

// --- Through the simulated drive ---------------------------------------------------------

// Every field of the record, to compare two records whole.
auto fields(const DriveInfo& i) {
  return std::tie(i.model, i.serial, i.firmware, i.security_word, i.security_state,
                  i.dma_download_supported, i.mode3_download_supported,
                  i.dm_offsets_deferred_supported, i.dm_clears_nonactivated_deferred,
                  i.min_download_blocks, i.max_download_blocks, i.major_versions);
}

class DriveTest : public testing::Test {
 protected:
  void SetUp() override {
    sim::reset_world();
    port_ = &sim::add_port(kDrivePath);
    cmd_ = cleared_record(InterfaceKind::ScsiPassThrough);
    console::capture_begin();
  }
  void TearDown() override { console::capture_end(); }

  void open() {
    ASSERT_EQ(open_device(cmd_, kDrivePath), kResultSuccess);
    sim::world().log.clear();
  }

  sim::Drive& drive() { return port_->drive; }

  // The SCSI requests the drive received, as sent.
  static std::vector<ScsiPassThroughRequest> scsi_requests() {
    std::vector<ScsiPassThroughRequest> out;
    for (const auto& e : sim::world().log) {
      if (e.kind != sim::LogEntry::Kind::Scsi) continue;
      ScsiPassThroughRequest r;
      EXPECT_EQ(e.request.size(), sizeof r);
      std::memcpy(&r, e.request.data(), sizeof r);
      out.push_back(r);
    }
    return out;
  }

  sim::Port* port_ = nullptr;
  DeviceCommand cmd_;
};

struct DecodeCase {
  const char* name;
  uint16_t word69, word80, word119, word234, word235;
  bool log_present;
  uint64_t header, caps;
  std::vector<std::string> versions;
  uint8_t dma, mode3, offsets_deferred, clears_nonactivated;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class Decode : public DriveTest, public testing::WithParamInterface<DecodeCase> {};

TEST_P(Decode, FillsDriveInfo) {
  const DecodeCase& c = GetParam();
  drive().model = "MODEL X";
  drive().serial = "SER 42";
  drive().firmware = "REV9";
  drive().word69 = c.word69;
  drive().word80 = c.word80;
  drive().word119 = c.word119;
  drive().word128 = 0x000A;
  drive().word234 = c.word234;
  drive().word235 = c.word235;
  drive().log_page3 = c.log_present;
  drive().log_page3_header = c.header;
  drive().log_page3_caps = c.caps;
  open();

  DriveInfo info;
  ASSERT_EQ(identify_device(cmd_, info), kResultSuccess);
  EXPECT_EQ(info.model, "MODEL X");
  EXPECT_EQ(info.serial, "SER 42");
  EXPECT_EQ(info.firmware, "REV9");
  EXPECT_EQ(info.security_word, 0x000A);
  EXPECT_EQ(info.security_state, SecurityState::SEC6);
  EXPECT_EQ(info.major_versions, c.versions);
  EXPECT_EQ(info.dma_download_supported, c.dma);
  EXPECT_EQ(info.mode3_download_supported, c.mode3);
  EXPECT_EQ(info.min_download_blocks, c.word234);
  EXPECT_EQ(info.max_download_blocks, c.word235);
  EXPECT_EQ(info.dm_offsets_deferred_supported, c.offsets_deferred);
  EXPECT_EQ(info.dm_clears_nonactivated_deferred, c.clears_nonactivated);
  EXPECT_EQ(console::captured_out(), "");
}

constexpr uint64_t kValid = 1ull << 63;

const std::vector<std::string> kAllVersions = {"ATA8-ACS ", "ACS-2 ", "ACS-3 ", "ACS-4 "};

// clang-format off
const DecodeCase kDecodeCases[] = {
    {"all_versions", 0x0100, 0x0F00, 0x0010, 1, 256, true, kValid, kValid | (3ull << 34), kAllVersions, 1, 1, 1, 1},
    {"older_standards_only", 0x00FF, 0x00FE, 0x0008, 0, 0, true, kValid, kValid | (1ull << 34), {}, 0, 0, 1, 0},
    {"acs3_only", 0x0000, 0x0400, 0x0000, 8, 0x1234, true, kValid, 1ull << 35, {"ACS-3 "}, 0, 0, 0, 1},
    {"ata8_and_acs4", 0xFEFF, 0x0900, 0xFFEF, 0xFFFF, 1, true, kValid, 0, {"ATA8-ACS ", "ACS-4 "}, 0, 0, 0, 0},
    {"page_invalid", 0x0100, 0x0200, 0x0010, 1, 128, true, 0, kValid | (3ull << 34), {"ACS-2 "}, 1, 1, 0, 0},
    {"page_valid_caps_without_bit63", 0x0100, 0x0000, 0x0010, 1, 128, true, kValid, 3ull << 34, {}, 1, 1, 1, 1},
    {"log_absent", 0x0100, 0x0100, 0x0010, 2, 64, false, kValid, kValid | (3ull << 34), {"ATA8-ACS "}, 1, 1, 0, 0},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, Decode, testing::ValuesIn(kDecodeCases), case_name<DecodeCase>);

TEST_F(DriveTest, IdentifyAndLogCommandsOnTheWire) {
  open();
  DriveInfo info;
  ASSERT_EQ(identify_device(cmd_, info), kResultSuccess);
  const auto requests = scsi_requests();
  ASSERT_EQ(requests.size(), 2u);
  const uint8_t identify[16] = {0x85, 0x08, 0x0E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0};
  const uint8_t read_log[16] = {0x85, 0x09, 0x0E, 0, 0, 0, 1, 0, 0x30, 0, 3, 0, 0, 0, 0x2F, 0};
  EXPECT_EQ(std::memcmp(requests[0].sptd.Cdb, identify, 16), 0);
  EXPECT_EQ(std::memcmp(requests[1].sptd.Cdb, read_log, 16), 0);
  for (const auto& r : requests) {
    EXPECT_EQ(r.sptd.DataIn, SCSI_IOCTL_DATA_IN);
    EXPECT_EQ(r.sptd.DataTransferLength, 512u);
  }
}

TEST_F(DriveTest, FailedIdentifyLeavesInfoAsItWas) {
  for (int verbosity : {0, 1}) {
    drive().faults.forced = true;
    drive().faults.forced_command = 0xEC;
    cmd_.verbosity = verbosity;
    open();
    console::capture_begin();

    DriveInfo info;
    info.model = "OLD MODEL";
    info.serial = "OLD SERIAL";
    info.firmware = "OLD FW";
    info.security_word = 0x0006;
    info.security_state = SecurityState::SEC4;
    info.dma_download_supported = 1;
    info.min_download_blocks = 3;
    info.max_download_blocks = 7;
    info.major_versions = {"ACS-2 "};
    const DriveInfo before = info;

    const int result = identify_device(cmd_, info);
    EXPECT_NE(result, kResultSuccess);
    EXPECT_EQ(fields(info), fields(before));

    // Nothing after the failed IDENTIFY: no log read.
    EXPECT_EQ(scsi_requests().size(), 1u);
    const std::string out = console::captured_out();
    const std::string line = "ATA IDENTIFY (0xEC) command failed [0x0]\n";
    if (verbosity == 0) {
      EXPECT_EQ(out, "");
    } else {
      ASSERT_GE(out.size(), line.size());
      EXPECT_EQ(out.substr(out.size() - line.size()), line);
    }
  }
}

TEST_F(DriveTest, FailedIdentifyReportsTheLastOsError) {
  port_->faults.scsi_error = 31;
  cmd_.verbosity = 1;
  open();
  DriveInfo info;
  EXPECT_EQ(identify_device(cmd_, info), kResultNotCarried);
  const std::string out = console::captured_out();
  EXPECT_NE(out.find("ATA IDENTIFY (0xEC) command failed [0x1f]\n"), std::string::npos) << out;
}

TEST_F(DriveTest, SecondIdentifyReplacesTextsAndGrowsTheVersionList) {
  drive().word80 = 0x0300;
  open();
  DriveInfo info;
  ASSERT_EQ(identify_device(cmd_, info), kResultSuccess);
  EXPECT_EQ(info.major_versions, (std::vector<std::string>{"ATA8-ACS ", "ACS-2 "}));
  EXPECT_EQ(info.firmware, "SIM1.00");

  drive().firmware = "SIM2.00";
  drive().word234 = 0;
  drive().log_page3 = false;  // the DM flags can only be set, never cleared
  ASSERT_EQ(identify_device(cmd_, info), kResultSuccess);
  EXPECT_EQ(info.major_versions,
            (std::vector<std::string>{"ATA8-ACS ", "ACS-2 ", "ATA8-ACS ", "ACS-2 "}));
  EXPECT_EQ(info.firmware, "SIM2.00");
  EXPECT_EQ(info.min_download_blocks, 0);
  EXPECT_EQ(info.dm_offsets_deferred_supported, 1);
  EXPECT_EQ(info.dm_clears_nonactivated_deferred, 1);
}

// --- INQUIRY pair and vendor IDENTIFY ----------------------------------------------------

TEST_F(DriveTest, InquiryPairOnTheWire) {
  port_->address = SCSI_ADDRESS{8, 2, 1, 3, 4};
  for (uint32_t timeout : {0u, 9u}) {
    open();
    cmd_.timeout = timeout;
    read_scsi_identity(cmd_);
    const auto requests = scsi_requests();
    ASSERT_EQ(requests.size(), 2u);

    const uint8_t standard[6] = {0x12, 0x00, 0x00, 0x00, 0xFC, 0x00};
    const uint8_t serial[6] = {0x12, 0x01, 0x80, 0x00, 0xFC, 0x00};
    const auto& first = requests[0];
    EXPECT_EQ(std::memcmp(first.sptd.Cdb, standard, 6), 0);
    EXPECT_EQ(std::memcmp(requests[1].sptd.Cdb, serial, 6), 0);
    EXPECT_EQ(first.sptd.Length, 56);
    EXPECT_EQ(first.sptd.PathId, 1);
    EXPECT_EQ(first.sptd.TargetId, 3);
    EXPECT_EQ(first.sptd.Lun, 4);
    EXPECT_EQ(first.sptd.CdbLength, 6);
    EXPECT_EQ(first.sptd.SenseInfoLength, 252);
    EXPECT_EQ(first.sptd.DataIn, SCSI_IOCTL_DATA_IN);
    EXPECT_EQ(first.sptd.DataTransferLength, 252u);
    EXPECT_EQ(first.sptd.TimeOutValue, timeout == 0 ? 5u : timeout);
    EXPECT_EQ(first.sptd.SenseInfoOffset, 56u);
    EXPECT_EQ(first.total_length, 312u);

    // The second goes out as the first completion left the header: the simulated bridge
    // moved its 36 bytes of standard INQUIRY data and returned no sense.
    const auto& second = requests[1];
    EXPECT_EQ(second.sptd.DataTransferLength, 36u);
    EXPECT_EQ(second.sptd.SenseInfoLength, 0);
    EXPECT_EQ(second.sptd.DataBuffer, first.sptd.DataBuffer);
    EXPECT_EQ(second.sptd.TimeOutValue, first.sptd.TimeOutValue);
    EXPECT_EQ(second.sptd.CdbLength, 6);
    EXPECT_EQ(cmd_.last_os_error, 0u);
  }
  EXPECT_EQ(console::captured_out(), "");
}

TEST_F(DriveTest, ReusedInquiryLengthsStayWithinTheBuffers) {
  // A driver that reports more than the request had room for.
  port_->faults.reported_transfer_length = 4096;
  port_->faults.reported_sense_length = 255;
  open();
  read_scsi_identity(cmd_);
  const auto requests = scsi_requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].sptd.DataTransferLength, 252u);
  EXPECT_EQ(requests[1].sptd.SenseInfoLength, 252);
}

TEST_F(DriveTest, InquiryStopsWhenTheFirstIsNotCarried) {
  port_->faults.scsi_error = ERROR_INVALID_FUNCTION;
  cmd_.verbosity = 2;
  open();
  read_scsi_identity(cmd_);
  EXPECT_EQ(scsi_requests().size(), 1u);
  EXPECT_EQ(cmd_.last_os_error, ERROR_INVALID_FUNCTION);
  EXPECT_EQ(console::captured_out(), "");
}

TEST_F(DriveTest, VendorIdentifyRegistersOnTheWire) {
  struct Case {
    bool answered;
    bool succeeds;
  };
  for (const Case c : {Case{true, true}, Case{false, false}}) {
    drive().answers_vendor_identify = c.answered;
    open();
    // Device and the bits-15:8 halves are not the vendor variant's: they carry over.
    cmd_.regs.device = 0x40;
    cmd_.regs.count_15_8 = 0x5A;
    cmd_.timeout = 7;
    const int result = read_vendor_identify(cmd_);
    EXPECT_EQ(result == kResultSuccess, c.succeeds) << result;
    const auto requests = scsi_requests();
    ASSERT_EQ(requests.size(), 1u);
    const uint8_t want[16] = {0x85, 0x08, 0x0E, 0x00, 0x0B, 0x5A, 0x01, 0x00,
                              0xDB, 0x00, 0x97, 0x00, 0x20, 0x40, 0xEC, 0x00};
    EXPECT_EQ(std::memcmp(requests[0].sptd.Cdb, want, 16), 0);
    EXPECT_EQ(requests[0].sptd.DataIn, SCSI_IOCTL_DATA_IN);
    EXPECT_EQ(requests[0].sptd.DataTransferLength, 512u);
    EXPECT_EQ(requests[0].sptd.TimeOutValue, 7u);
    EXPECT_EQ(cmd_.register_set, RegisterSet::Lba28);
    EXPECT_EQ(cmd_.protocol, AtaProtocol::Pio);
  }
}

}  // namespace
