// CSMI discovery: resolving "/C:" targets and the "--scan" report, over simulated adapters.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "csmi/csmi.h"
#include "csmi/csmi_request.h"
#include "platform/console.h"
#include "sim/builtin_adapter.h"
#include "sim/world.h"
#include "support/csmi_setup.h"

namespace {

using csmi_test::address_for;
using csmi_test::attach;
using csmi_test::expect_header;
using csmi_test::SasAddress;

std::vector<sim::LogEntry> csmi_requests() {
  std::vector<sim::LogEntry> r;
  for (const auto& e : sim::world().log)
    if (e.kind == sim::LogEntry::Kind::Csmi) r.push_back(e);
  return r;
}

// --- Target resolution -------------------------------------------------------------------

// Port 3: SATA on 1 and 3, STP on 4, SSP on 5, protocol 5 on 2, phy 6 identified with
// nothing attached, phy 7 attached but not identified; 0 and 8..31 empty.
sim::Adapter& add_resolution_adapter() {
  sim::Adapter& a = csmi_test::add_empty_adapter(3);
  csmi_test::attach_sata(a, 1, "SATA1");
  csmi_test::attach_sata(a, 3, "SATA3");
  attach(a, 4, sim::PhyDevice::Stp, CSMI_SAS_PROTOCOL_STP, address_for(3, 4));
  attach(a, 5, sim::PhyDevice::Ssp, CSMI_SAS_PROTOCOL_SSP, address_for(3, 5));
  attach(a, 2, sim::PhyDevice::Sata, CSMI_SAS_PROTOCOL_SATA | CSMI_SAS_PROTOCOL_STP,
         address_for(3, 2));
  attach(a, 6, sim::PhyDevice::None, CSMI_SAS_PROTOCOL_SATA, address_for(3, 6));
  a.phys[6].Attached.bDeviceType = CSMI_SAS_NO_DEVICE_ATTACHED;
  attach(a, 7, sim::PhyDevice::Sata, CSMI_SAS_PROTOCOL_SATA, address_for(3, 7));
  a.phys[7].Identify.bDeviceType = CSMI_SAS_NO_DEVICE_ATTACHED;
  return a;
}

struct ResolveCase {
  const char* name;
  std::function<void(sim::Adapter&)> tweak;  // changes to the adapter of port 3
  std::u16string path;
  int32_t phy_index;   // -1: address form
  SasAddress address;  // address form
  uint64_t l_switch;
  int verbosity;
  int result;
  std::string expected;  // the whole output
  int32_t phy_after;     // the target's phy index afterwards
  int selected;          // the table entry left in the record (-1: the record's entry untouched)
};

void PrintTo(const ResolveCase& c, std::ostream* os) { *os << c.name; }

const std::u16string kPath3 = u"\\\\.\\SCSI3:";
const SasAddress kNoAddress{};
void no_change(sim::Adapter&) {}

// clang-format off
void phy3_has_phy1s_address(sim::Adapter& a) { std::memcpy(a.phys[3].Attached.bSASAddress, address_for(3, 1).data(), 8); }
void drive_past_number_of_phys(sim::Adapter& a) { a.number_of_phys = 4; csmi_test::attach_sata(a, 30, "SATA30"); }
void phy_info_fails(sim::Adapter& a) { a.faults.phy_info_fails = true; }
void open_refused(sim::Adapter& a) { a.faults.open_error = 5; }
void phy_info_return_code(sim::Adapter& a) { a.faults.return_code_control_code = CC_CSMI_SAS_GET_PHY_INFO; }
// clang-format on

const std::string kNoMatch = "Device Opened but SAS Address does not match any attached phy \n";
const std::string kNoPhyInfo = "Could not get CSMI phy information for \\\\.\\SCSI3:\n";

// clang-format off
const ResolveCase kResolveCases[] = {
    {"SataByPhyQuiet", no_change, kPath3, 1, kNoAddress, 0, 0, 1, "", 1, 1},
    {"SataByPhyVerbose", no_change, kPath3, 1, kNoAddress, 0, 1, 1, "CSMI_SAS_PROTOCOL_SATA supported for Phy: 1\n\n", 1, 1},
    {"StpByPhyVerbose", no_change, kPath3, 4, kNoAddress, 0, 2, 1, "CSMI_SAS_PROTOCOL_STP supported for Phy: 4\n\n", 4, 4},
    {"SspQuiet", no_change, kPath3, 5, kNoAddress, 0, 0, 0, "", 5, -1},
    {"SspVerbose", no_change, kPath3, 5, kNoAddress, 0, 1, 0, "CSMI_SAS_PROTOCOL_SSP supported for Phy: 5\n", 5, -1},
    {"TwoProtocolsByPhy", no_change, kPath3, 2, kNoAddress, 0, 0, 0, "Uknown Protocol 5 for Phy: 2\n", 2, -1},
    {"NothingAttached", no_change, kPath3, 6, kNoAddress, 0, 1, 0, "Device Opened but Phy 6 not valid.\n", 6, -1},
    {"NothingIdentified", no_change, kPath3, 7, kNoAddress, 0, 1, 0, "Device Opened but Phy 7 not valid.\n", 7, -1},
    {"EmptyPhy", no_change, kPath3, 0, kNoAddress, 0, 0, 0, "Device Opened but Phy 0 not valid.\n", 0, -1},
    {"PhyPastTheTable", no_change, kPath3, 32, kNoAddress, 0, 0, 0, "Device Opened but Phy 32 not valid.\n", 32, -1},
    {"PhyFarPastTheTable", no_change, kPath3, INT32_MAX, kNoAddress, 0, 0, 0, "Device Opened but Phy 2147483647 not valid.\n", INT32_MAX, -1},
    {"ByAddressQuiet", no_change, kPath3, -1, address_for(3, 3), 0, 0, 1, "", 3, 3},
    {"ByAddressVerbose", no_change, kPath3, -1, address_for(3, 4), 0, 1, 1, "SAS Address for Phy: 4 match.\n\nCSMI_SAS_PROTOCOL_STP supported for Phy: 4\n\n", 4, 4},
    {"ByAddressLastMatchWins", phy3_has_phy1s_address, kPath3, -1, address_for(3, 1), 0, 1, 1, "SAS Address for Phy: 1 match.\n\nSAS Address for Phy: 3 match.\n\nCSMI_SAS_PROTOCOL_SATA supported for Phy: 3\n\n", 3, 3},
    {"ByAddressTableWalkedPastNumberOfPhys", drive_past_number_of_phys, kPath3, -1, address_for(3, 30), 0, 0, 1, "", 30, 30},
    {"ByAddressNotIdentifiedNeverMatches", no_change, kPath3, -1, address_for(3, 7), 0, 1, 0, kNoMatch, -1, -1},
    {"ByAddressTwoProtocolsNeverMatch", no_change, kPath3, -1, address_for(3, 2), 0, 1, 0, kNoMatch, -1, -1},
    {"ByAddressUnknown", no_change, kPath3, -1, SasAddress{1, 2, 3, 4, 5, 6, 7, 8}, 0, 0, 0, kNoMatch, -1, -1},
    {"ByAddressSspMatchesThenRefused", no_change, kPath3, -1, address_for(3, 5), 0, 1, 0, "SAS Address for Phy: 5 match.\n\nCSMI_SAS_PROTOCOL_SSP supported for Phy: 5\n", 5, -1},
    {"NoAdapter", no_change, u"\\\\.\\SCSI4:", 1, kNoAddress, 0, 0, 0, "Error: Opening Device \\\\.\\SCSI4:\n", 1, -1},
    {"AdapterRefusesOpen", open_refused, kPath3, 1, kNoAddress, 0, 0, 0, "Error: Opening Device \\\\.\\SCSI3:\n", 1, -1},
    {"PhyInfoFails", phy_info_fails, kPath3, 1, kNoAddress, 0, 0, 0, kNoPhyInfo, 1, -1},
    {"PhyInfoReturnCodeNotExamined", phy_info_return_code, kPath3, 1, kNoAddress, 0, 0, 0, "Device Opened but Phy 1 not valid.\n", 1, -1},
    {"LSwitchTakesAnyAddress", no_change, kPath3, -1, SasAddress{9, 8, 7, 6, 5, 4, 3, 2}, 1, 1, 1, "", -1, -2},
    {"LSwitchStillNeedsPhyInfo", phy_info_fails, kPath3, -1, SasAddress{9, 8, 7, 6, 5, 4, 3, 2}, 1, 0, 0, kNoPhyInfo, -1, -1},
    {"LSwitchWithPhyFormSelectsThePhy", no_change, kPath3, 3, kNoAddress, 1, 1, 1, "CSMI_SAS_PROTOCOL_SATA supported for Phy: 3\n\n", 3, 3},
    {"LSwitchWithPhyFormStillChecks", no_change, kPath3, 7, kNoAddress, 1, 0, 0, "Device Opened but Phy 7 not valid.\n", 7, -1},
};
// clang-format on

class Resolve : public ::testing::TestWithParam<ResolveCase> {
 protected:
  void SetUp() override {
    sim::reset_world();
    console::capture_begin();
  }
  void TearDown() override { console::capture_end(); }
};

TEST_P(Resolve, OpensSelectsAndReports) {
  const ResolveCase& c = GetParam();
  c.tweak(add_resolution_adapter());
  const sim::Adapter& a = sim::world().adapters.front();

  DeviceCommand cmd;
  std::memset(&cmd, 0, sizeof cmd);
  cmd.verbosity = c.verbosity;
  cmd.l_switch = c.l_switch;
  CSMI_SAS_PHY_ENTITY before;
  std::memset(&before, 0xEE, sizeof before);
  if (c.selected != -2) cmd.phy = before;  // "/l" relies on the cleared record
  CsmiTarget target;
  target.adapter_path = c.path;
  target.phy_index = c.phy_index;
  std::memcpy(target.sas_address, c.address.data(), 8);

  EXPECT_EQ(open_csmi_target(cmd, target), c.result);
  EXPECT_EQ(console::captured_out(), c.expected);
  EXPECT_EQ(target.phy_index, c.phy_after);

  const bool opens = c.path == kPath3 && a.faults.open_error == 0;
  if (opens)
    EXPECT_NE(cmd.handle, kInvalidHandle);
  else
    EXPECT_EQ(cmd.handle, kInvalidHandle);

  if (c.selected >= 0) {
    EXPECT_EQ(0, std::memcmp(&cmd.phy, &a.phys[c.selected], sizeof cmd.phy));
  } else if (c.selected == -2) {
    // "/l": only the two address fields are written.
    CSMI_SAS_PHY_ENTITY expected{};
    std::memcpy(expected.Attached.bSASAddress, c.address.data(), 8);
    std::memcpy(expected.Identify.bSASAddress, c.address.data(), 8);
    EXPECT_EQ(0, std::memcmp(&cmd.phy, &expected, sizeof expected));
  } else {
    EXPECT_EQ(0, std::memcmp(&cmd.phy, &before, sizeof before));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Resolve, ::testing::ValuesIn(kResolveCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ResolveRequest, OpensTheAdapterAndReadsThePhyTable) {
  sim::reset_world();
  csmi_test::add_empty_adapter(12);
  csmi_test::attach_sata(sim::world().adapters.front(), 0, "S");
  DeviceCommand cmd{};
  CsmiTarget target;
  target.adapter_path = u"\\\\.\\SCSI12:";
  target.phy_index = 0;
  console::capture_begin();
  EXPECT_EQ(open_csmi_target(cmd, target), 1);
  console::capture_end();

  const auto& log = sim::world().log;
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].kind, sim::LogEntry::Kind::OpenAdapter);
  EXPECT_EQ(log[0].path, u"\\\\.\\SCSI12:");
  const std::vector<uint8_t>& b = log[1].request;
  ASSERT_EQ(b.size(), 2080u);
  expect_header(b, "CSMISAS\0", 60, 20);
  for (size_t i = 28; i < b.size(); ++i) ASSERT_EQ(b[i], 0) << "byte " << i;
}

TEST(ResolveRequest, OpenErrorIsKeptInTheRecord) {
  sim::reset_world();
  csmi_test::add_empty_adapter(3).faults.open_error = 5;
  DeviceCommand cmd{};
  CsmiTarget target;
  target.adapter_path = kPath3;
  console::capture_begin();
  EXPECT_EQ(open_csmi_target(cmd, target), 0);
  console::capture_end();
  EXPECT_EQ(cmd.last_os_error, 5u);
}

TEST(ResolveRequest, SelectedPhyCarriesIdentify) {
  // The entry left in the record addresses the drive: IDENTIFY through the dispatch reaches
  // the drive on the phy found by address.
  sim::reset_world();
  add_resolution_adapter();
  DeviceCommand cmd{};
  cmd.flags = interface_flag(InterfaceKind::CsmiStp);
  CsmiTarget target;
  target.adapter_path = kPath3;
  std::memcpy(target.sas_address, address_for(3, 3).data(), 8);
  console::capture_begin();
  ASSERT_EQ(open_csmi_target(cmd, target), 1);
  uint8_t data[512] = {};
  cmd.direction = DataDirection::In;
  cmd.data = data;
  cmd.data_length = 512;
  cmd.regs.command = 0xEC;
  cmd.regs.count_7_0 = 1;
  EXPECT_EQ(issue_command(cmd), kResultSuccess);
  console::capture_end();
  const auto expected = sim::identify_data(sim::world().adapters.front().drives[3]);
  EXPECT_EQ(0, std::memcmp(data, expected.data(), 512));
}

// --- The SSP probe -----------------------------------------------------------------------

TEST(SspProbe, SendsAStandardInquiry) {
  sim::reset_world();
  sim::Adapter& a = csmi_test::add_empty_adapter(1);
  attach(a, 5, sim::PhyDevice::Ssp, CSMI_SAS_PROTOCOL_SSP, address_for(1, 5));
  const CSMI_SAS_PHY_ENTITY entry = a.phys[5];
  const Handle h = platform_open_adapter(u"\\\\.\\SCSI1:");
  sim::world().log.clear();
  uint32_t error = 99;
  console::capture_begin();
  EXPECT_TRUE(ssp_inquiry_probe(h, entry, error));
  EXPECT_EQ(console::captured_out(), "SAS Address: 0x50 0x0a 0x0b 0x0c 0x00 0x01 0x00 0x05 \n");
  console::capture_end();
  EXPECT_EQ(error, 99u);  // untouched on success

  const auto r = csmi_requests();
  ASSERT_EQ(r.size(), 1u);
  const std::vector<uint8_t>& b = r[0].request;
  ASSERT_EQ(b.size(), 468u);
  expect_header(b, "CSMISAS\0", 60, 24);
  EXPECT_EQ(b[28], 0);     // bPhyIdentifier
  EXPECT_EQ(b[29], 0xFF);  // bPortIdentifier: ignore
  EXPECT_EQ(b[30], 0);     // bConnectionRate
  EXPECT_EQ(0, std::memcmp(b.data() + 32, entry.Attached.bSASAddress, 8));
  for (size_t i = 40; i < 48; ++i) EXPECT_EQ(b[i], 0);  // bLun
  EXPECT_EQ(b[48], 6);                                  // bCDBLength
  const uint8_t cdb[16] = {0x12, 0, 0, 0, 0x60, 0};
  EXPECT_EQ(0, std::memcmp(b.data() + 52, cdb, 16));
  EXPECT_EQ(u32_at(b, 68), 1u);   // uFlags: read
  EXPECT_EQ(u32_at(b, 96), 96u);  // uDataLength
  for (size_t i = 100; i < b.size(); ++i) ASSERT_EQ(b[i], 0) << "byte " << i;
}

TEST(SspProbe, FailureStoresTheError) {
  sim::reset_world();
  sim::Adapter& a = csmi_test::add_empty_adapter(1);
  a.faults.os_fail_control_code = CC_CSMI_SAS_SSP_PASSTHRU;
  a.faults.os_fail_error = 1117;
  attach(a, 5, sim::PhyDevice::Ssp, CSMI_SAS_PROTOCOL_SSP, address_for(1, 5));
  const Handle h = platform_open_adapter(u"\\\\.\\SCSI1:");
  uint32_t error = 0;
  console::capture_begin();
  EXPECT_FALSE(ssp_inquiry_probe(h, a.phys[5], error));
  console::capture_end();
  EXPECT_EQ(error, 1117u);
}

// --- The scan ----------------------------------------------------------------------------

class Scan : public ::testing::Test {
 protected:
  void SetUp() override { sim::reset_world(); }

