// The transport seen from the wire: what open_device, issue_command and the two pass-through
// paths put into the simulated world's request log, what they print and what they return.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "platform/console.h"
#include "sim/world.h"
#include "support/helpers.h"
#include "transport/device_command.h"

namespace {

using enum InterfaceKind;

using Kind = sim::LogEntry::Kind;

const std::u16string kDrive = u"\\\\.\\PhysicalDrive0";
constexpr SCSI_ADDRESS kAddress{8, 9, 1, 2, 3};

// ---------------------------------------------------------------------------------------
// Commands as their callers set them (only the fields each one names).

void set_common(DeviceCommand& c, DataDirection direction, uint8_t* buf, uint32_t length,
                RegisterSet register_set, AtaProtocol protocol, uint8_t command) {
  c.direction = direction;
  c.data = buf;
  c.data_length = length;
  c.register_set = register_set;
  c.protocol = protocol;
  c.regs.command = command;
}

void set_identify(DeviceCommand& c, uint8_t* buf) {
  set_common(c, DataDirection::In, buf, 512, RegisterSet::Lba28, AtaProtocol::Pio, 0xEC);
  c.regs.count_7_0 = 1;
}

void set_read_log(DeviceCommand& c, uint8_t* buf) {
  set_common(c, DataDirection::In, buf, 512, RegisterSet::Lba48, AtaProtocol::Pio, 0x2F);
  c.regs.count_7_0 = 1;
  c.regs.lba_7_0 = 0x30;
  c.regs.lba_15_8 = 3;
}

// One 64-block segment at block offset 64.
void set_download(DeviceCommand& c, uint8_t* buf) {
  set_common(c, DataDirection::Out, buf, 512, RegisterSet::Lba28, AtaProtocol::Pio, 0x92);
  c.regs.features_7_0 = 0x03;
  c.regs.count_7_0 = 0x40;
  c.regs.lba_7_0 = 0x00;
  c.regs.lba_15_8 = 0x40;
  c.regs.lba_23_16 = 0x00;
  c.regs.device = 0x40;
}

void set_download_deferred(DeviceCommand& c, uint8_t* buf) {
  set_download(c, buf);
  c.regs.features_7_0 = 0x0E;
}

// The activation: no data, but still the PIO protocol.
void set_activate(DeviceCommand& c, uint8_t*) {
  set_common(c, DataDirection::None, nullptr, 0, RegisterSet::Lba28, AtaProtocol::Pio, 0x92);
  c.regs.features_7_0 = 0x0F;
  c.regs.count_7_0 = 0;
}

void set_flush(DeviceCommand& c, uint8_t*) {
  set_common(c, DataDirection::None, nullptr, 0, RegisterSet::Lba28, AtaProtocol::NonData, 0xE7);
}

void set_flush_ext(DeviceCommand& c, uint8_t*) {
  set_common(c, DataDirection::None, nullptr, 0, RegisterSet::Lba48, AtaProtocol::NonData, 0xEA);
}

void set_unknown_command(DeviceCommand& c, uint8_t*) {
  set_common(c, DataDirection::None, nullptr, 0, RegisterSet::Lba28, AtaProtocol::NonData, 0xB0);
}

// clang-format off
void set_identify_1024(DeviceCommand& c, uint8_t* buf) { set_identify(c, buf); c.data_length = 1024; }
// clang-format on

// Twelve distinct register values, so that every byte's place shows.
void set_all_registers(DeviceCommand& c, uint8_t* buf) {
  set_identify(c, buf);
  const uint8_t values[12] = {0x11, 0x12, 0x13, 0x14, 0x15, 0x16,
                              0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C};
  std::memcpy(&c.regs, values, sizeof values);
}

void set_all_registers_48(DeviceCommand& c, uint8_t* buf) {
  set_all_registers(c, buf);
  c.register_set = RegisterSet::Lba48;
}

// Upper halves left over from an earlier command, then READ LOG EXT / IDENTIFY on top.
void set_upper_halves(DeviceCommand& c) {
  c.regs.features_15_8 = 0x21;
  c.regs.count_15_8 = 0x22;
  c.regs.lba_31_24 = 0x23;
  c.regs.lba_39_32 = 0x24;
  c.regs.lba_47_40 = 0x25;
}

// clang-format off
void set_read_log_over_upper(DeviceCommand& c, uint8_t* buf) { set_upper_halves(c); set_read_log(c, buf); }
void set_identify_over_upper(DeviceCommand& c, uint8_t* buf) { set_upper_halves(c); set_identify(c, buf); }
// clang-format on

using Setter = void (*)(DeviceCommand&, uint8_t*);

// ---------------------------------------------------------------------------------------
// The world and the record.

sim::Port& fresh_world() {
  sim::reset_world();
  sim::world().log_data = true;  // the data-out bytes as sent are checked
  sim::Port& port = sim::add_port(kDrive);
  port.address = kAddress;
  // DOWNLOAD MICROCODE is the drive model's own business; here it just succeeds.
  port.drive.faults.forced = true;
  port.drive.faults.forced_command = 0x92;
  port.drive.faults.forced_status = 0x50;
  port.drive.faults.forced_error = 0x00;
  return port;
}

sim::Port& port() { return sim::world().ports.front(); }

DeviceCommand opened_record(uint64_t interface, int verbosity = 0) {
  DeviceCommand cmd = cleared_record(interface, verbosity);
  EXPECT_EQ(open_device(cmd, kDrive), kResultSuccess);
  sim::world().log.clear();
  return cmd;
}
DeviceCommand opened_record(InterfaceKind interface, int verbosity = 0) {
  return opened_record(interface_flag(interface), verbosity);
}

struct Outcome {
  int result;
  std::string out;
};

// Sends through the dispatch with the last error dirty, so that clearing it shows.
Outcome send(DeviceCommand& cmd, ReturnedRegisters* returned = nullptr) {
  sim::world().last_error = 0xDEAD;
  int result = 0;
  const Printed p = printed([&] { result = issue_command(cmd, returned); });
  return {result, p.out};
}

const sim::LogEntry& only_entry(Kind kind) {
  const auto& log = sim::world().log;
  EXPECT_EQ(log.size(), 1u);
  EXPECT_EQ(log.back().kind, kind);
  return log.back();
}

// The one request sent, of the given kind, as its structure.
template <typename Request>
Request sent(Kind kind) {
  const sim::LogEntry& e = only_entry(kind);
  Request r;
  std::memset(&r, 0xCC, sizeof r);
  EXPECT_EQ(e.request.size(), sizeof r);
  if (e.request.size() == sizeof r) std::memcpy(&r, e.request.data(), sizeof r);
  return r;
}

ScsiPassThroughRequest sent_scsi() { return sent<ScsiPassThroughRequest>(Kind::Scsi); }
ATA_PASS_THROUGH_DIRECT sent_ata() { return sent<ATA_PASS_THROUGH_DIRECT>(Kind::Ata); }

Bytes block(uint8_t seed) {
  Bytes b(512);
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(seed + i * 3);
  return b;
}

// ---------------------------------------------------------------------------------------
// SCSI pass-through: the request as sent.

struct ScsiCase {
  const char* name;
  Setter set;
  uint32_t options;
  Bytes cdb;  // CdbLength is its size
  uint8_t data_in;
  bool carries_data;
  int result;
  bool asks_registers = false;
};

void PrintTo(const ScsiCase& c, std::ostream* os) { *os << c.name; }

class ScsiRequest : public testing::TestWithParam<ScsiCase> {};

TEST_P(ScsiRequest, GoesOutByteForByte) {
  const ScsiCase& c = GetParam();
  fresh_world();
  DeviceCommand cmd = opened_record(ScsiPassThrough);
  cmd.passthru_options = c.options;
  Bytes data = block(7);
  const Bytes original = data;
  c.set(cmd, data.data());

  ReturnedRegisters registers;
  const Outcome o = send(cmd, c.asks_registers ? &registers : nullptr);
  EXPECT_EQ(o.result, c.result);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(cmd.last_os_error, 0u);

  const ScsiPassThroughRequest r = sent_scsi();
  const SCSI_PASS_THROUGH_DIRECT& h = r.sptd;
  EXPECT_EQ(h.Length, 56);
  EXPECT_EQ(h.ScsiStatus, 0);
  EXPECT_EQ(h.PathId, kAddress.PathId);
  EXPECT_EQ(h.TargetId, kAddress.TargetId);
  EXPECT_EQ(h.Lun, kAddress.Lun);
  EXPECT_EQ(h.CdbLength, c.cdb.size());
  EXPECT_EQ(h.SenseInfoLength, 252);
  EXPECT_EQ(h.DataIn, c.data_in);
  EXPECT_EQ(h.DataTransferLength, c.carries_data ? 512u : 0u);
  EXPECT_EQ(h.TimeOutValue, 5u);
  EXPECT_EQ(h.DataBuffer, c.carries_data ? static_cast<void*>(data.data()) : nullptr);
  EXPECT_EQ(h.SenseInfoOffset, 56u);
  Bytes cdb = c.cdb;
  cdb.resize(16, 0);
  EXPECT_EQ(range(h.Cdb, 0, 16), cdb);
  EXPECT_EQ(r.total_length, 312u);
  // Zero-filled: the sense area and the gaps between the fields.
  EXPECT_EQ(range(&r, 56, 252), Bytes(252, 0));
  EXPECT_EQ(range(&r, 9, 3), Bytes(3, 0));
  EXPECT_EQ(range(&r, 20, 4), Bytes(4, 0));
  EXPECT_EQ(range(&r, 52, 4), Bytes(4, 0));

  const sim::LogEntry& e = sim::world().log.back();
  EXPECT_EQ(e.path, kDrive);
  EXPECT_EQ(e.data_out, c.data_in == SCSI_IOCTL_DATA_OUT ? original : Bytes{});
}

constexpr uint8_t kIn = SCSI_IOCTL_DATA_IN;
constexpr uint8_t kOut = SCSI_IOCTL_DATA_OUT;
constexpr uint8_t kUnspecified = SCSI_IOCTL_DATA_UNSPECIFIED;
constexpr uint32_t k16 = kPassThrough16;

// clang-format off
const ScsiCase kScsiCases[] = {
    {"Identify", set_identify, k16, {0x85, 0x08, 0x0E, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0}, kIn, true, 1},
    {"ReadLogExt", set_read_log, k16, {0x85, 0x09, 0x0E, 0, 0, 0, 0x01, 0, 0x30, 0, 0x03, 0, 0, 0, 0x2F, 0}, kIn, true, 1},
    {"DownloadWithData", set_download_deferred, k16, {0x85, 0x0A, 0x06, 0, 0x0E, 0, 0x40, 0, 0, 0, 0x40, 0, 0, 0x40, 0x92, 0}, kOut, true, 1},
    // The registers asked for (the engine asks on segments of mode 0x03) set CK_COND; the
    // command itself does not.
    {"RegistersAskedSetCkCond", set_download, k16, {0x85, 0x0A, 0x26, 0, 0x03, 0, 0x40, 0, 0, 0, 0x40, 0, 0, 0x40, 0x92, 0}, kOut, true, 1, true},
    {"SegmentUnaskedLeavesCkCondClear", set_download, k16, {0x85, 0x0A, 0x06, 0, 0x03, 0, 0x40, 0, 0, 0, 0x40, 0, 0, 0x40, 0x92, 0}, kOut, true, 1},
    {"DownloadWithoutData", set_activate, k16, {0x85, 0x0A, 0x06, 0, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x92, 0}, kUnspecified, false, 1},
    {"NonData", set_flush, k16, {0x85, 0x06, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xE7, 0}, kUnspecified, false, 11},
    {"NonData48", set_flush_ext, k16, {0x85, 0x07, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xEA, 0}, kUnspecified, false, 11},
    {"CkCond", set_identify, k16 | kPassThroughCkCond, {0x85, 0x08, 0x2E, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0}, kIn, true, 11},
    {"RegistersAsOneRun", set_all_registers_48, k16, {0x85, 0x09, 0x0E, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0}, kIn, true, 11},
    {"UpperHalvesOf28BitCommand", set_all_registers, k16, {0x85, 0x08, 0x0E, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0}, kIn, true, 11},
    {"Short12Identify", set_identify, 0, {0xA1, 0x08, 0x0E, 0, 0x01, 0, 0, 0, 0, 0xEC, 0, 0}, kIn, true, 1},
    {"Short12DropsUpperHalves", set_all_registers_48, 0, {0xA1, 0x09, 0x0E, 0x12, 0x14, 0x16, 0x18, 0x1A, 0x1B, 0x1C, 0, 0}, kIn, true, 11},
    {"Short12Download", set_download, 0, {0xA1, 0x0A, 0x06, 0x03, 0x40, 0, 0x40, 0, 0x40, 0x92, 0, 0}, kOut, true, 1},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, ScsiRequest, testing::ValuesIn(kScsiCases), case_name<ScsiCase>);

// ---------------------------------------------------------------------------------------
// ATA pass-through: the request as sent.

struct AtaCase {
  const char* name;
  Setter set;
  uint16_t flags;
  Bytes previous;
  Bytes current;
  bool carries_data;
  int result;
};

void PrintTo(const AtaCase& c, std::ostream* os) { *os << c.name; }

class AtaRequest : public testing::TestWithParam<AtaCase> {};

TEST_P(AtaRequest, GoesOutByteForByte) {
  const AtaCase& c = GetParam();
  fresh_world();
  DeviceCommand cmd = opened_record(AtaPassThrough);
  Bytes data = block(9);
  const Bytes original = data;
  c.set(cmd, data.data());

  const Outcome o = send(cmd);
  EXPECT_EQ(o.result, c.result);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(cmd.last_os_error, 0u);

  const ATA_PASS_THROUGH_DIRECT r = sent_ata();
  EXPECT_EQ(r.Length, 48);
  EXPECT_EQ(r.AtaFlags, c.flags);
  EXPECT_EQ(r.PathId, kAddress.PathId);
  EXPECT_EQ(r.TargetId, kAddress.TargetId);
  EXPECT_EQ(r.Lun, kAddress.Lun);
  EXPECT_EQ(r.ReservedAsUchar, 0);
  EXPECT_EQ(r.DataTransferLength, c.carries_data ? 512u : 0u);
  EXPECT_EQ(r.TimeOutValue, 5u);
  EXPECT_EQ(r.ReservedAsUlong, 0u);
  EXPECT_EQ(r.DataBuffer, c.carries_data ? static_cast<void*>(data.data()) : nullptr);
  EXPECT_EQ(range(r.PreviousTaskFile, 0, 8), c.previous);
  EXPECT_EQ(range(r.CurrentTaskFile, 0, 8), c.current);
  EXPECT_EQ(range(&r, 20, 4), Bytes(4, 0));

  const sim::LogEntry& e = sim::world().log.back();
  EXPECT_EQ(e.path, kDrive);
  EXPECT_EQ(e.data_out, (c.flags & ATA_FLAGS_DATA_OUT) ? original : Bytes{});
}

const Bytes kZero8(8, 0);

// clang-format off
const AtaCase kAtaCases[] = {
    {"Identify", set_identify, 0x03, kZero8, {0, 0x01, 0, 0, 0, 0, 0xEC, 0}, true, 1},
    {"ReadLogExt", set_read_log, 0x0B, kZero8, {0, 0x01, 0x30, 0x03, 0, 0, 0x2F, 0}, true, 1},
    // The drive reads page 0x2403 and aborts: nothing delivered, so a failure.
    {"ReadLogExtCarriesUpperHalves", set_read_log_over_upper, 0x0B, {0x21, 0x22, 0x23, 0x24, 0x25, 0, 0, 0}, {0, 0x01, 0x30, 0x03, 0, 0, 0x2F, 0}, true, 11},
    {"Identify28BitLeavesPreviousZero", set_identify_over_upper, 0x03, kZero8, {0, 0x01, 0, 0, 0, 0, 0xEC, 0}, true, 1},
    {"DownloadWithData", set_download, 0x05, kZero8, {0x03, 0x40, 0x00, 0x40, 0x00, 0x40, 0x92, 0}, true, 1},
    {"DownloadWithoutData", set_activate, 0x01, kZero8, {0x0F, 0, 0, 0, 0, 0, 0x92, 0}, false, 1},
    {"AllRegisters48", set_all_registers_48, 0x0B, {0x11, 0x13, 0x15, 0x17, 0x19, 0, 0, 0}, {0x12, 0x14, 0x16, 0x18, 0x1A, 0x1B, 0x1C, 0}, true, 11},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, AtaRequest, testing::ValuesIn(kAtaCases), case_name<AtaCase>);

// ---------------------------------------------------------------------------------------
// Data arrive in the caller's buffer on both paths.

class DataIn : public testing::TestWithParam<InterfaceKind> {};

TEST_P(DataIn, IdentifyDataLandInTheBuffer) {
  fresh_world();
  DeviceCommand cmd = opened_record(GetParam());
  Bytes data(512, 0xEE);
  set_identify(cmd, data.data());
  EXPECT_EQ(send(cmd).result, kResultSuccess);
  EXPECT_EQ(data, sim::identify_data(port().drive));
}

INSTANTIATE_TEST_SUITE_P(BothPaths, DataIn, testing::Values(ScsiPassThrough, AtaPassThrough));

// ---------------------------------------------------------------------------------------
// Failures of the SCSI path.

struct PlannedFault {
  uint32_t scsi_error = 0;
  uint32_t ata_error = 0;
  bool timeout = false;
  int scsi_status = -1;
  Bytes sense;
  bool drive_forced = false;
  uint8_t forced_status = 0;
  uint8_t forced_error = 0;
  bool forced_after_data = false;
};

void plan(const PlannedFault& f) {
  sim::PortFaults& pf = port().faults;
  pf.scsi_error = f.scsi_error;
  pf.ata_error = f.ata_error;
  pf.timeout = f.timeout;
  pf.scsi_status = f.scsi_status;
  pf.sense = f.sense;
  if (f.drive_forced) {
    sim::DriveFaults& df = port().drive.faults;
    df.forced = true;
    df.forced_command = 0;
    df.forced_status = f.forced_status;
    df.forced_error = f.forced_error;
    df.forced_after_data = f.forced_after_data;
  }
}

struct FailureCase {
  const char* name;
  Setter set;
  PlannedFault fault;
  int verbosity;
  const char* out;
  int result;
  uint32_t last_os_error;
  bool asks_registers = false;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

// Runs a failure row on the given path: what it prints and returns, and that the request was
// sent once, never retried.
void run_failure(const FailureCase& c, InterfaceKind interface) {
  fresh_world();
  DeviceCommand cmd = opened_record(interface, c.verbosity);
  plan(c.fault);
  Bytes data(1024);
  c.set(cmd, data.data());
  ReturnedRegisters registers;
  const Outcome o = send(cmd, c.asks_registers ? &registers : nullptr);
  EXPECT_EQ(o.out, c.out);
  EXPECT_EQ(o.result, c.result);
  EXPECT_EQ(cmd.last_os_error, c.last_os_error);
  EXPECT_EQ(sim::world().log.size(), 1u);
}

class ScsiFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(ScsiFailure, PrintsAndReturns) { run_failure(GetParam(), ScsiPassThrough); }

// clang-format off
PlannedFault scsi_error(uint32_t code) { PlannedFault f; f.scsi_error = code; return f; }
PlannedFault ata_error(uint32_t code) { PlannedFault f; f.ata_error = code; return f; }
PlannedFault timed_out() { PlannedFault f; f.timeout = true; return f; }
PlannedFault scsi_status(int status, Bytes sense = {}) { PlannedFault f; f.scsi_status = status; f.sense = std::move(sense); return f; }
// clang-format on

PlannedFault drive_answers(uint8_t status, uint8_t error, bool after_data = false) {
  PlannedFault f;
  f.drive_forced = true;
  f.forced_status = status;
  f.forced_error = error;
  f.forced_after_data = after_data;
  return f;
}

// clang-format off
const FailureCase kScsiFailures[] = {
    {"InvalidFunctionVerbose", set_identify, scsi_error(1), 1, "IO Error ERROR_INVALID_FUNCTION [1]\n", 9, 1},
    {"InvalidFunctionQuiet", set_identify, scsi_error(1), 0, "", 9, 1},
    {"OtherErrorVerbose", set_identify, scsi_error(31), 1, "IO Error [31]\n", 0, 31},
    {"OtherErrorQuiet", set_identify, scsi_error(31), 0, "", 0, 31},
    {"TimeoutVeryVerbose", set_identify, timed_out(), 2, "IO Error [121]\n", 0, 121},
    {"CheckConditionGivenSense", set_download, scsi_status(2, {0x70, 0x05, 0x24}), 1, "CHECK CONDITION ERROR for CMD: 92Sense Buffer: 70524\n", 11, 0},
    {"CheckConditionQuiet", set_download, scsi_status(2, {0x70, 0x05, 0x24}), 0, "", 11, 0},
    {"DriveAbortsThroughBridge", set_unknown_command, {}, 1, "CHECK CONDITION ERROR for CMD: b0Sense Buffer: 700b\n", 11, 0},
    // The drive's registers beside an INVALID FIELD IN CDB: the drive ran the segment, so it
    // is not sent again without CK_COND.
    {"RegistersBesideARefusal", set_download, scsi_status(2, {0x72, 0x05, 0x24, 0, 0, 0, 0, 14, 0x09, 0x0C, 0, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0x51}), 1, "CHECK CONDITION ERROR for CMD: 92Sense Buffer: 72524\n", 11, 0, true},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, ScsiFailure, testing::ValuesIn(kScsiFailures),
                         case_name<FailureCase>);

// Only GOOD and CONDITION MET mean the drive did the command.
struct StatusCase {
  uint8_t status;
  int result;
  const char* verbose_out;
};

void PrintTo(const StatusCase& c, std::ostream* os) { *os << "status " << int(c.status); }

class ScsiStatus : public testing::TestWithParam<StatusCase> {};

TEST_P(ScsiStatus, OnlyGoodAndConditionMetSucceed) {
  const StatusCase& c = GetParam();
  for (int verbosity : {0, 1, 2}) {
    fresh_world();
    DeviceCommand cmd = opened_record(ScsiPassThrough, verbosity);
    plan(scsi_status(c.status));
    Bytes data(512);
    set_identify(cmd, data.data());
    const Outcome o = send(cmd);
    EXPECT_EQ(o.result, c.result) << verbosity;
    EXPECT_EQ(o.out, verbosity != 0 ? c.verbose_out : "") << verbosity;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScsiStatus,
    testing::Values(StatusCase{0x00, 1, ""}, StatusCase{0x04, 1, ""},
                    StatusCase{0x08, 11, "SCSI STATUS ERROR for CMD: ec Status: 8\n"},
                    StatusCase{0x18, 11, "SCSI STATUS ERROR for CMD: ec Status: 18\n"},
                    StatusCase{0x28, 11, "SCSI STATUS ERROR for CMD: ec Status: 28\n"},
                    StatusCase{0x30, 11, "SCSI STATUS ERROR for CMD: ec Status: 30\n"},
                    StatusCase{0x40, 11, "SCSI STATUS ERROR for CMD: ec Status: 40\n"}));

// ---------------------------------------------------------------------------------------
// Failures of the ATA path.

class AtaFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(AtaFailure, PrintsAndReturns) { run_failure(GetParam(), AtaPassThrough); }

// clang-format off
const FailureCase kAtaFailures[] = {
    {"InvalidFunctionVerbose", set_identify, ata_error(1), 1, " WinIoStatus = 0x1", 9, 1},
    {"InvalidFunctionQuiet", set_identify, ata_error(1), 0, "", 9, 1},
    {"OtherErrorVerbose", set_identify, ata_error(31), 1, " WinIoStatus = 0x1f", 0, 31},
    {"TimeoutVerbose", set_identify, timed_out(), 1, " WinIoStatus = 0x79", 0, 121},
    {"InterfaceCrcIsSilent", set_identify, drive_answers(0x51, 0x84), 2, "", 13, 0},
    {"InterfaceCrcNeedsStatusOtherThan50", set_download, drive_answers(0x50, 0x84), 1, "", 1, 0},
    {"DataInFullyTransferred", set_identify, drive_answers(0x51, 0x04, true), 1, "", 1, 0},
    {"DataInShort", set_identify_1024, drive_answers(0x51, 0x04, true), 1, " Status = 0x51 Error = 0x4 SC = 0x0 LBA Low = 0x0 LBA Mid = 0x0 LBA Hi = 0x0\n Data Transfered = 512 [io=48, req=1024]\n", 11, 0},
    {"DataOutStatus40", set_download, drive_answers(0x40, 0x00), 1, " Status = 0x40 Error = 0x0 SC = 0x0 LBA Low = 0x0 LBA Mid = 0x0 LBA Hi = 0x0\n Data Transfered = 0 [io=48, req=512]\n", 11, 0},
    {"DataOutStatus40Quiet", set_download, drive_answers(0x40, 0x00), 0, "", 11, 0},
    // The whole byte is compared: DRDY and DSC with one more bit is not success.
    {"Status52IsNot50", set_activate, drive_answers(0x52, 0x00), 1, " Status = 0x52 Error = 0x0 SC = 0x0 LBA Low = 0x0 LBA Mid = 0x0 LBA Hi = 0x0\n Data Transfered = 0 [io=48, req=0]\n", 11, 0},
    {"DriveAbortsUnknownCommand", set_unknown_command, {}, 1, " Status = 0x51 Error = 0x4 SC = 0x0 LBA Low = 0x0 LBA Mid = 0x0 LBA Hi = 0x0\n Data Transfered = 0 [io=48, req=0]\n", 11, 0},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, AtaFailure, testing::ValuesIn(kAtaFailures),
                         case_name<FailureCase>);

// ---------------------------------------------------------------------------------------
// Registers carry over from one command to the next.

class CarryOver : public testing::TestWithParam<InterfaceKind> {};

TEST_P(CarryOver, UnsetRegistersKeepThePreviousCommandsValues) {
  fresh_world();
  DeviceCommand cmd = opened_record(GetParam());
  Bytes image = block(1);
  set_download(cmd, image.data());
  cmd.regs.lba_7_0 = 0x11;
  cmd.regs.lba_15_8 = 0x22;
  cmd.regs.lba_23_16 = 0x33;
  cmd.regs.device = 0xE0;
  cmd.timeout = 9;
  send(cmd);
  sim::world().log.clear();

  Bytes data(512);
  set_identify(cmd, data.data());
  send(cmd);
  // Features, LBA, Device and the timeout as the download left them.
  if (GetParam() == ScsiPassThrough) {
    const ScsiPassThroughRequest r = sent_scsi();
    EXPECT_EQ(range(r.sptd.Cdb, 0, 16), (Bytes{0x85, 0x08, 0x0E, 0, 0x03, 0, 0x01, 0, 0x11, 0, 0x22,
                                               0, 0x33, 0xE0, 0xEC, 0}));
    EXPECT_EQ(r.sptd.TimeOutValue, 9u);
  } else {
    const ATA_PASS_THROUGH_DIRECT r = sent_ata();
    EXPECT_EQ(range(r.CurrentTaskFile, 0, 8), (Bytes{0x03, 0x01, 0x11, 0x22, 0x33, 0xE0, 0xEC, 0}));
    EXPECT_EQ(r.TimeOutValue, 9u);
  }
}

INSTANTIATE_TEST_SUITE_P(BothPaths, CarryOver, testing::Values(ScsiPassThrough, AtaPassThrough));

TEST(Transport, DoesNotWriteTheDrivesAnswerIntoTheRecord) {
  for (InterfaceKind interface : {ScsiPassThrough, AtaPassThrough}) {
    fresh_world();
    DeviceCommand cmd = opened_record(interface, 1);
    Bytes data(512);
    set_unknown_command(cmd, data.data());
    const DeviceCommand before = cmd;
    send(cmd);
    EXPECT_EQ(std::memcmp(&before.regs, &cmd.regs, sizeof cmd.regs), 0);
    EXPECT_EQ(before.data_length, cmd.data_length);
    EXPECT_EQ(before.direction, cmd.direction);
  }
}

// ---------------------------------------------------------------------------------------
// Dispatch.

struct DispatchCase {
  const char* name;
  uint64_t flags;
  bool open;
  int result;
  int sent;  // -1 nothing, else the request kind
};

void PrintTo(const DispatchCase& c, std::ostream* os) { *os << c.name; }

class Dispatch : public testing::TestWithParam<DispatchCase> {};

TEST_P(Dispatch, PicksTheTransport) {
  const DispatchCase& c = GetParam();
  fresh_world();
  DeviceCommand cmd = c.open ? opened_record(c.flags, 2) : cleared_record(c.flags, 2);
  if (!c.open) cmd.handle = kInvalidHandle;
  Bytes data(512);
  set_identify(cmd, data.data());
  const Outcome o = send(cmd);
  EXPECT_EQ(o.result, c.result);
  EXPECT_EQ(o.out, "");
  if (c.sent < 0)
    EXPECT_TRUE(sim::world().log.empty());
  else
    only_entry(static_cast<Kind>(c.sent));
}

// clang-format off
const DispatchCase kDispatchCases[] = {
    {"Scsi", interface_flag(ScsiPassThrough), true, 1, int(Kind::Scsi)},
    {"ScsiTestedFirst", interface_flag(ScsiPassThrough) | interface_flag(AtaPassThrough), true, 1, int(Kind::Scsi)},
    {"Ata", interface_flag(AtaPassThrough), true, 1, int(Kind::Ata)},
    {"AtaBeforeCsmi", interface_flag(AtaPassThrough) | interface_flag(CsmiStp), true, 1, int(Kind::Ata)},
    {"CsmiInvalidHandle", interface_flag(CsmiStp), false, 0, -1},
    {"CsmiInvalidHandleWithOptions", interface_flag(CsmiStp) | kFlagActivate, false, 0, -1},
    {"NoInterface", 0, true, 1, -1},
    {"OptionBitsOnly", kFlagActivate | kFlagDeviceInfo, true, 1, -1},
    {"ScanWord", kFlagScan, true, 1, -1},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, Dispatch, testing::ValuesIn(kDispatchCases),
                         case_name<DispatchCase>);

// ---------------------------------------------------------------------------------------
// Opening.

struct OpenCase {
  const char* name;
  std::u16string path;
  uint32_t open_error;
  uint32_t address_error;
  int verbosity;
  const char* out;
  int result;
  bool handle_open;
  uint32_t last_os_error;
};

void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.name; }

class OpenDevice : public testing::TestWithParam<OpenCase> {};

TEST_P(OpenDevice, OpensAndAddresses) {
  const OpenCase& c = GetParam();
  fresh_world();
  port().faults.open_error = c.open_error;
  port().faults.address_error = c.address_error;
  DeviceCommand cmd = cleared_record(ScsiPassThrough, c.verbosity);
  sim::world().last_error = 0xDEAD;

  int result = 0;
  EXPECT_EQ(printed([&] { result = open_device(cmd, c.path); }).out, c.out);
  EXPECT_EQ(result, c.result);
  EXPECT_EQ(cmd.last_os_error, c.last_os_error);
  EXPECT_EQ(cmd.handle != kInvalidHandle, c.handle_open);
  const auto& log = sim::world().log;
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0].kind, Kind::OpenDrive);
  EXPECT_EQ(log[0].path, c.path);
  if (!c.handle_open) {
    EXPECT_EQ(log.size(), 1u);
    return;
  }
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].kind, Kind::GetAddress);
  EXPECT_EQ(log[1].request, (Bytes{8, 0, 0, 0, 0, 0, 0, 0}));
  if (c.result == kResultSuccess) {
    EXPECT_EQ(cmd.address.Length, 8u);
    EXPECT_EQ(cmd.address.PathId, kAddress.PathId);
    EXPECT_EQ(cmd.address.TargetId, kAddress.TargetId);
    EXPECT_EQ(cmd.address.Lun, kAddress.Lun);
  }
  // Whatever happened after the open, the handle is the caller's to close.
  EXPECT_TRUE(platform_close(cmd.handle));
}

