// The drive sequence end to end: the tool runs in-process over the built-in simulated world,
// and each case checks the exit code, what the world received (in order, pauses included) and
// what the user saw.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/host.h"
#include "platform/text.h"
#include "platform/wire.h"
#include "sim/builtin_world.h"
#include "sim/image_format.h"
#include "sim/world.h"
#include "support/expected_texts.h"
#include "support/helpers.h"
#include "support/run_tool.h"
#include "transport/device_command.h"

namespace {

const std::string kDrive0 = "\\\\.\\PhysicalDrive0";
const std::string kDrive1 = "\\\\.\\PhysicalDrive1";
const std::string kDrive2 = "\\\\.\\PhysicalDrive2";
const std::string kDrive3 = "\\\\.\\PhysicalDrive3";
const std::string kDrive4 = "\\\\.\\PhysicalDrive4";
const std::string kNoDrive = "\\\\.\\PhysicalDrive9";

// Three full 64-block segments and a 2-block remainder.
constexpr uint32_t kImageSize = 3 * 32768 + 1024;
const std::string kNewRevision = "SIM2.00";

std::string image_path() { return testing::TempDir() + "quillmark_drive_sequence_fw.bin"; }
std::string missing_path() { return testing::TempDir() + "quillmark_drive_sequence_none.bin"; }
// The first 64 KiB of an image whose header names 1 MiB: a truncated download.
std::string truncated_path() { return testing::TempDir() + "quillmark_drive_sequence_cut.bin"; }
constexpr uint32_t kTruncatedSize = 65536;

std::vector<uint8_t> write_image(const std::string& path, uint32_t size) {
  std::vector<uint8_t> image = sim::make_image(size, kNewRevision);
  EXPECT_TRUE(write_file(path, image));
  return image;
}

// --- The spinner ------------------------------------------------------------------------------
// Each run turns a spinner of its own, so the expected texts mark each spinner position with
// \x01 and the marks are filled in from the run's first line on.
std::string spinner(int n) {
  switch (n % 4) {
    case 0:
      return "|";
    case 1:
      return "/";
    case 2:
      return std::string(console::hline());
    default:
      return "\\";
  }
}

std::string fill_spinners(const std::string& text) {
  std::string out;
  int lines = 0;
  for (char c : text) {
    if (c == '\x01')
      out += spinner(++lines);
    else
      out += c;
  }
  return out;
}

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

ToolRun run(const std::vector<std::string>& args) {
  std::vector<std::u16string> wide;
  for (const auto& a : args) wide.push_back(u16(a));
  return run_tool(wide);
}

// --- What the world received ------------------------------------------------------------------

std::string hex2(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02X", v & 0xFF);
  return buf;
}

std::string ata_token(uint8_t command, uint8_t features) {
  return hex2(command) + "/" + hex2(features);
}

// The token of one request: open, addr, inq, inq80, an ATA command as "<command>/<features>"
// (whichever path carried it), close, and z<ms> for a pause.
std::string token_of(const sim::LogEntry& e) {
  using K = sim::LogEntry::Kind;
  const uint8_t* request = e.request.data();
  switch (e.kind) {
    // clang-format off
    case K::OpenDrive: return "open";
    case K::OpenAdapter: return "open-adapter";
    case K::GetAddress: return "addr";
    case K::Close: return "close";
    case K::Sleep: return "z" + std::to_string(e.value);
    // clang-format on
    case K::Scsi: {
      if (e.request.size() < sizeof(SCSI_PASS_THROUGH_DIRECT)) return "scsi?";
      const uint8_t* cdb = request + offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb);
      if (cdb[0] == 0x12) return (cdb[1] & 1) ? "inq" + hex2(cdb[2]) : "inq";
      if (cdb[0] == 0x85) return ata_token(cdb[14], cdb[4]);
      return "cdb" + hex2(cdb[0]);
    }
    case K::Ata: {
      if (e.request.size() < sizeof(ATA_PASS_THROUGH_DIRECT)) return "ata?";
      const uint8_t* tf = request + offsetof(ATA_PASS_THROUGH_DIRECT, CurrentTaskFile);
      return ata_token(tf[6], tf[0]);
    }
    case K::FirmwareInfo:
      return "fwinfo";
    case K::FirmwareDownload: {
      // The segment in blocks, and the FIRST_SEGMENT / LAST_SEGMENT flags as f and l.
      STORAGE_HW_FIRMWARE_DOWNLOAD r{};
      if (e.request.size() < offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, ImageBuffer)) return "fwdl?";
      std::memcpy(&r, request, offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, ImageBuffer));
      return "fwdl" + std::to_string(r.Offset / 512) + "+" + std::to_string(r.BufferSize / 512) +
             ((r.Flags & STORAGE_HW_FIRMWARE_REQUEST_FLAG_FIRST_SEGMENT) ? "f" : "") +
             ((r.Flags & STORAGE_HW_FIRMWARE_REQUEST_FLAG_LAST_SEGMENT) ? "l" : "");
    }
    case K::FirmwareActivate: {
      STORAGE_HW_FIRMWARE_ACTIVATE r{};
      if (e.request.size() < sizeof r) return "fwact?";
      std::memcpy(&r, request, sizeof r);
      return "fwact" + std::to_string(r.Slot);
    }
    case K::Csmi: {
      SRB_IO_CONTROL header{};
      if (e.request.size() < sizeof header) return "csmi?";
      std::memcpy(&header, request, sizeof header);
      const size_t fis = offsetof(CSMI_SAS_STP_PASSTHRU_BUFFER, Parameters) +
                         offsetof(CSMI_SAS_STP_PASSTHRU, bCommandFIS);
      if (header.ControlCode == CC_CSMI_SAS_STP_PASSTHRU && e.request.size() > fis + 3)
        return ata_token(e.request[fis + 2], e.request[fis + 3]);
      return "csmi" + std::to_string(header.ControlCode);
    }
  }
  return "?";
}

// The requests the world received, in order, one token each.
std::string trace() {
  std::string t;
  for (const sim::LogEntry& e : sim::world().log) t += (t.empty() ? "" : " ") + token_of(e);
  return t;
}

// --- Expected console texts -------------------------------------------------------------------

std::string pre_open(const std::string& device, const std::string& file, const std::string& mode) {
  return "  Device Path: " + device + "\n  FileName: " + file + "\n  " + mode + " Mode Selected\n";
}

