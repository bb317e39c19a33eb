// The CSMI STP transport: the request on the wire, the outcome rules and the diagnostics.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "platform/console.h"
#include "sim/world.h"
#include "support/csmi_setup.h"
#include "transport/device_command.h"

namespace {

constexpr int kPort = 3;
constexpr int kPhy = 1;

class StpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset_world();
    sim::Adapter& a = csmi_test::add_empty_adapter(kPort);
    csmi_test::attach_sata(a, kPhy, "STPDRIVE01");
    std::memset(&cmd, 0, sizeof cmd);
    cmd.flags = interface_flag(InterfaceKind::CsmiStp);
    cmd.handle = platform_open_adapter(u"\\\\.\\SCSI3:");
    ASSERT_NE(cmd.handle, kInvalidHandle);
    cmd.phy = a.phys[kPhy];
    sim::world().log.clear();
    console::capture_begin();
  }
  void TearDown() override { console::capture_end(); }

  sim::Adapter& adapter() { return sim::world().adapters.front(); }
  sim::Drive& drive() { return adapter().drives[kPhy]; }

  // IDENTIFY DEVICE into `data`.
  void set_identify(std::vector<uint8_t>& data) {
    data.assign(512, 0xCC);
    cmd.direction = DataDirection::In;
    cmd.data = data.data();
    cmd.data_length = 512;
    cmd.regs.command = 0xEC;
    cmd.regs.count_7_0 = 1;
  }

  // The requests the adapter received after the set-up.
  std::vector<std::vector<uint8_t>> requests() const {
    std::vector<std::vector<uint8_t>> r;
    for (const auto& e : sim::world().log)
      if (e.kind == sim::LogEntry::Kind::Csmi) r.push_back(e.request);
    return r;
  }

  DeviceCommand cmd;
};

// --- The request -------------------------------------------------------------------------

struct LayoutCase {
  const char* name;
  DataDirection direction;
  uint32_t data_length;
  uint8_t command;
  uint32_t size;
  uint32_t flags;
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

const LayoutCase kLayouts[] = {
    {"NoData", DataDirection::None, 0, 0x92, 168, 0x10},
    {"NoDataLengthIgnored", DataDirection::None, 4096, 0x92, 168, 0x10},
    {"Identify", DataDirection::In, 512, 0xEC, 680, 0x11},
    {"Write2048", DataDirection::Out, 2048, 0x92, 2216, 0x12},
};

class StpLayout : public StpTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(StpLayout, RequestCarriesSizesFlagsAndData) {
  const LayoutCase& c = GetParam();
  std::vector<uint8_t> data(c.data_length);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
  const std::vector<uint8_t> sent = data;
  cmd.direction = c.direction;
  cmd.data = data.data();
  cmd.data_length = c.data_length;
  cmd.regs.command = c.command;
  cmd.regs.count_7_0 = 1;
  cmd.timeout = 5;
  issue_stp_passthru(cmd);