  std::string scan(int verbosity) {
    sim::world().log.clear();
    console::capture_begin();
    EXPECT_EQ(scan_csmi_devices(verbosity), 0);
    std::string out = console::captured_out();
    console::capture_end();
    return out;
  }
};

const char kHint[] =
    "To Scan the system for Physical Devices please use the following:\n"
    "\t wmic diskdrive get DeviceID,model,FirmwareRevision,InterfaceType\n\n";

TEST_F(Scan, NoAdapterQuiet) {
  EXPECT_EQ(scan(0), std::string("\tScanning for CSMI Devices\n\n") + kHint);
}

TEST_F(Scan, NoAdapterVerbose) {
  std::string expected = "\tScanning for CSMI Devices\n\n";
  for (int port = 0; port <= 14; ++port)
    expected += "\\\\.\\SCSI" + std::to_string(port) + ":...NOT FOUND\n";
  expected +=
      "\n===============================================\n"
      "\nTested 0 valid controller(s) but didn't find any CSMI devices\n\n";
  expected += kHint;
  EXPECT_EQ(scan(1), expected);
  EXPECT_EQ(scan(2), expected);
}

TEST_F(Scan, TriesEveryPortInOrder) {
  scan(0);
  std::vector<std::u16string> opened;
  for (const auto& e : sim::world().log)
    if (e.kind == sim::LogEntry::Kind::OpenAdapter) opened.push_back(e.path);
  ASSERT_EQ(opened.size(), 15u);
  for (int port = 0; port <= 14; ++port) {
    const std::string digits = std::to_string(port);
    EXPECT_EQ(opened[port], u"\\\\.\\SCSI" + std::u16string(digits.begin(), digits.end()) + u":");
  }
}

struct GoldenCase {
  const char* name;
  bool builtin;  // the built-in adapter, else an adapter with no drive on port 1
  int verbosity;
  const char* file;
};

void PrintTo(const GoldenCase& c, std::ostream* os) { *os << c.name; }

const GoldenCase kGoldens[] = {
    {"EmptyAdapterQuiet", false, 0, "scan_empty_v0.txt"},
    {"EmptyAdapterVerbose", false, 1, "scan_empty_v1.txt"},
    {"EmptyAdapterVeryVerbose", false, 2, "scan_empty_v2.txt"},
    {"BuiltinQuiet", true, 0, "scan_builtin_v0.txt"},
    {"BuiltinVerbose", true, 1, "scan_builtin_v1.txt"},
    {"BuiltinVeryVerbose", true, 2, "scan_builtin_v2.txt"},
};

class ScanGolden : public Scan, public ::testing::WithParamInterface<GoldenCase> {};

TEST_P(ScanGolden, WholeReport) {
  const GoldenCase& c = GetParam();
  if (c.builtin)
    sim::add_builtin_adapter();
  else
    csmi_test::add_empty_adapter(1);
  EXPECT_EQ(scan(c.verbosity), golden(c.file));
}

INSTANTIATE_TEST_SUITE_P(Reports, ScanGolden, ::testing::ValuesIn(kGoldens),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Scan, RequestsCarryTheirHeaderValues) {
  sim::add_builtin_adapter();
  scan(0);
  struct Expected {
    uint32_t code;
    size_t size;
    const char* signature;
    uint32_t timeout;
  };
  // Per adapter: controller, driver, phy table; then IDENTIFY to phys 0..4 and INQUIRY to 5.
  const Expected expected[] = {
      {2, 208, "CSMIALL", 60},  {1, 204, "CSMIALL", 60},  {20, 2080, "CSMISAS", 60},
      {25, 680, "CSMISAS", 15}, {25, 680, "CSMISAS", 15}, {25, 680, "CSMISAS", 15},
      {25, 680, "CSMISAS", 15}, {25, 680, "CSMISAS", 15}, {24, 468, "CSMISAS", 60},
  };
  const auto r = csmi_requests();
  ASSERT_EQ(r.size(), std::size(expected));
  for (size_t i = 0; i < r.size(); ++i) {
    const std::vector<uint8_t>& b = r[i].request;
    SCOPED_TRACE("request " + std::to_string(i));
    ASSERT_EQ(b.size(), expected[i].size);
    EXPECT_EQ(r[i].path, u"\\\\.\\SCSI2:");
    expect_header(b, expected[i].signature, expected[i].timeout, expected[i].code);
    if (expected[i].code == 25) {
      EXPECT_EQ(b[28], i - 3);  // phy identifier of phy i - 3
      EXPECT_EQ(b[46], 0xEC);   // IDENTIFY DEVICE
      EXPECT_EQ(b[56], 1);      // Count
      EXPECT_EQ(u32_at(b, 64), 0x11u);
      for (int k = 47; k < 64; ++k) {
        if (k != 56) {
          EXPECT_EQ(b[k], 0) << "FIS byte " << k - 44;
        }
      }
    } else if (expected[i].code != 24) {
      for (size_t k = 28; k < b.size(); ++k) ASSERT_EQ(b[k], 0) << "byte " << k;
    }
  }
  // Each adapter is released after its walk.
  size_t closes = 0;
  for (const auto& e : sim::world().log)
    if (e.kind == sim::LogEntry::Kind::Close) ++closes;
  EXPECT_EQ(closes, 1u);
}

// Faults on an adapter with a SATA drive on phy 0: what must appear and what must not.
struct ScanFaultCase {
  const char* name;
  std::function<void(sim::Adapter&)> fault;
  int verbosity;
  std::vector<std::string> present;
  std::vector<std::string> absent;
};

void PrintTo(const ScanFaultCase& c, std::ostream* os) { *os << c.name; }

const std::string kTarget0 = "\\\\.\\SCSI1:0 # QMSIM0000000001,QUILLMARK SIM SSD 480,SIM1.00\n";

void os_fails(sim::Adapter& a, uint32_t code) { a.faults.os_fail_control_code = code; }
void returns_failure(sim::Adapter& a, uint32_t code) { a.faults.return_code_control_code = code; }
void attach_ssp_on_2(sim::Adapter& a) {
  attach(a, 2, sim::PhyDevice::Ssp, CSMI_SAS_PROTOCOL_SSP, address_for(1, 2));
}

const std::string kSsp2Address = "SAS Address: 0x50 0x0a 0x0b 0x0c 0x00 0x01 0x00 0x02 \n";

// clang-format off
const ScanFaultCase kScanFaults[] = {
    {"ControllerFailsScanGoesOn", [](sim::Adapter& a) { os_fails(a, CC_CSMI_SAS_GET_CNTLR_CONFIG); }, 1, {"\\\\.\\SCSI1:...FOUND\nGetting CSMI CNTLR info failed. \\\\.\\SCSI1:\n\n\n****", "\tDriver: testsas\n", kTarget0, "Found 1 CSMI Controller(s) and 1 CSMI device(s)"}, {"\tBoardID: "}},
    {"ControllerLastErrorCounts", [](sim::Adapter& a) { a.faults.cntlr_config_error = 50; }, 1, {"Getting CSMI CNTLR info failed. \\\\.\\SCSI1:\n\n", kTarget0}, {"\tBoardID: "}},
    {"ControllerReturnCodeNotConsulted", [](sim::Adapter& a) { returns_failure(a, CC_CSMI_SAS_GET_CNTLR_CONFIG); }, 1, {"\tBoardID: 0\n\tControllerFlags: 0\n"}, {"CNTLR info failed"}},
    {"DriverFailsAdapterNotWalked", [](sim::Adapter& a) { os_fails(a, CC_CSMI_SAS_GET_DRIVER_INFO); }, 1, {"Getting CSMI Driver info failed. \\\\.\\SCSI1:\n\n\\\\.\\SCSI2:...NOT FOUND\n", "Tested 1 valid controller(s) but didn't find any CSMI devices"}, {"Phy 0", "\tDriver:", kTarget0}},
    {"DriverLastErrorCounts", [](sim::Adapter& a) { a.faults.driver_info_error = 50; }, 0, {}, {kTarget0}},
    {"DriverReturnCodeNotConsulted", [](sim::Adapter& a) { returns_failure(a, CC_CSMI_SAS_GET_DRIVER_INFO); }, 1, {"\tDriver: \n\tDescription: \n\tVersion: 0.0\n", kTarget0}, {"Driver info failed"}},
    {"PhyTableFailsSilently", phy_info_fails, 1, {"\n\tTotal Number of Phys: 0\n\nPhy 0 Skipping...nothing identified\n", "Phy 31 Skipping...nothing identified\n", "Found 1 CSMI Controller(s) and 0 CSMI device(s)"}, {kTarget0}},
    {"IdentifyFails", [](sim::Adapter& a) { returns_failure(a, CC_CSMI_SAS_STP_PASSTHRU); }, 1, {"issue_stp_passthru: CMD=0xec failed. ioret=1 GetLastErr=0x0, IoctlHeader->ReturnCode=1\n\tCSMI:1:0 STP command FAILED with GetLastError 0 to Phy[0] Port[16]\n\n", "and 0 CSMI device(s)"}, {kTarget0}},
    {"IdentifyFailsQuiet", [](sim::Adapter& a) { os_fails(a, CC_CSMI_SAS_STP_PASSTHRU); a.faults.os_fail_error = 121; }, 0, {"issue_stp_passthru: CMD=0xec failed. ioret=0 GetLastErr=0x79, IoctlHeader->ReturnCode=0\n"}, {kTarget0, "STP command FAILED"}},
    {"IdentifyAbortedByDrive", [](sim::Adapter& a) { a.drives[0].faults.forced = true; }, 0, {"Status FIS: Status=0x51 Error=0x04\n"}, {kTarget0}},
    {"SspProbeFails", [](sim::Adapter& a) { attach_ssp_on_2(a); os_fails(a, CC_CSMI_SAS_SSP_PASSTHRU); }, 0, {kSsp2Address + "SSP command FAILED with GetLastError 31\n"}, {}},
    {"SspProbeAnswered", attach_ssp_on_2, 1, {"CSMI_SAS_PROTOCOL_SSP supported for Phy: 2\n" + kSsp2Address + "Phy 3 ", "and 1 CSMI device(s)"}, {"SSP command FAILED"}},
    {"UnknownProtocol", [](sim::Adapter& a) { attach(a, 2, sim::PhyDevice::None, CSMI_SAS_PROTOCOL_SMP, address_for(1, 2)); }, 0, {"Uknown Protocol 2 for Phy: 2 so skipping. \n"}, {}},
    {"ControlCharactersShowAsQuestionMarks", [](sim::Adapter& a) { std::strcpy(reinterpret_cast<char*>(a.driver_info.szName), "test\x1b[2Jsas\x7f"); a.drives[0].model = "QUILLMARK\x1b]0;x\x07"; }, 1,
     {"\tDriver: test?[2Jsas?\n", "\tDrive Model Number: QUILLMARK?]0;x?\n", "\\\\.\\SCSI1:0 # QMSIM0000000001,QUILLMARK?]0;x?,SIM1.00\n"}, {"\x1b", "\x07", "\x7f"}},
    {"DriveHeldByAnotherRunIsPassedBy", [](sim::Adapter& a) { sim::world().claims_elsewhere[claim_key(csmi_adapter_path(1u), a.phys[0], 0)] = 77; }, 0,
     {"\tScanning for CSMI Devices\n\nTo Scan"}, {kTarget0}},
    {"NoCsmiOnThisSystemHintsAtTheDriveNodes", [](sim::Adapter&) { sim::world().csmi_supported = false; }, 0,
     {"\tScanning for CSMI Devices\n\nTo Scan the system for Physical Devices please use the following:\n\t quillmark --list\nand name a drive by the /dev/sdX or /dev/sgN node it shows (lsblk -d lists them too).\n\n"}, {kTarget0, "wmic"}},
    {"DriverTextsWithoutNul", [](sim::Adapter& a) { std::memset(a.driver_info.szName, 'N', 81); std::memset(a.driver_info.szDescription, 'D', 81); }, 1, {"\tDriver: " + std::string(81, 'N') + "\n\tDescription: " + std::string(81, 'D') + "\n\tVersion: 4.12\n\tCSMI Version: 0.90\n\tRelease: 17\n"}, {}},
};
// clang-format on

class ScanFault : public Scan, public ::testing::WithParamInterface<ScanFaultCase> {};

TEST_P(ScanFault, ReportsAndGoesOn) {
  const ScanFaultCase& c = GetParam();
  sim::Adapter& a = csmi_test::add_empty_adapter(1);
  attach(a, 0, sim::PhyDevice::Sata, CSMI_SAS_PROTOCOL_SATA, address_for(1, 0));
  c.fault(a);
  const std::string out = scan(c.verbosity);
  for (const auto& text : c.present) EXPECT_NE(out.find(text), std::string::npos) << text;
  for (const auto& text : c.absent) EXPECT_EQ(out.find(text), std::string::npos) << text;
  if (sim::world().csmi_supported) {
    EXPECT_EQ(out.substr(out.size() - std::strlen(kHint)), kHint);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, ScanFault, ::testing::ValuesIn(kScanFaults),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Scan, SecurityStateNames) {
  struct Row {
    uint16_t word;
    const char* text;
  };
  const Row rows[] = {
      {0x0000, "0x0\n\tATA Security State: SEC1\n"},  {0x0001, "0x1\n\tATA Security State: SEC1\n"},
      {0x0008, "0x8\n\tATA Security State: SEC2\n"},  {0x0007, "0x7\n\tATA Security State: SEC4\n"},
      {0x0003, "0x3\n\tATA Security State: SEC5\n"},  {0x000B, "0xb\n\tATA Security State: SEC6\n"},
      {0x01FF, "0x1ff\n\tATA Security State: SEC6\n"}};
  sim::Adapter& a = csmi_test::add_empty_adapter(1);
  attach(a, 0, sim::PhyDevice::Sata, CSMI_SAS_PROTOCOL_SATA, address_for(1, 0));
  for (const Row& row : rows) {
    sim::world().adapters.front().drives[0].word128 = row.word;
    const std::string out = scan(1);
    EXPECT_NE(out.find(std::string("\tATA Security Word: ") + row.text), std::string::npos)
        << row.word;
  }
}

TEST_F(Scan, LargePortAndPhyNumbersStayDecimal) {
  sim::Adapter& a = csmi_test::add_empty_adapter(11);
  attach(a, 12, sim::PhyDevice::Stp, CSMI_SAS_PROTOCOL_STP, address_for(11, 12));
  a.drives[12].word128 = 0x000F;
  const std::string out = scan(1);
  EXPECT_NE(out.find("\tATA Security Word: 0xf\n"), std::string::npos);
  EXPECT_NE(out.find("\\\\.\\SCSI11:12 # QMSIM0000000001,"), std::string::npos) << out;
  EXPECT_NE(out.find("SAS Address (Attached): 500a0b0c000b000c\n"), std::string::npos);
}

TEST_F(Scan, TwoAdaptersAreCountedTogether) {
  sim::Adapter& a = csmi_test::add_empty_adapter(0);
  attach(a, 0, sim::PhyDevice::Sata, CSMI_SAS_PROTOCOL_SATA, address_for(0, 0));
  a.drives[0].serial = "FIRST";
  sim::Adapter& b = csmi_test::add_empty_adapter(14);
  attach(b, 31, sim::PhyDevice::Sata, CSMI_SAS_PROTOCOL_SATA, address_for(14, 31));
  b.drives[31].serial = "LAST";
  const std::string out = scan(1);
  const size_t first = out.find("\\\\.\\SCSI0:0 # FIRST,");
  const size_t last = out.find("\\\\.\\SCSI14:31 # LAST,");
  EXPECT_NE(first, std::string::npos);
  EXPECT_NE(last, std::string::npos);
  EXPECT_LT(first, last);
  EXPECT_NE(out.find("\nFound 2 CSMI Controller(s) and 2 CSMI device(s)\n\n"), std::string::npos);
}

}  // namespace