// The device information report of a built-in drive (serial and security state vary).
std::string report(const std::string& serial, int sec, int segment) {
  // Each version text ends in a blank and the report adds one after each.
  return "  MN: QUILLMARK SIM SSD 480\n  SN: " + serial +
         "\n  FW: SIM1.00\n  ATA8-ACS  ACS-2  ACS-3  ACS-4  \n"
         "  DMA MICROCODE DOWNLOAD SUPPORTED \n  MODE 3 MICROCODE DOWNLOAD SUPPORTED \n"
         "  DM OFFSETS DEFERRED SUPPORTED \n  DM CLEARS NONACTIVATED DEFERRED DATA SUPPORTED \n"
         "  MICROCODE DOWNLOAD MIN BLOCKS 1\n  MICROCODE DOWNLOAD MAX BLOCKS 256\n  SEC" +
         std::to_string(sec) + "\n  Segment Size : " + std::to_string(segment) + "\n";
}

const std::string kWarning = expected_warning();

std::string progress(int pluses, int percent) {
  return "\r\t" + std::string(static_cast<size_t>(pluses), '+') +
         " \x01 : " + std::to_string(percent) + "%";
}

// The two newlines around the pause that ends every download pass.
const std::string kAfterPass = "\n\n";

// One Download Immediate pass of the test image that the drive refuses: no transfer completed,
// so only the closing line.
const std::string kFailedImmediatePass = kWarning + progress(21, 100) + kAfterPass;

// --- The cases --------------------------------------------------------------------------------

const std::string kOpened = "open addr inq inq80 EC/00 2F/00";

// The line on the error stream that ends a failed run.
const std::string kNoSuchDrive =
    "Cannot open \\\\.\\PhysicalDrive9: no such device (system error 2)\n";
const std::string kLocked = "The drive's ATA security is locked (SEC4): nothing was sent\n";
const std::string kSec5Refused =
    "The drive's ATA security is enabled (SEC5) and /l refuses it: nothing was sent\n";
const std::string kRefusedImmediate =
    "The download failed after 0 of the image's 99328 bytes: the drive reported an error\n";
const std::string kExpectsMore =
    "The download failed: the drive expects more data than the image holds: 65536 of the image's "
    "bytes were sent\n";
const std::string kDownloadFailedAnyway =
    "The download failed: the run fails whatever the activation did.\n";
const std::string kMissingFile =
    "Cannot use the firmware file {missing}: No such file or directory\n";

std::string replace_all(std::string s, const std::string& from, const std::string& to);

// The SHA-256 of an image, as --sha256 takes it.
std::string digest_of(const std::vector<uint8_t>& bytes) {
  uint8_t digest[32];
  EXPECT_TRUE(platform_sha256(bytes.data(), bytes.size(), digest));
  return hex_text(digest, sizeof digest);
}

// The line of a --sha256 mismatch.
std::string mismatch(const std::string& expected, const std::string& actual) {
  return "The firmware file {img} does not have the SHA-256 given: expected " + expected +
         ", actual " + actual + "\n";
}

// The plan a rehearsal shows at every verbosity.
std::string plan_text(const std::string& mode, int transfers, int blocks, int bytes, int rest) {
  return "  ----------------------- \n   Downloading Code \n  Mode : " + mode +
         "\n  File Size: " + std::to_string(kImageSize) +
         "\n  Number of Xfers: " + std::to_string(transfers) +
         "\n  Sectors Xfered with Each Xfer: " + std::to_string(blocks) +
         "\n  Data in Bytes per Xfer: " + std::to_string(bytes) +
         "\n  Remainder Bytes to Xfer: " + std::to_string(rest) + "\n  -----------------------\n\n";
}

// The system log holds exactly these records, each with these fields.
void logged(const std::vector<std::vector<std::string>>& records) {
  const std::vector<std::string>& log = sim::world().system_log;
  ASSERT_EQ(log.size(), records.size());
  for (size_t i = 0; i < log.size(); ++i)
    for (const std::string& field : records[i])
      EXPECT_NE(log[i].find(replace_all(field, "{img}", image_path())), std::string::npos)
          << log[i] << " lacks " << field;
}

struct Case {
  std::string name;
  std::vector<std::string> args;  // "{img}" and "{missing}" stand for the two file paths
  std::function<void()> setup;    // after the built-in world is installed
  int exit_code;
  std::string trace;
  // The whole standard output ("{img}" for the image path, \x01 for each spinner position);
  // nullopt: not compared.
  std::optional<std::string> out;
  std::function<void()> check;  // the world afterwards
  std::string err = "";         // the error stream: the cause of a failed run, one line
};

sim::Drive& drive(int n) { return sim::world().ports.at(static_cast<size_t>(n)).drive; }

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
  return s;
}

void no_download_on(int n) { EXPECT_EQ(drive(n).download_commands, 0); }

sim::Port& port(int n) { return sim::world().ports.at(static_cast<size_t>(n)); }

// The driver in front of the drive offers the storage firmware API with this alignment.
void offer_api(uint32_t alignment) {
  port(0).driver.offered = true;
  port(0).driver.alignment = alignment;
}

// The drive runs the new revision of the image file, which it took whole.
void updated_byte_for_byte(int n) {
  EXPECT_EQ(drive(n).firmware, kNewRevision);
  const std::string file = read_file(image_path());
  EXPECT_EQ(drive(n).last_image, std::vector<uint8_t>(file.begin(), file.end()));
}

// Another run holds the claim of that key.
void held_elsewhere(const std::string& key) { sim::world().claims_elsewhere[key] = 4321; }

// The claim key of the drive behind a phy of the built-in adapter, named by the phy.
std::string csmi_phy_key(int phy) {
  const auto& a = sim::world().adapters.at(0);
  return claim_key(csmi_adapter_path(static_cast<uint32_t>(a.port)),
                   a.phys[static_cast<size_t>(phy)], phy);
}

// The built-in world's list with line n (counted from 0) replaced.
std::string list_with(size_t n, const std::string& line) {
  std::string text = golden("list_builtin.txt");
  size_t from = 0;
  for (size_t i = 0; i < n; ++i) from = text.find('\n', from) + 1;
  return text.replace(from, text.find('\n', from) - from, line);
}