const std::u16string kMissing = u"\\\\.\\PhysicalDrive7";

// clang-format off
const OpenCase kOpenCases[] = {
    {"Opens", kDrive, 0, 0, 1, "", 1, true, 0},
    {"AccessDeniedVerbose", kDrive, 5, 0, 1, "CreateFileW Failed due to ACCESS DENIED error.\nAdmin mode is required for this tool to perform.\n", 2, false, 5},
    {"AccessDeniedQuiet", kDrive, 5, 0, 0, "", 2, false, 5},
    {"MissingVerbose", kMissing, 0, 0, 2, "CreateFileW INVALID_HANDLE_VALUE Error: 2", 2, false, 2},
    {"MissingQuiet", kMissing, 0, 0, 0, "", 2, false, 2},
    {"OtherOpenError", kDrive, 32, 0, 1, "CreateFileW INVALID_HANDLE_VALUE Error: 32", 2, false, 32},
    {"AddressRefusedVerbose", kDrive, 0, 1, 1, "DeviceIoControl for IOCTL_SCSI_GET_ADDRESS Error: 1", 2, true, 1},
    {"AddressRefusedQuiet", kDrive, 0, 50, 0, "", 2, true, 50},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, OpenDevice, testing::ValuesIn(kOpenCases), case_name<OpenCase>);

}  // namespace