  const auto r = requests();
  ASSERT_EQ(r.size(), 1u);
  const std::vector<uint8_t>& b = r[0];
  ASSERT_EQ(b.size(), c.size);
  csmi_test::expect_header(b, "CSMISAS\0", 5, 25);
  EXPECT_EQ(b[28], adapter().phys[kPhy].Identify.bPhyIdentifier);
  EXPECT_EQ(b[29], adapter().phys[kPhy].bPortIdentifier);
  EXPECT_EQ(b[30], 0);  // bConnectionRate: negotiated
  EXPECT_EQ(0, std::memcmp(b.data() + 32, adapter().phys[kPhy].Attached.bSASAddress, 8));
  EXPECT_EQ(u32_at(b, 64), c.flags);
  EXPECT_EQ(u32_at(b, 68), c.direction == DataDirection::None ? 0u : c.data_length);
  EXPECT_EQ(b[44], 0x27);
  EXPECT_EQ(b[45], 0x80);
  EXPECT_EQ(b[46], c.command);
  EXPECT_EQ(b[56], 1);  // Count (7:0)
  // Status and SCR area go out zeroed.
  for (size_t i = 72; i < 164; ++i) ASSERT_EQ(b[i], 0) << "byte " << i;
  if (c.direction == DataDirection::Out) {
    EXPECT_EQ(0, std::memcmp(b.data() + 164, sent.data(), c.data_length));
  } else {
    for (size_t i = 164; i < b.size(); ++i) ASSERT_EQ(b[i], 0) << "byte " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Requests, StpLayout, ::testing::ValuesIn(kLayouts),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StpTest, IdentifyFisMatchesTheExample) {
  std::vector<uint8_t> data;
  set_identify(data);
  ASSERT_EQ(issue_stp_passthru(cmd), kResultSuccess);
  const auto b = requests().at(0);
  const uint8_t head[4] = {0x27, 0x80, 0xEC, 0x00};
  EXPECT_EQ(0, std::memcmp(b.data() + 44, head, 4));
  EXPECT_EQ(b[44 + 12], 0x01);
  EXPECT_EQ(u32_at(b, 68), 0x200u);
}

TEST_F(StpTest, TimeoutGoesOutUnchanged) {
  for (uint32_t timeout : {0u, 1u, 5u, 15u, 3600u}) {
    sim::world().log.clear();
    cmd.timeout = timeout;
    issue_stp_passthru(cmd);
    EXPECT_EQ(u32_at(requests().at(0), 12), timeout);
  }
}

TEST_F(StpTest, PhyEntryAddressesTheRequest) {
  cmd.phy.Identify.bPhyIdentifier = 0x1D;
  cmd.phy.bPortIdentifier = 0x07;
  const uint8_t address[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  std::memcpy(cmd.phy.Attached.bSASAddress, address, 8);
  issue_stp_passthru(cmd);
  const auto b = requests().at(0);
  EXPECT_EQ(b[28], 0x1D);
  EXPECT_EQ(b[29], 0x07);
  EXPECT_EQ(0, std::memcmp(b.data() + 32, address, 8));
}

// --- Outcomes ----------------------------------------------------------------------------

TEST_F(StpTest, IdentifySucceedsAndCopiesTheData) {
  std::vector<uint8_t> data;
  set_identify(data);
  EXPECT_EQ(issue_stp_passthru(cmd), kResultSuccess);
  EXPECT_EQ(data, sim::identify_data(drive()));
  EXPECT_EQ(console::captured_out(), "");
}

TEST_F(StpTest, DataInCopiesTheRequestedLength) {
  // The drive sends 512 bytes; the transport copies all 1024 it asked for.
  std::vector<uint8_t> data(1024, 0xCC);
  cmd.direction = DataDirection::In;
  cmd.data = data.data();
  cmd.data_length = 1024;
  cmd.regs.command = 0xEC;
  ASSERT_EQ(issue_stp_passthru(cmd), kResultSuccess);
  const auto id = sim::identify_data(drive());
  EXPECT_TRUE(std::equal(id.begin(), id.end(), data.begin()));
  for (size_t i = 512; i < 1024; ++i) ASSERT_EQ(data[i], 0) << "byte " << i;
}

TEST_F(StpTest, LastErrorIsStoredUnclearedAfterSuccess) {
  std::vector<uint8_t> data;
  set_identify(data);
  platform_set_last_error(1234);
  cmd.last_os_error = 0;
  ASSERT_EQ(issue_stp_passthru(cmd), kResultSuccess);
  EXPECT_EQ(cmd.last_os_error, 1234u);
}

struct FailureCase {
  const char* name;
  uint32_t os_fail_code;      // control code failing at the OS (0: none)
  uint32_t return_code_code;  // control code answered with ReturnCode 3 (0: none)
  int verbosity;
  std::string expected;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

const std::string kFailedWithReturnCode3 =
    "issue_stp_passthru: CMD=0xec failed. ioret=1 GetLastErr=0x0, IoctlHeader->ReturnCode=3\n";

// clang-format off
const FailureCase kFailures[] = {
    {"OsFailure", 25, 0, 0, "issue_stp_passthru: CMD=0xec failed. ioret=0 GetLastErr=0x1f, IoctlHeader->ReturnCode=0\n"},
    {"ReturnCode", 0, 25, 0, kFailedWithReturnCode3},
    {"ReturnCodeVerbose", 0, 25, 1, kFailedWithReturnCode3},
};
// clang-format on

class StpFailure : public StpTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(StpFailure, PrintsTheLineAndCopiesNothing) {
  const FailureCase& c = GetParam();
  adapter().faults.os_fail_control_code = c.os_fail_code;
  adapter().faults.return_code_control_code = c.return_code_code;
  adapter().faults.return_code = 3;
  std::vector<uint8_t> data;
  set_identify(data);
  cmd.verbosity = c.verbosity;
  platform_set_last_error(0);
  EXPECT_EQ(issue_stp_passthru(cmd), kResultNotCarried);
  EXPECT_EQ(console::captured_out(), c.expected);
  EXPECT_EQ(data, std::vector<uint8_t>(512, 0xCC));
  EXPECT_EQ(cmd.last_os_error, c.os_fail_code != 0 ? 31u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, StpFailure, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StpTest, InvalidHandleSendsAndPrintsNothing) {
  cmd.handle = kInvalidHandle;
  cmd.verbosity = 2;
  cmd.last_os_error = 77;
  EXPECT_EQ(issue_stp_passthru(cmd), kResultNotCarried);
  EXPECT_TRUE(requests().empty());
  EXPECT_EQ(console::captured_out(), "");
  EXPECT_EQ(cmd.last_os_error, 77u);
}

TEST_F(StpTest, UnobtainableBufferIsReported) {
  std::vector<uint8_t> data(16);
  cmd.direction = DataDirection::Out;
  cmd.data = data.data();
  cmd.data_length = 0xFFFFFFF0u;  // 168 more does not fit a request size
  EXPECT_EQ(issue_stp_passthru(cmd), kResultNotSent);
  EXPECT_EQ(console::captured_out(), "Error allocating memory for stp command\n");
  EXPECT_TRUE(requests().empty());
}

// --- The status FIS ----------------------------------------------------------------------

struct StatusCase {
  const char* name;
  int fis_type;  // -1: the adapter's Register Device-to-Host FIS
  uint8_t status;
  uint8_t error;
  int pio_start_status;  // -1: a PIO Setup FIS starts with the drive's Status too
  uint8_t connection;    // the reply's connection status
  int result;
  std::string expected;
};

void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }

const std::string kFailedLine =
    "issue_stp_passthru: CMD=0xec failed. ioret=1 GetLastErr=0x0, IoctlHeader->ReturnCode=0\n";

// clang-format off
const StatusCase kStatusCases[] = {
    {"AbortInRegisterFis", -1, 0x51, 0x04, -1, 0, kResultDriveError, kFailedLine + "Status FIS: Status=0x51 Error=0x04\n"},
    {"DeviceFault", -1, 0x70, 0x00, -1, 0, kResultDriveError, kFailedLine + "Status FIS: Status=0x70 Error=0x00\n"},
    {"ErrorInPioSetupFis", 0x5F, 0x41, 0x10, -1, 0, kResultDriveError, kFailedLine + "Status FIS: Status=0x41 Error=0x10 E_Status=0x41\n"},
    {"ErrorInPioSetupEndingStatus", 0x5F, 0x51, 0x04, 0x58, 0, kResultDriveError, kFailedLine + "Status FIS: Status=0x58 Error=0x04 E_Status=0x51\n"},
    {"ConnectionRejected", -1, 0x50, 0x00, -1, 3, kResultDriveError, kFailedLine + "Connection Status: 0x03 (OPEN_REJECT_NO_DESTINATION)\n"},
    {"ErrorByteWithoutErrBit", -1, 0x50, 0x04, -1, 0, kResultSuccess, ""},
    {"AllZeroFis", 0, 0x51, 0x04, -1, 0, kResultSuccess, ""},
    {"OtherFisType", 0x41, 0x51, 0x04, -1, 0, kResultSuccess, ""},
};
// clang-format on

class StpStatusFis : public StpTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StpStatusFis, DriveErrorsFailTheCommand) {
  const StatusCase& c = GetParam();
  adapter().faults.status_fis_type = c.fis_type;
  adapter().faults.pio_setup_start_status = c.pio_start_status;
  adapter().faults.stp_connection_status = c.connection;
  drive().faults.forced = true;
  drive().faults.forced_after_data = true;  // the data moves, the status says error
  drive().faults.forced_status = c.status;
  drive().faults.forced_error = c.error;
  std::vector<uint8_t> data;
  set_identify(data);
  platform_set_last_error(0);
  ReturnedRegisters returned;
  EXPECT_EQ(issue_stp_passthru(cmd, &returned), c.result);
  EXPECT_EQ(console::captured_out(), c.expected);
  // The registers come back to a caller that asks, wherever a status FIS of a register type
  // carries them.
  const bool carried = c.connection == 0 && (c.fis_type == -1 || c.fis_type == 0x5F);
  ASSERT_EQ(returned.has_value(), carried);
  if (carried) {
    EXPECT_EQ(returned->status, c.status);
    EXPECT_EQ(returned->error, c.error);
  }
  if (c.result == kResultSuccess)
    EXPECT_EQ(data, sim::identify_data(drive()));
  else
    EXPECT_EQ(data, std::vector<uint8_t>(512, 0xCC));
}

INSTANTIATE_TEST_SUITE_P(Rows, StpStatusFis, ::testing::ValuesIn(kStatusCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Diagnostics -------------------------------------------------------------------------

std::string fis_dump(const std::vector<uint8_t>& fis) {
  std::string s = "FIS:\n-----\n";
  for (int i = 0; i < 20; ++i) {
    char line[32];
    std::snprintf(line, sizeof line, "\t[%d]=0x%02x\n", i, fis[i]);
    s += line;
  }
  return s + "-----\n";
}

TEST_F(StpTest, VerbosityTwoDumpsRequestAndStatus) {
  std::vector<uint8_t> data;
  set_identify(data);
  cmd.verbosity = 2;
  cmd.phy.Identify.bPhyIdentifier = 1;
  cmd.phy.bPortIdentifier = 0x11;
  ASSERT_EQ(issue_stp_passthru(cmd), kResultSuccess);
  // clang-format off
  const Bytes command_fis = {0x27, 0x80, 0xEC, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
  const Bytes status_fis = {0x34, 0x40, 0x50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  // clang-format on
  const std::string expected =
      "Allocated 680 bytes for cmd 0xec\n"
      "------\n\n"
      "bPhyIdentifier=0x01\n"
      "bPortIdentifier=0x11\n"
      "bConnectionRate=0x00\n"
      "uFlags=0x11\n"
      "uDataLength=0x200\n" +
      fis_dump(command_fis) +
      "\t\tSAS Address: 0x50 0x0a 0x0b 0x0c 0x00 0x03 0x00 0x01 \n"
      "------\n\n"
      "Status " +
      fis_dump(status_fis);
  EXPECT_EQ(console::captured_out(), expected);
}

TEST_F(StpTest, VerbosityTwoDumpsStatusAfterFailureToo) {
  adapter().faults.return_code_control_code = 25;
  cmd.verbosity = 2;
  cmd.regs.command = 0xE7;
  EXPECT_EQ(issue_stp_passthru(cmd), kResultNotCarried);
  const std::string out = console::captured_out();
  const std::string line =
      "issue_stp_passthru: CMD=0xe7 failed. ioret=1 GetLastErr=0x0, IoctlHeader->ReturnCode=1\n"
      "Status FIS:\n-----\n";
  EXPECT_NE(out.find(line), std::string::npos) << out;
  EXPECT_EQ(out.rfind("-----\n"), out.size() - 6);
}

TEST_F(StpTest, VerbosityZeroAndOnePrintNothingOnSuccess) {
  for (int verbosity : {0, 1}) {
    std::vector<uint8_t> data;
    set_identify(data);
    cmd.verbosity = verbosity;
    EXPECT_EQ(issue_stp_passthru(cmd), kResultSuccess);
  }
  EXPECT_EQ(console::captured_out(), "");
}

TEST_F(StpTest, DispatchReachesTheTransportOnlyWithAValidHandle) {
  std::vector<uint8_t> data;
  set_identify(data);
  EXPECT_EQ(issue_command(cmd), kResultSuccess);
  EXPECT_EQ(requests().size(), 1u);
  cmd.handle = kInvalidHandle;
  EXPECT_EQ(issue_command(cmd), kResultNotCarried);
  EXPECT_EQ(requests().size(), 1u);
  EXPECT_EQ(console::captured_out(), "");
}

}  // namespace