// The drive received no command: its log holds at most the open, the address and the close.
void nothing_sent_to(const std::string& path) {
  for (const sim::LogEntry& e : sim::world().log)
    if (e.path == u16(path)) {
      EXPECT_NE(e.kind, sim::LogEntry::Kind::Scsi);
      EXPECT_NE(e.kind, sim::LogEntry::Kind::Ata);
    }
}

std::vector<Case> cases() {
  // What the list asks: each drive's address (for its claim), then IDENTIFY and the log page
  // (PhysicalDrive3 after SCSI pass-through refused IDENTIFY); then the CSMI walk, whose five
  // SATA and STP drives are asked the same and whose SSP drive is sent nothing.
  const std::string addressed = "open addr close";
  const std::string listed = addressed + " open addr EC/00 2F/00 close";
  auto ports_tried = [](int n) {
    std::string t;
    for (int port = 0; port < n; ++port) t += " open-adapter";
    return t;
  };
  auto csmi_walk = [&] {
    std::string t = ports_tried(3) + " csmi2 csmi1 csmi20";
    for (int phy = 0; phy < 5; ++phy) t += " EC/00 2F/00";
    return t + " close" + ports_tried(12);
  };
  auto list_trace = [&](const std::string& drive2, const std::string& drive4) {
    return listed + " " + listed + " " + drive2 + " " + addressed +
           " open addr EC/00 EC/00 2F/00 close " + drive4 + csmi_walk();
  };
  const std::string img = "{img}";
  const std::string d_img = "/D:" + img;
  // Passes of the 194-block test image at verbosity 0.
  const std::string immediate_ok = kWarning + progress(1, 0) + progress(21, 100) + kAfterPass;
  const std::string four_segments = kWarning + progress(1, 0) + progress(7, 33) + progress(14, 66) +
                                    progress(21, 100) + kAfterPass;
  const std::string deferred_and_activate =
      kOpened + " EC/0B fwinfo 92/0E 92/0E 92/0E 92/0E z2000 92/0F EC/0F 2F/0F close";
  // The same by the storage firmware API: three 64-block segments and the 2-block remainder.
  const std::string by_api =
      kOpened + " EC/0B fwinfo fwdl0+64f fwdl64+64 fwdl128+64 fwdl192+2l z2000";
  const std::string one_immediate_pass = kOpened + " EC/0B 92/07 z2000 EC/07 2F/07 close";
  const std::string csmi_info = "  FileName: \n  Download Immediate Mode Selected\n";
  // 99328 bytes in 4-block segments: 48 full ones and a 2-block remainder.
  std::string downloads;
  for (int i = 0; i < 49; ++i) downloads += " 92/03";
  // The truncated image in two 64-block segments, or in 32 4-block ones on the CSMI path.
  const std::string two_segments = kWarning + progress(1, 0) + progress(21, 100) + kAfterPass;
  std::string truncated_csmi;
  for (int i = 0; i < 32; ++i) truncated_csmi += " 92/03";
  const std::string good = digest_of(sim::make_image(kImageSize, kNewRevision));
  const std::string wrong = std::string(good.rbegin(), good.rend());
  // The image another one replaces between two passes.
  const std::vector<uint8_t> other = sim::make_image(kImageSize, "SIM3.00");
  const std::string rehearsed = kOpened + " EC/0B close";
  const std::string plan07 = plan_text("0x07", 1, 194, 99328, 0);
  const std::string no_log = "";
  // clang-format off
  const std::vector<Case> c = {
    // The proof of a change: the image's hash, the revision afterwards, the rehearsal, the log.
    {"--sha256 that the image does not have: nothing sent, exit 4", {kDrive0, d_img, "--sha256", wrong}, {}, 4, kOpened + " EC/0B z2000 EC/0B 2F/0B close", kAfterPass,
     [] { no_download_on(0); logged({}); }, mismatch(wrong, good)},
    {"an image replaced between the passes of /r 1: the second pass sends nothing", {kDrive0, d_img, "/r", "1", "--sha256", good},
     [other] { drive(0).faults.abort_download_nth = 1; sim::world().on_pause = [other] { EXPECT_TRUE(write_file(image_path(), other)); }; }, 4,
     kOpened + " EC/0B 92/07 z2000 z2000 EC/07 2F/07 close", kFailedImmediatePass + "Retrying... 1\n" + kAfterPass,
     [] { EXPECT_EQ(drive(0).download_commands, 1); logged({{"error event=firmware_download", " passes=2 ", " exit_code=4 ", " revision_after=SIM1.00 "}}); write_image(image_path(), kImageSize); },
     mismatch(good, digest_of(other))},
    {"the hash and the revision expected: exit 0, one record in the log", {kDrive0, d_img, "--sha256", good, "--expect-revision", kNewRevision}, {}, 0, one_immediate_pass, immediate_ok,
     [good] { logged({{"info event=firmware_download device=" + kDrive0 + " model=\"QUILLMARK SIM SSD 480\" serial=QMSIM0000000001 revision_before=SIM1.00 revision_after=SIM2.00 image={img} size=99328 sha256=" + good + " mode=0x07 passes=1 result=success exit_code=0 user="}}); }},
    {"a revision the image does not bring: exit 1", {kDrive0, d_img, "--expect-revision", "SIM3.00"}, {}, 1, one_immediate_pass, immediate_ok,
     [] { logged({{"error ", " result=failure exit_code=1 "}}); }, "The drive runs SIM2.00 after the download, not SIM3.00\n"},
    {"a revision expected of a drive that does not answer again", {kDrive0, d_img, "--expect-revision", kNewRevision}, [] { sim::world().on_pause = [] { auto& f = drive(0).faults; f.forced = true; f.forced_command = 0xEC; f.forced_status = 0x51; f.forced_error = 0x04; }; }, 1,
     kOpened + " EC/0B 92/07 z2000 EC/07 z2000 EC/07 z2000 EC/07 z2000 EC/07 close", immediate_ok, {}, "The drive could not be identified again after the download, so it is not known to run SIM2.00\n"},
    {"--dry-run: the plan, nothing sent, exit 0", {kDrive0, d_img, "--dry-run"}, {}, 0, rehearsed, plan07, [] { no_download_on(0); logged({}); }},
    {"--dry-run /s on a drive whose segments are at most 32 blocks: one warning", {kDrive0, d_img, "/s", "--dry-run"}, [] { drive(0).word235 = 32; }, 0, rehearsed,
     plan_text("0x03", 3, 64, 32768, 1024), [] { no_download_on(0); }, "Warning: segments of 64 blocks exceed the drive's maximum of 32 (IDENTIFY word 235).\n"},
    {"--dry-run /e /a on a drive without deferred download: one warning, no activation", {kDrive0, d_img, "/e", "/a", "--dry-run"}, [] { drive(0).log_page3 = false; }, 0, rehearsed,
     plan_text("0x0E", 3, 64, 32768, 1024), [] { no_download_on(0); }, "Warning: the drive does not report deferred download (mode 0x0E) support; it may refuse /e.\n"},
    {"--dry-run on a locked drive: exit 6", {kDrive1, d_img, "--dry-run"}, {}, 6, kOpened, "", [] { no_download_on(1); }, kLocked},
    {"--dry-run on a SEC5 drive: exit 0", {kDrive2, d_img, "--dry-run"}, {}, 0, rehearsed, plan07, [] { no_download_on(2); }},
    {"--dry-run on the bridge without SCSI pass-through: exit 9", {kDrive3, d_img, "--dry-run"}, {}, 9, "open addr inq EC/00 close", "", {}, "IDENTIFY DEVICE failed: this path does not offer the pass-through (system error 1)\n"},
    {"--dry-run on the drive that refuses every download: exit 0, it would start", {kDrive4, d_img, "/r", "2", "--dry-run"}, {}, 0, rehearsed, plan07, [] { no_download_on(4); }},
    {"--dry-run with a missing file: exit 4", {kDrive0, "/D:{missing}", "--dry-run"}, {}, 4, rehearsed, "", {}, kMissingFile},
    {"--dry-run on a CSMI phy: 4-block segments", {"/C:\\\\.\\SCSI2:0", d_img, "/s", "--dry-run"}, {}, 0, "open-adapter csmi20 inq EC/00 2F/00 EC/0B close", plan_text("0x03", 48, 4, 2048, 1024),
     [] { EXPECT_EQ(sim::world().adapters.at(0).drives[0].download_commands, 0); }},
    {"unopenable path is silent", {kNoDrive}, {}, 2, "open", "", {}, kNoSuchDrive},
    {"unopenable path under /v", {kNoDrive, "/v"}, {}, 2, "open", pre_open(kNoDrive, "", "Download Immediate") + "CreateFileW INVALID_HANDLE_VALUE Error: 2", {}, "\n" + kNoSuchDrive},
    {"/v echoes typed names neutralised", {"\\\\.\\Physical\x1b[2JDrive0", "/D:\x1b]0;x\x07.bin", "/s", "/v"}, {}, 2, "open",
     pre_open("\\\\.\\Physical?[2JDrive0", "?]0;x?.bin", "Segmented Immediate") + "CreateFileW INVALID_HANDLE_VALUE Error: 2", {}, "\nCannot open \\\\.\\Physical?[2JDrive0: no such device (system error 2)\n"},
    {"access denied to an administrator: no call for rights it has", {kDrive0, d_img}, [] { sim::world().administrator = true; sim::world().ports[0].faults.open_error = ERROR_ACCESS_DENIED; }, 2, "open", "", {},
     "Cannot open " + kDrive0 + ": access denied, although the tool runs with administrator rights (a security policy or a container forbids it) (system error 5)\n"},
    {"failed address query still closes the handle", {kDrive0, d_img}, [] { sim::world().ports[0].faults.address_error = 1; }, 2, "open addr close", "", {}, "Cannot open " + kDrive0 + ": not a SCSI or ATA device (system error 1)\n"},
    {"/i reports and stops", {kDrive0, "/i"}, {}, 10, kOpened, report("QMSIM0000000001", 1, 64), {}},
    {"/i shows control characters from the drive as ?", {kDrive0, "/i"}, [] { drive(0).model = "QUILLMARK\x1b[2J\x7f\x9b\xff SSD"; }, 10, kOpened,
     replace_all(report("QMSIM0000000001", 1, 64), "QUILLMARK SIM SSD 480", "QUILLMARK?[2J??? SSD"), {}},
    {"/i with /D: sends no download", {kDrive0, d_img, "/s", "/i"}, {}, 10, kOpened, report("QMSIM0000000001", 1, 64), [] { no_download_on(0); }},
    {"SEC4 refused silently", {kDrive1, d_img}, {}, 6, kOpened, "", [] { no_download_on(1); }, kLocked},
    {"SEC4 refused with the message under /v", {kDrive1, d_img, "/v"}, {}, 6, kOpened, pre_open(kDrive1, img, "Download Immediate") + report("QMSIM0000000002", 4, 64) + "Err: ATA SECURITY LOCKED\n", {}, kLocked},
    {"SEC5 without /l downloads", {kDrive2, d_img}, {}, 0, one_immediate_pass, immediate_ok, [] { EXPECT_EQ(drive(2).firmware, kNewRevision); }},
    {"SEC5 with /l refused", {kDrive2, d_img, "/l"}, {}, 6, kOpened, "", [] { no_download_on(2); }, kSec5Refused},
    {"SEC5 with /l under /vv", {kDrive2, d_img, "/l", "/vv"}, {}, 6, kOpened, pre_open(kDrive2, img, "Download Immediate") + report("QMSIM0000000003", 5, 64) + "Err: ATA SECURITY ENABLED (SEC5)\n", {}, kSec5Refused},
    {"/r 2 against a failing download: three passes, vendor IDENTIFY once", {kDrive4, d_img, "/r", "2"}, {}, 1, kOpened + " EC/0B 92/07 z2000 92/07 z2000 92/07 z2000 EC/07 2F/07 close",
     kFailedImmediatePass + "Retrying... 1\n" + kFailedImmediatePass + "Retrying... 2\n" + kFailedImmediatePass, [] { EXPECT_EQ(drive(4).download_commands, 3); }, kRefusedImmediate},
    {"/r 0: one pass", {kDrive4, d_img, "/r", "0"}, {}, 1, one_immediate_pass, kFailedImmediatePass, {}, kRefusedImmediate},
    {"/r -5: one pass", {kDrive4, d_img, "/r", "-5"}, {}, 1, one_immediate_pass, kFailedImmediatePass, {}, kRefusedImmediate},
    {"/e /a: deferred download and activation", {kDrive0, d_img, "/e", "/a"}, {}, 0, deferred_and_activate, four_segments + kWarning + "Activate Completed ...\n",
     [] { EXPECT_EQ(drive(0).firmware, kNewRevision); EXPECT_FALSE(drive(0).pending_ready); }},
    {"/s /a: the drive took the segments and refuses the activation: a warning, exit 0", {kDrive0, d_img, "/s", "/a"}, {}, 0,
     kOpened + " EC/0B 92/03 92/03 92/03 92/03 z2000 92/0F EC/0F 2F/0F close", four_segments + kWarning + "Failed to Activate ...\n", [] { EXPECT_EQ(drive(0).firmware, kNewRevision); },
     "Warning: the drive took the download in an immediate mode (0x03) and refused the activation because nothing was pending.\n"},
    {"/e /a: a failed activation decides the exit code", {kDrive0, d_img, "/e", "/a"}, [] { drive(0).faults.abort_download_nth = 5; }, 1, deferred_and_activate, four_segments + kWarning + "Failed to Activate ...\n",
     [] { EXPECT_EQ(drive(0).firmware, "SIM1.00"); EXPECT_TRUE(drive(0).pending_ready); }, "The activation failed: the drive reported an error\n"},
    // A deferred image left by an earlier run is waiting.
    {"/e /a: the activation still runs after a failed download, and the run fails", {kDrive0, d_img, "/e", "/a"},
     [] { drive(0).pending_revision = "SIM3.00"; drive(0).pending_ready = true; drive(0).faults.abort_download_nth = 1; }, 1,
     kOpened + " EC/0B fwinfo 92/0E z2000 92/0F EC/0F 2F/0F close", kWarning + progress(21, 100) + kAfterPass + kWarning + "Activate Completed ...\n" + kDownloadFailedAnyway,
     [] { EXPECT_EQ(drive(0).firmware, "SIM3.00"); }, "The download failed after 0 of the image's 99328 bytes: the drive reported an error\n"},
    // The storage firmware API where the driver offers one that takes the plan; pass-through
    // whenever it does not, the drive's request log telling which way each command went.
    {"/e /a by the firmware API", {kDrive0, d_img, "/e", "/a"}, [] { offer_api(512); }, 0, by_api + " fwact0 EC/0F 2F/0F close",
     four_segments + kWarning + "Activate Completed ...\n", [] { updated_byte_for_byte(0); }},
    {"GET_INFO refused: pass-through", {kDrive0, d_img, "/e", "/a"}, [] { offer_api(512); port(0).driver.get_info_error = ERROR_NOT_SUPPORTED; }, 0, deferred_and_activate,
     four_segments + kWarning + "Activate Completed ...\n", [] { updated_byte_for_byte(0); }},
    {"the last transfer misses the driver's alignment: pass-through", {kDrive0, d_img, "/e", "/a"}, [] { offer_api(4096); }, 0, deferred_and_activate,
     four_segments + kWarning + "Activate Completed ...\n", [] { updated_byte_for_byte(0); }},
    {"a driver that refuses pass-through downloads: the API carries it", {"/T:" + kDrive0, d_img, "/e", "/a"}, [] { offer_api(512); port(0).driver.passthrough_download_error = ERROR_INVALID_FUNCTION; }, 0,
     by_api + " fwact0 EC/0F 2F/0F close", four_segments + kWarning + "Activate Completed ...\n", [] { updated_byte_for_byte(0); }},
    {"the same driver with --pass-through: the download is refused, exit 9", {kDrive0, d_img, "/e", "/a", "--pass-through"}, [] { offer_api(512); port(0).driver.passthrough_download_error = ERROR_INVALID_FUNCTION; }, 9,
     kOpened + " EC/0B 92/0E z2000 92/0F EC/0F 2F/0F close", kWarning + progress(21, 100) + kAfterPass + kWarning + "Failed to Activate ...\n" + kDownloadFailedAnyway,
     [] { EXPECT_EQ(drive(0).firmware, "SIM1.00"); }, "The download failed after 0 of the image's 99328 bytes: this path does not offer the pass-through (system error 1)\n"},
    {"the API's activation refused as not offered: the pass-through activation, once", {kDrive0, d_img, "/e", "/a"}, [] { offer_api(512); port(0).driver.activate_error = ERROR_INVALID_FUNCTION; }, 0,
     by_api + " fwact0 92/0F EC/0F 2F/0F close", four_segments + kWarning + "Activate Completed ...\n", [] { updated_byte_for_byte(0); }},
    // A drive that holds the system volume: a warning before an immediate switch, none before
    // a deferred download that waits for the next restart.
    {"a drive holding the system volume: one warning line, the download goes on", {kDrive0, d_img}, [] { port(0).holds_system_volume = true; }, 0, one_immediate_pass, immediate_ok, {},
     "Warning: the drive holds the system volume C:; switching its firmware now can make it vanish for a moment under the running system. Consider /e, with the activation at the next restart.\n"},
    {"the same drive, /e without /a: no warning", {kDrive0, d_img, "/e"}, [] { port(0).holds_system_volume = true; }, 0, kOpened + " EC/0B fwinfo 92/0E 92/0E 92/0E 92/0E z2000 EC/0E 2F/0E close", four_segments, {}},
    {"missing file with /r 1: two passes", {kDrive0, "/D:{missing}", "/r", "1"}, {}, 4, kOpened + " EC/0B z2000 z2000 EC/0B 2F/0B close", kAfterPass + "Retrying... 1\n" + kAfterPass, {}, kMissingFile},
    // The re-identify carries the vendor variant's Features and LBA (no download command
    // replaced them), which this drive refuses.
    {"quiet re-identify: four attempts 2000 ms apart, exit code unchanged", {kDrive0, "/D:{missing}"}, [] { drive(0).answers_vendor_identify = false; }, 4,
     kOpened + " EC/0B z2000 EC/0B z2000 EC/0B z2000 EC/0B z2000 EC/0B close", kAfterPass, {}, kMissingFile},
    {"/a without /D:: the activate sub-command alone, no data, its result decides", {kDrive0, "/a"}, {}, 1, kOpened + " 92/0F EC/0F 2F/0F close", kWarning + "Failed to Activate ...\n", {},
     "The activation failed: the drive reported an error\n"},
    {"neither /D: nor /a: identify twice", {kDrive0}, {}, 0, kOpened + " EC/00 2F/00 close", "", {}},
    {"transport status 13 gives exit 5", {"/T:" + kDrive0, d_img},
     [] { auto& f = drive(0).faults; f.forced = true; f.forced_command = 0x92; f.forced_status = 0x51; f.forced_error = 0x84; }, 5, one_immediate_pass, kFailedImmediatePass, {}, "The download failed after 0 of the image's 99328 bytes: the drive reported an interface CRC error (ATA Error 0x84)\n"},
    {"transport status 0 gives exit 10", {"/T:" + kDrive0, d_img}, [] { sim::world().ports[0].faults.ata_error = 31; }, 10, "open addr inq inq80 EC/00 close", "", {}, "IDENTIFY DEVICE failed: the request was not carried (system error 31)\n"},
    {"the bridge without SCSI pass-through: exit 9", {kDrive3, d_img}, {}, 9, "open addr inq EC/00 close", "", {}, "IDENTIFY DEVICE failed: this path does not offer the pass-through (system error 1)\n"},
    {"the same drive through ATA pass-through", {"/T:" + kDrive3, d_img, "/s"}, {}, 0, "open addr inq EC/00 2F/00 EC/0B 92/03 92/03 92/03 92/03 z2000 EC/03 2F/03 close", four_segments,
     [] { EXPECT_EQ(drive(3).firmware, kNewRevision); }},
    // CSMI targets on the built-in adapter ("\\.\SCSI2:", SATA drives on phys 0 to 3).
    {"CSMI phy form: stored zero SAS address, segment size forced to 4", {"/C:\\\\.\\SCSI2:1", "/i", "/v", "/g", "32"}, {}, 10, "open-adapter csmi20 inq EC/00 2F/00",
     "  Device Path: \\\\.\\SCSI2:1\n  SAS Address: 00 00 00 00 00 00 00 00\n" + csmi_info + "CSMI_SAS_PROTOCOL_SATA supported for Phy: 1\n\n" + report("QMSIMC2P1", 1, 4), {}},
    {"CSMI address form: the typed SAS address and phy -1", {"/C:2,5001514D00000203", "/i", "/v"}, {}, 10, "open-adapter csmi20 inq EC/00 2F/00",
     "  Device Path: \\\\.\\SCSI2:-1\n  SAS Address: 50 01 51 4d 00 00 02 03\n" + csmi_info + "SAS Address for Phy: 3 match.\n\nCSMI_SAS_PROTOCOL_SATA supported for Phy: 3\n\n" + report("QMSIMC2P3", 1, 4), {}},
    {"a typed CSMI adapter is echoed neutralised", {"/C:\x1b[2J:0", d_img}, {}, 10, "open-adapter", "Error: Opening Device ?[2J:\n", {}, "The CSMI target ?[2J:0 cannot be reached\n"},
    {"CSMI target on a system without CSMI drivers: one line says so", {"/C:\\\\.\\SCSI2:0", d_img}, [] { sim::world().csmi_supported = false; }, 10, "open-adapter", "Error: Opening Device \\\\.\\SCSI2:\n", {},
     "The CSMI target \\\\.\\SCSI2:0 cannot be reached: CSMI is a Windows driver interface; on Linux name the drive by its /dev/sdX or /dev/sgN node\n"},
    {"CSMI target not resolved: exit 10, adapter closed", {"/C:\\\\.\\SCSI2:7", d_img}, {}, 10, "open-adapter csmi20 close", "Device Opened but Phy 7 not valid.\n", {}, "The CSMI target \\\\.\\SCSI2:7 cannot be reached\n"},
    // A truncated image: the drive says after the last segment that it expects more.
    {"/s with a truncated image: exit 1, the drive keeps its revision", {kDrive0, "/D:{cut}", "/s"}, {}, 1, kOpened + " EC/0B 92/03 92/03 z2000 EC/03 2F/03 close", two_segments,
     [] { EXPECT_EQ(drive(0).firmware, "SIM1.00"); }, kExpectsMore},
    {"the same over ATA pass-through", {"/T:" + kDrive3, "/D:{cut}", "/s"}, {}, 1, "open addr inq EC/00 2F/00 EC/0B 92/03 92/03 z2000 EC/03 2F/03 close", two_segments,
     [] { EXPECT_EQ(drive(3).firmware, "SIM1.00"); }, kExpectsMore},
    {"the same on a CSMI phy", {"/C:\\\\.\\SCSI2:0", "/D:{cut}", "/s"}, {}, 1, "open-adapter csmi20 inq EC/00 2F/00 EC/0B" + truncated_csmi + " z2000 EC/03 2F/03 close", std::nullopt,
     [] { EXPECT_EQ(sim::world().adapters.at(0).drives[0].firmware, "SIM1.00"); }, kExpectsMore},
    {"CSMI download in 4-block segments", {"/C:\\\\.\\SCSI2:0", d_img, "/s", "/g", "64"}, {}, 0, "open-adapter csmi20 inq EC/00 2F/00 EC/0B" + downloads + " z2000 EC/03 2F/03 close", std::nullopt,
     [] { EXPECT_EQ(sim::world().adapters.at(0).drives[0].firmware, kNewRevision); }},
    // One run per drive: the claim is the drive's, whichever path names it.
    {"a drive another run holds: exit 2, nothing sent", {kDrive0, d_img, "/s"}, [] { held_elsewhere(claim_key(sim::world().ports[0].address)); }, 2, "open addr close",
     "", [] { no_download_on(0); }, "Drive " + kDrive0 + " is in use by another run (process 4321); nothing was sent to it.\n"},
    {"the same drive by ATA pass-through meets the same claim", {"/T:" + kDrive0, d_img}, [] { held_elsewhere(claim_key(sim::world().ports[0].address)); }, 2, "open addr close", std::nullopt, [] { no_download_on(0); },
     "Drive " + kDrive0 + " is in use by another run (process 4321); nothing was sent to it.\n"},
    {"a CSMI drive named by its SAS address meets the claim of its phy", {"/C:2,5001514D00000201", "/i"}, [] { held_elsewhere(csmi_phy_key(1)); }, 2, "open-adapter csmi20 close",
     "", {}, "Drive \\\\.\\SCSI2:1 is in use by another run (process 4321); nothing was sent to it.\n"},
    {"an interrupt while /i waits for a held drive: exit 1, the stop line", {kDrive0, "/i"}, [] { sim::world().on_claim = [](uint32_t, uint32_t& holder) { sim::world().interrupted = true; holder = 4321; return false; }; }, 1, "open addr close",
     "", {}, "Stopped before any download command was sent.\n"},
    {"no claim to be had: one warning line, the download goes on", {kDrive0, d_img}, [] { sim::world().claims_unavailable = "no lock folder"; }, 0, one_immediate_pass,
     immediate_ok, {}, "Warning: drive " + kDrive0 + " is not claimed for this run (no lock folder); another run could reach it at the same time.\n"},
    // The list: each drive claimed while IDENTIFY and the log page ask it, on SCSI
    // pass-through and else on ATA pass-through; nothing else is sent.
    {"--list over the built-in world", {"--list"}, {}, 0, list_trace(listed, listed), golden("list_builtin.txt"), {}},
    {"--list passes a held drive by", {"--list"}, [] { held_elsewhere(claim_key(sim::world().ports[2].address)); }, 0, list_trace(addressed, listed),
     list_with(2, "\\\\.\\PhysicalDrive2 # held by another run (process 4321); nothing was sent to it"), [] { nothing_sent_to(kDrive2); }},
    {"--list names a drive that answers on no path, and why", {"--list"}, [] { sim::world().ports[4].faults.scsi_error = 1; sim::world().ports[4].faults.ata_error = 31; }, 0, list_trace(listed, addressed + " open addr EC/00 EC/00 close"),
     list_with(4, "\\\\.\\PhysicalDrive4 # not usable: IDENTIFY DEVICE not answered (SCSI pass-through: this path does not offer the pass-through (system error 1); ATA pass-through: the request was not carried (system error 31))"), {}},
    {"--list with nothing to list: exit 10", {"--list"}, [] { sim::world().ports.clear(); sim::world().adapters.clear(); sim::world().list_drives_error = 5; }, 10, ports_tried(15).substr(1), "", {},
     "No drive found: the system's list of drives cannot be read (system error 5).\n"},
    // Interrupts: the command in flight completes, nothing follows it, the line is ended.
    {"an interrupt during IDENTIFY: nothing after it", {kDrive0, d_img}, [] { sim::world().interrupt_at_request = 3; }, 1, "open addr inq inq80 EC/00 close",
     "", [] { no_download_on(0); }, "Stopped before any download command was sent.\n"},
    {"an interrupt during the second of four segments", {kDrive0, d_img, "/s"}, [] { sim::world().interrupt_at_request = 7; }, 1, kOpened + " EC/0B 92/03 92/03 close",
     kWarning + progress(1, 0) + progress(7, 33) + "\n", [] { EXPECT_EQ(drive(0).firmware, "SIM1.00"); },
     "Download stopped after 2 of 4 transfers; the drive may need the download again.\n"},
    {"an interrupt in the pause after a failed pass: the pause ends, no retry", {kDrive4, d_img, "/r", "2"}, [] { sim::world().interrupt_at_pause = 1; }, 1, kOpened + " EC/0B 92/07 z0 close",
     kFailedImmediatePass, [] { EXPECT_EQ(drive(4).download_commands, 1); }, "Stopped after all 1 transfers were sent; the drive refused the last one and may need the download again.\n"},
    {"an interrupt in the pause after the last segment: the drive keeps the image, no re-identify", {kDrive0, d_img, "/s", "/a"}, [] { sim::world().interrupt_at_pause = 1; }, 1,
     kOpened + " EC/0B 92/03 92/03 92/03 92/03 z0 close", four_segments,
     [] { EXPECT_EQ(drive(0).firmware, kNewRevision); }, "Stopped after all 4 transfers were sent; the drive took the last one.\n"},
  };
  // clang-format on
  return c;
}

class DriveSequence : public testing::Test {
 protected:
  void SetUp() override {
    sim::reset_world();
    sim::install_builtin_world();
    image_ = write_image(image_path(), kImageSize);
    std::vector<uint8_t> cut = sim::make_image(1 << 20, kNewRevision);
    cut.resize(kTruncatedSize);
    ASSERT_TRUE(write_file(truncated_path(), cut));
    std::remove(missing_path().c_str());
  }
  void TearDown() override {
    std::remove(image_path().c_str());
    std::remove(truncated_path().c_str());
  }
  std::vector<uint8_t> image_;
};

TEST_F(DriveSequence, Cases) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    sim::reset_world();
    sim::install_builtin_world();
    if (c.setup) c.setup();
    std::vector<std::string> args;
    for (const std::string& a : c.args)
      args.push_back(replace_all(
          replace_all(replace_all(a, "{img}", image_path()), "{missing}", missing_path()), "{cut}",
          truncated_path()));
    const ToolRun r = run(args);
    EXPECT_EQ(r.exit_code, c.exit_code);
    EXPECT_EQ(trace(), c.trace);
    EXPECT_EQ(sim::world().clock_ms, 2000u * static_cast<uint64_t>(count_of(c.trace, "z2000")));
    if (c.out) {
      EXPECT_EQ(r.out, fill_spinners(replace_all(*c.out, "{img}", image_path())));
    }
    EXPECT_EQ(r.err,
              replace_all(replace_all(c.err, "{img}", image_path()), "{missing}", missing_path()));
    if (c.check) c.check();
    // Every way out of a run lets its claim go.
    for (const sim::World::Claim& claim : sim::world().claims)
      EXPECT_FALSE(claim.held) << claim.key;
  }
}

TEST_F(DriveSequence, MissingFileIsReportedOnTheErrorStreamForEachPassUnderVerbose) {
  const ToolRun r = run({kDrive0, "/D:" + missing_path(), "/r", "1", "/v"});
  EXPECT_EQ(r.exit_code, 4);
  EXPECT_EQ(count_of(r.err, "File Open Failure: "), 2);
  // The closing line names the file.
  EXPECT_EQ(count_of(r.err, "\n"), 3);
  EXPECT_TRUE(r.err.ends_with(replace_all(kMissingFile, "{missing}", missing_path()))) << r.err;
  EXPECT_NE(r.out.find("\n\nRetrying... 1\n\n\n"), std::string::npos);
}

TEST_F(DriveSequence, QuietReidentifyPrintsNothingUnderVerbose) {
  drive(0).answers_vendor_identify = false;
  const ToolRun r = run({kDrive0, "/D:" + missing_path(), "/v"});
  EXPECT_EQ(r.exit_code, 4);
  // The vendor IDENTIFY's refusal is reported; the four refused re-identify attempts are not.
  EXPECT_EQ(count_of(r.out, "CHECK CONDITION ERROR for CMD: ec"), 1) << r.out;
  EXPECT_EQ(count_of(r.out, "ATA IDENTIFY (0xEC) command failed"), 0) << r.out;
  EXPECT_EQ(trace(), kOpened + " EC/0B z2000 EC/0B z2000 EC/0B z2000 EC/0B z2000 EC/0B close");
}

// A whole verbose segmented download, every line built from the tool's formats.
TEST_F(DriveSequence, GoldenVerboseSegmentedDownload) {
  const ToolRun r = run({kDrive0, "/D:" + image_path(), "/s", "/v"});
  const std::string expected =
      pre_open("\\\\.\\PhysicalDrive0", image_path(), "Segmented Immediate") +
      report("QMSIM0000000001", 1, 64) + expected_plan("sequence_segmented_verbose") + kWarning +
      // Shares done before each full transfer: 0, 33 and 66 per cent (bars 1, 7 and 14).
      progress(1, 0) + progress(7, 33) + progress(14, 66) +
      // The 2-block remainder, then the closing line.
      " ! " + progress(21, 100) + kAfterPass;
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, fill_spinners(expected));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(drive(0).last_image, image_);
  EXPECT_EQ(drive(0).firmware, kNewRevision);
}

// A whole deferred download in 16-block segments followed by the activate pass.
// Under /v a line names the way the commands are carried: pass-through and why, or the API.
TEST_F(DriveSequence, GoldenDeferredDownloadWithActivation) {
  constexpr uint32_t kSize = 3 * 8192;
  struct Carrier {
    bool api;
    std::string download_line, activate_line, trace;
  };
  const Carrier carriers[] = {
      {false,
       "  Carried by: pass-through; the driver does not offer the firmware API (system error 1)\n",
       "", "fwinfo 92/0E 92/0E 92/0E z2000 92/0F"},
      {true, "  Carried by: storage firmware API, slot 0\n",
       "  Carried by: storage firmware API, slot 0\n",
       "fwinfo fwdl0+16f fwdl16+16 fwdl32+16l z2000 fwact0"},
  };
  for (const Carrier& c : carriers) {
    SCOPED_TRACE(c.download_line);
    sim::reset_world();
    sim::install_builtin_world();
    if (c.api) offer_api(4096);
    image_ = write_image(image_path(), kSize);
    const ToolRun r = run({kDrive0, "/D:" + image_path(), "/e", "/a", "/g", "16", "/v"});
    const std::string expected =
        pre_open("\\\\.\\PhysicalDrive0", image_path(), "Deferred") +
        report("QMSIM0000000001", 1, 16) + expected_plan("sequence_deferred_16_blocks") +
        c.download_line + kWarning + progress(1, 0) + progress(7, 33) + progress(14, 66) +
        progress(21, 100) + kAfterPass +
        // The activate pass: the whole image as one command, no data, no progress line.
        expected_plan("sequence_activate") + c.activate_line + kWarning +
        "Activate Completed ...\n";
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, fill_spinners(expected));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(trace(), kOpened + " EC/0B " + c.trace + " EC/0F 2F/0F close");
    EXPECT_EQ(drive(0).last_image, image_);
    EXPECT_EQ(drive(0).firmware, kNewRevision);
  }
}

// The largest image the command's counts can describe, downloaded deferred and activated on
// each path: the activation is one command, so nothing is left for a second one to refuse.
TEST_F(DriveSequence, LargestImageIsActivatedByOneCommandOnEveryPath) {
  constexpr uint32_t kLargest = 33553920;  // 65,535 blocks
  image_ = write_image(image_path(), kLargest);
  const struct {
    std::string target;
    sim::Drive& (*drive)();
  } paths[] = {
      {kDrive0, []() -> sim::Drive& { return drive(0); }},
      {"/T:" + kDrive3, []() -> sim::Drive& { return drive(3); }},
      {"/C:\\\\.\\SCSI2:0", []() -> sim::Drive& { return sim::world().adapters.at(0).drives[0]; }},
  };
  for (const auto& p : paths) {
    SCOPED_TRACE(p.target);
    sim::reset_world();
    sim::install_builtin_world();
    sim::world().log_data = false;
    const ToolRun r = run({p.target, "/D:" + image_path(), "/e", "/a"});
    EXPECT_EQ(r.exit_code, 0) << r.out.substr(r.out.size() > 300 ? r.out.size() - 300 : 0);
    EXPECT_EQ(count_of(trace(), "92/0F"), 1);
    EXPECT_EQ(p.drive().firmware, kNewRevision);
  }
}

// Every path the list gives is a first argument as it stands: a download named by it reaches
// the drive the line describes, and that drive only.
TEST_F(DriveSequence, ListedPathsTakeADownload) {
  std::istringstream lines(run({"--list"}).out);
  int tried = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.find(" | SEC1 | ") == std::string::npos) continue;
    std::vector<std::string> paths{line.substr(0, line.find(' '))};
    const size_t also = line.find(" (also ");
    if (also != std::string::npos)
      paths.push_back(line.substr(also + 7, line.find(')') - also - 7));
    const size_t sn = line.find(" | SN ") + 6;
    const std::string serial = line.substr(sn, line.find(' ', sn) - sn);
    for (const std::string& path : paths) {
      SCOPED_TRACE(path);
      sim::reset_world();
      sim::install_builtin_world();
      run({path, "/D:" + image_path()});
      std::vector<const sim::Drive*> all;
      for (const sim::Port& p : sim::world().ports) all.push_back(&p.drive);
      // The adapter's drives on phys 0 to 4; its other slots hold no drive.
      for (int phy = 0; phy < 5; ++phy) all.push_back(&sim::world().adapters.at(0).drives[phy]);
      for (const sim::Drive* d : all)
        EXPECT_EQ(d->download_commands > 0, d->serial == serial) << d->serial;
      ++tried;
    }
  }
  // PhysicalDrive0, 3 (by ATA pass-through) and 4, and the five CSMI drives by phy and by SAS
  // address.
  EXPECT_EQ(tried, 13);
}

}  // namespace
