#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/cmdline.h"
#include "platform/console.h"
#include "platform/text.h"
#include "sim/world.h"
#include "support/expected_texts.h"

namespace {

using enum InterfaceKind;

struct Parsed {
  ParseOutcome outcome;
  RunOptions options;
  std::string out;
  std::string err;
};

Parsed parse(const std::vector<std::u16string>& after_program,
             const std::string& invocation = "quillmark") {
  std::vector<std::u16string> args{u16(invocation)};
  args.insert(args.end(), after_program.begin(), after_program.end());
  Parsed p{ParseOutcome::Error, RunOptions{}, {}, {}};
  console::capture_begin();
  p.outcome = parse_command_line(args, invocation, p.options);
  p.out = console::captured_out();
  p.err = console::captured_err();
  console::capture_end();
  return p;
}

void expect_same_options(const RunOptions& got, const RunOptions& want) {
  EXPECT_EQ(got.flags, want.flags);
  EXPECT_EQ(utf16_to_utf8(got.device_path), utf16_to_utf8(want.device_path));
  EXPECT_EQ(utf16_to_utf8(got.csmi_target.adapter_path),
            utf16_to_utf8(want.csmi_target.adapter_path));
  EXPECT_EQ(got.csmi_target.phy_index, want.csmi_target.phy_index);
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_EQ(got.csmi_target.sas_address[i], want.csmi_target.sas_address[i]) << "byte " << i;
  }
  EXPECT_EQ(utf16_to_utf8(got.file_name), utf16_to_utf8(want.file_name));
  EXPECT_EQ(got.mode, want.mode);
  EXPECT_EQ(got.segment_blocks, want.segment_blocks);
  EXPECT_EQ(got.retry_count, want.retry_count);
  EXPECT_EQ(got.verbosity, want.verbosity);
  EXPECT_EQ(got.info_only, want.info_only);
  EXPECT_EQ(got.l_switch, want.l_switch);
  EXPECT_EQ(got.sha256, want.sha256);
  EXPECT_EQ(got.expect_revision, want.expect_revision);
  EXPECT_EQ(got.dry_run, want.dry_run);
}

class CmdLine : public testing::Test {
 protected:
  void SetUp() override { sim::reset_world(); }
};

// --- Number conversion ------------------------------------------------------------------

struct NumberCase {
  std::u16string text;
  int base;
  bool has_digits;
  bool in_range;
  int32_t value;
};

TEST_F(CmdLine, NumberConversionReadsLikeTheLibrary) {
  // clang-format off
  const NumberCase cases[] = {
      {u"12", 10, true, true, 12}, {u"12abc", 10, true, true, 12}, {u"1 2", 10, true, true, 1},
      {u"  -7", 10, true, true, -7}, {u"\t\n\v\f\r 9", 10, true, true, 9}, {u"+5", 10, true, true, 5},
      {u"007", 10, true, true, 7}, {u"", 10, false, true, 0}, {u"-", 10, false, true, 0},
      {u"+-3", 10, false, true, 0}, {u"abc", 10, false, true, 0}, {u"/v", 10, false, true, 0},
      {u"0x10", 10, true, true, 0}, {u"2147483647", 10, true, true, 2147483647}, {u"2147483648", 10, true, false, INT32_MAX},
      {u"-2147483648", 10, true, true, INT32_MIN}, {u"-2147483649", 10, true, false, INT32_MIN}, {u"4294967296", 10, true, false, INT32_MAX},
      {u"99999999999999999999999999", 10, true, false, INT32_MAX}, {u"ff", 16, true, true, 255}, {u"FF", 16, true, true, 255},
      {u"0x1A", 16, true, true, 26}, {u"0X1a", 16, true, true, 26}, {u"-0x1", 16, true, true, -1},
      {u"0x", 16, true, true, 0}, {u"0xg", 16, true, true, 0}, {u"-1", 16, true, true, -1},
      {u"5G", 16, true, true, 5}, {u"G0", 16, false, true, 0}, {u"7fffffff", 16, true, true, INT32_MAX},
      {u"80000000", 16, true, false, INT32_MAX},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(utf16_to_utf8(c.text) + " base " + std::to_string(c.base));
    const ConvertedNumber n = convert_number(c.text, c.base);
    EXPECT_EQ(n.has_digits, c.has_digits);
    EXPECT_EQ(n.in_range, c.in_range);
    EXPECT_EQ(n.value, c.value);
  }
}

// --- Accepted command lines ---------------------------------------------------------------

struct GoodCase {
  const char* name;
  std::vector<std::u16string> args;
  std::function<void(RunOptions&)> expect;  // applied to the defaults
};

const std::u16string kDrive0 = uR"(\\.\PhysicalDrive0)";

TEST_F(CmdLine, AcceptedCommandLinesFillTheOptions) {
  const std::u16string long_path = uR"(\\?\)" + std::u16string(1000, u'p');
  const std::u16string long_file = std::u16string(700, u'f') + u".LOD";
  // The options every CSMI row expects besides its own.
  const auto csmi = [](RunOptions& o, const std::u16string& adapter) {
    o.flags = interface_flag(CsmiStp);
    o.device_path = o.csmi_target.adapter_path = adapter;
  };
  // A download option is read only beside an image (or "/a" or "/i").
  const auto download = [](RunOptions& o) {
    o.device_path = kDrive0;
    o.flags |= kFlagFirmwareFile;
    o.file_name = u"f";
  };
  const auto address = [](RunOptions& o, std::initializer_list<uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), o.csmi_target.sas_address);
  };
  // clang-format off
  const GoodCase cases[] = {
      {"plain device", {kDrive0}, [](RunOptions& o) { o.device_path = kDrive0; }},
      {"segmented download", {kDrive0, u"/D:fw.LOD", u"/s"}, [](RunOptions& o) { o.device_path = kDrive0; o.flags = interface_flag(ScsiPassThrough) | kFlagFirmwareFile; o.file_name = u"fw.LOD"; o.mode = DownloadMode::SegmentedImmediate; }},
      {"the proof options, the digest in either case", {kDrive0, u"/D:fw.LOD", u"--sha256", u"00FF" + std::u16string(60, u'a'), u"--expect-revision", u" SIM2.00 ", u"--dry-run"},
       [](RunOptions& o) { o.device_path = kDrive0; o.flags = interface_flag(ScsiPassThrough) | kFlagFirmwareFile; o.file_name = u"fw.LOD"; std::array<uint8_t, 32> d; d.fill(0xAA); d[0] = 0; d[1] = 0xFF; o.sha256 = d; o.expect_revision = u" SIM2.00 "; o.dry_run = true; }},
      {"ATA pass-through", {uR"(/T:\\.\PhysicalDrive1)"}, [](RunOptions& o) { o.flags = interface_flag(AtaPassThrough); o.device_path = uR"(\\.\PhysicalDrive1)"; }},
      {"ATA pass-through, empty path", {u"/T:"}, [](RunOptions& o) { o.flags = interface_flag(AtaPassThrough); }},
      {"lower-case prefixes are plain devices", {u"/c:\\\\.\\SCSI3:1"}, [](RunOptions& o) { o.device_path = u"/c:\\\\.\\SCSI3:1"; }},
      {"/t: is a plain device", {u"/t:x"}, [](RunOptions& o) { o.device_path = u"/t:x"; }},
      {"/l first is a plain device", {u"/l"}, [](RunOptions& o) { o.device_path = u"/l"; }},
      {"-license is a plain device", {u"-license"}, [](RunOptions& o) { o.device_path = u"-license"; }},
      {"CSMI phy form", {uR"(/C:\\.\SCSI3:1)"}, [&](RunOptions& o) { csmi(o, uR"(\\.\SCSI3:)"); o.csmi_target.phy_index = 1; }},
      {"CSMI phy form, empty phy", {uR"(/C:\\.\SCSI3:)"}, [&](RunOptions& o) { csmi(o, uR"(\\.\SCSI3:)"); o.csmi_target.phy_index = 0; }},
      {"CSMI phy form splits at the last colon", {uR"(/C:\\.\SCSI3:1:2)"}, [&](RunOptions& o) { csmi(o, uR"(\\.\SCSI3:1:)"); o.csmi_target.phy_index = 2; }},
      {"CSMI colon wins over comma", {u"/C:x,y:7"}, [&](RunOptions& o) { csmi(o, u"x,y:"); o.csmi_target.phy_index = 7; }},
      {"CSMI phy beyond 32 bits takes the limit", {u"/C:a:99999999999"}, [&](RunOptions& o) { csmi(o, u"a:"); o.csmi_target.phy_index = INT32_MAX; }},
      {"CSMI address form", {u"/C:2,0000000500000000"}, [&](RunOptions& o) { csmi(o, uR"(\\.\SCSI2:)"); o.csmi_target.sas_address[3] = 0x05; }},
      {"CSMI address form, adapter 12", {u"/C:12,0000000500000000"}, [&](RunOptions& o) { csmi(o, uR"(\\.\SCSI12:)"); o.csmi_target.sas_address[3] = 0x05; }},
      {"CSMI address, mixed case", {u"/C:0,5000c5001A2B3C4D"}, [&](RunOptions& o) { csmi(o, uR"(\\.\SCSI0:)"); address(o, {0x50, 0x00, 0xC5, 0x00, 0x1A, 0x2B, 0x3C, 0x4D}); }},
      {"CSMI address splits at the last comma, adapter text unchanged", {u"/C:x,1,FFFFFFFFFFFFFFFF"}, [&](RunOptions& o) { csmi(o, uR"(\\.\SCSIx,1:)"); address(o, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}); }},
      {"scan", {u"--scan"}, [](RunOptions& o) { o.flags = kFlagScan; }},
      {"scan by prefix, options read", {u"--scanner", u"/v", u"/a"}, [](RunOptions& o) { o.flags = kFlagScan | kFlagActivate; o.verbosity = 1; }},
      {"prefix matching: /verbose /segmented /info /lock /activate /extended", {kDrive0, u"/verbose", u"/segmented", u"/info", u"/lock", u"/activate", u"/extended"},
       [](RunOptions& o) { o.device_path = kDrive0; o.verbosity = 1; o.info_only = true; o.l_switch = 1; o.flags = interface_flag(ScsiPassThrough) | kFlagDeviceInfo | kFlagActivate; o.mode = DownloadMode::Deferred; }},
      {"/vvv gives 2", {kDrive0, u"/vvv"}, [](RunOptions& o) { o.device_path = kDrive0; o.verbosity = 2; }},
      {"/vv after /v gives 2", {kDrive0, u"/v", u"/vv"}, [](RunOptions& o) { o.device_path = kDrive0; o.verbosity = 2; }},
      {"/v after /vv gives 1", {kDrive0, u"/vv", u"/v"}, [](RunOptions& o) { o.device_path = kDrive0; o.verbosity = 1; }},
      {"last mode wins: /e then /s", {kDrive0, u"/D:f", u"/e", u"/s"}, [&](RunOptions& o) { download(o); o.mode = DownloadMode::SegmentedImmediate; }},
      {"last mode wins: /s then /e", {kDrive0, u"/D:f", u"/s", u"/e"}, [&](RunOptions& o) { download(o); o.mode = DownloadMode::Deferred; }},
      {"last file wins, flag bits accumulate", {kDrive0, u"/D:a.bin", u"/a", u"/D:b.bin", u"/a"}, [](RunOptions& o) { o.device_path = kDrive0; o.file_name = u"b.bin"; o.flags = interface_flag(ScsiPassThrough) | kFlagFirmwareFile | kFlagActivate; }},
      {"/D: empty sets the bit", {kDrive0, u"/D:"}, [](RunOptions& o) { o.device_path = kDrive0; o.flags = interface_flag(ScsiPassThrough) | kFlagFirmwareFile; }},
      {"/a keeps the mode", {kDrive0, u"/a"}, [](RunOptions& o) { o.device_path = kDrive0; o.flags = interface_flag(ScsiPassThrough) | kFlagActivate; }},
      {"/g 8", {kDrive0, u"/D:f", u"/g", u"8"}, [&](RunOptions& o) { download(o); o.segment_blocks = 8; }},
      {"/g 0 keeps 64", {kDrive0, u"/D:f", u"/g", u"0"}, [&](RunOptions& o) { download(o); }},
      {"/g 256 keeps 64", {kDrive0, u"/D:f", u"/g", u"256"}, [&](RunOptions& o) { download(o); }},
      {"/g 300 gives 44", {kDrive0, u"/D:f", u"/g", u"300"}, [&](RunOptions& o) { download(o); o.segment_blocks = 44; }},
      {"/g -1 gives 255", {kDrive0, u"/D:f", u"/g", u"-1"}, [&](RunOptions& o) { download(o); o.segment_blocks = 255; }},
      {"/g 512 after /g 8 keeps 8", {kDrive0, u"/D:f", u"/g", u"8", u"/g", u"512"}, [&](RunOptions& o) { download(o); o.segment_blocks = 8; }},
      {"/g value read leniently, own suffix ignored", {kDrive0, u"/D:f", u"/gx", u" +16blocks"}, [&](RunOptions& o) { download(o); o.segment_blocks = 16; }},
      {"/r 3", {kDrive0, u"/D:f", u"/r", u"3"}, [&](RunOptions& o) { download(o); o.retry_count = 3; }},
      {"/r largest", {kDrive0, u"/D:f", u"/r", u"2147483647"}, [&](RunOptions& o) { download(o); o.retry_count = INT32_MAX; }},
      {"/retry smallest, later wins", {kDrive0, u"/D:f", u"/r", u"4", u"/retry", u"-2147483648"}, [&](RunOptions& o) { download(o); o.retry_count = INT32_MIN; }},
      {"the value is consumed whatever it holds; reading goes on after it", {kDrive0, u"/D:f", u"/r", u"2/s", u"/e"}, [&](RunOptions& o) { download(o); o.retry_count = 2; o.mode = DownloadMode::Deferred; }},
      {"paths and file names are held whole", {u"/T:" + long_path, u"/D:" + long_file}, [&](RunOptions& o) { o.flags = interface_flag(AtaPassThrough) | kFlagFirmwareFile; o.device_path = long_path; o.file_name = long_file; }},
      {"non-ASCII and undecodable bytes survive", {u"/dev/disk/by-id/\u00e9\xDCFF", u"/D:\u30d5\u30a1\u30a4\u30eb"},
       [](RunOptions& o) { o.device_path = u"/dev/disk/by-id/\u00e9\xDCFF"; o.file_name = u"\u30d5\u30a1\u30a4\u30eb"; o.flags = interface_flag(ScsiPassThrough) | kFlagFirmwareFile; }},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Parsed p = parse(c.args);
    EXPECT_EQ(p.outcome, ParseOutcome::Run);
    EXPECT_EQ(p.out, "");
    RunOptions want;
    c.expect(want);
    expect_same_options(p.options, want);
  }
}

// --- Commands of the first argument -------------------------------------------------------

TEST_F(CmdLine, FirstArgumentCommands) {
  const struct {
    std::u16string first;
    ParseOutcome outcome;
  } cases[] = {
      {u"/h", ParseOutcome::Help},           {u"/H", ParseOutcome::Help},
      {u"/help", ParseOutcome::Help},        {u"/Hx", ParseOutcome::Help},
      {u"/L", ParseOutcome::License},        {u"/License", ParseOutcome::License},
      {u"--license", ParseOutcome::License}, {u"--licensed", ParseOutcome::License},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(utf16_to_utf8(c.first));
    // Later elements are not looked at for help and licence.
    const Parsed p = parse({c.first, u"/x"});
    EXPECT_EQ(p.outcome, c.outcome);
    EXPECT_EQ(p.out, "");
  }
}

// --- Refused command lines ----------------------------------------------------------------

struct BadCase {
  std::vector<std::u16string> args;
  std::string expected_out;
};

TEST_F(CmdLine, RefusedCommandLinesReportAndShowTheUsage) {
  const std::string dev = R"(\\.\PhysicalDrive0)";
  const std::string inv = "quillmark";
  const BadCase cases[] = {
      {{kDrive0, u"/x"}, expected_option_error("/x", inv)},
      {{kDrive0, u"/S"}, expected_option_error("/S", inv)},
      {{kDrive0, u"/d:fw.LOD"}, expected_option_error("/d:fw.LOD", inv)},
      {{kDrive0, u"/h"}, expected_option_error("/h", inv)},
      {{kDrive0, u"--license"}, expected_option_error("--license", inv)},
      {{kDrive0, u"--scan"}, expected_option_error("--scan", inv)},
      {{kDrive0, u"/V"}, expected_option_error("/V", inv)},
      {{kDrive0, u""}, expected_option_error("", inv)},
      {{kDrive0, u"/s", u"/q", u"/y"}, expected_option_error("/q", inv)},
      {{u"--scan", u"/x"}, expected_option_error("/x", inv)},
      {{kDrive0, u"/x\u00e9\xDCFF"}, expected_option_error("/x\xC3\xA9\xFF", inv)},
      {{u"/C:SCSI3"}, expected_invalid_option("/C:SCSI3", inv)},
      {{u"/C:"}, expected_invalid_option("/C:", inv)},
      // The number conversion refuses the value: the value element is named.
      {{kDrive0, u"/g", u"abc"}, expected_option_error("abc", inv)},
      {{kDrive0, u"/g", u""}, expected_option_error("", inv)},
      {{kDrive0, u"/g", u"4294967296"}, expected_option_error("4294967296", inv)},
      {{kDrive0, u"/r", u"2147483648"}, expected_option_error("2147483648", inv)},
      {{kDrive0, u"/r", u"-2147483649"}, expected_option_error("-2147483649", inv)},
      {{kDrive0, u"/r", u"/v"}, expected_option_error("/v", inv)},
      {{kDrive0, u"/g", u"/D:fw.LOD"}, expected_option_error("/D:fw.LOD", inv)},
      // A digest is 64 hexadecimal digits, nothing else.
      {{kDrive0, u"--sha256", std::u16string(63, u'0')},
       expected_option_error(std::string(63, '0'), inv)},
      {{kDrive0, u"--sha256", std::u16string(63, u'0') + u"g"},
       expected_option_error(std::string(63, '0') + "g", inv)},
      {{kDrive0, u"--sha256"}, expected_option_error("--sha256", inv)},
      // A deferred download without /a makes no firmware active: no revision can be expected.
      {{kDrive0, u"/D:fw.LOD", u"/e", u"--expect-revision", u"SIM2.00"},
       expected_option_error("--expect-revision", inv)},
      // No value at all: the option's own element is named.
      {{kDrive0, u"/g"}, expected_option_error("/g", inv)},
      {{kDrive0, u"/s", u"/gsize"}, expected_option_error("/gsize", inv)},
      {{kDrive0, u"/r"}, expected_option_error("/r", inv)},
      // A SAS address that is not 16 hexadecimal digits: the whole first argument is named.
      {{u"/C:2,000000050000000"}, expected_option_error("/C:2,000000050000000", inv)},
      {{u"/C:2,"}, expected_option_error("/C:2,", inv)},
      {{u"/C:2,00000005000000G0"}, expected_option_error("/C:2,00000005000000G0", inv)},
      {{u"/C:2,zz00000500000000"}, expected_option_error("/C:2,zz00000500000000", inv)},
      {{u"/C:2,5001514d0000024x"}, expected_option_error("/C:2,5001514d0000024x", inv)},
      // A phy is decimal digits or nothing: a sign, a letter, a blank or a tail names no phy.
      {{uR"(/C:\\.\SCSI2:-1)"}, expected_option_error(R"(/C:\\.\SCSI2:-1)", inv)},
      {{uR"(/C:\\.\SCSI2:x)"}, expected_option_error(R"(/C:\\.\SCSI2:x)", inv)},
      {{uR"(/C:\\.\SCSI2: 3)"}, expected_option_error(R"(/C:\\.\SCSI2: 3)", inv)},
      {{uR"(/C:\\.\SCSI2:1x)"}, expected_option_error(R"(/C:\\.\SCSI2:1x)", inv)},
      // Control characters are not echoed: C0, DEL, C1, and a C1 byte that was not UTF-8.
      {{kDrive0, u"/x\x1b[2J\x7f\u009b\xDC9B\xDCFF"}, expected_option_error("/x?[2J???\xFF", inv)},
      {{u"/C:\x1b]0;t\x07"}, expected_invalid_option("/C:?]0;t?", inv)},
      // A download option without an image, "/a" or "/i": the missing "/D:" is named.
      {{kDrive0, u"/s", u"/g", u"64", u"/r", u"3"},
       "\nError in command line: no /D:<firmware file> for /s\n" + expected_usage(inv)},
  };
  for (const auto& c : cases) {
    std::string trace;
    for (const auto& a : c.args) trace += utf16_to_utf8(a) + " ";
    SCOPED_TRACE(trace);
    const Parsed p = parse(c.args);
    EXPECT_EQ(p.outcome, ParseOutcome::Error);
    EXPECT_EQ(p.out, c.expected_out);
    // The error's line is the cause on the error stream too.
    const size_t from = c.expected_out.starts_with('\n') ? 1 : 0;
    EXPECT_EQ(p.err, c.expected_out.substr(from, c.expected_out.find('\n', from) + 1 - from));
  }
}

TEST_F(CmdLine, ErrorUsageShowsTheInvocationName) {
  const std::string inv = R"(C:\Program Files\Tolvane\Quillmark.exe)";
  const Parsed p = parse({kDrive0, u"/x"}, inv);
  EXPECT_EQ(p.outcome, ParseOutcome::Error);
  EXPECT_EQ(p.out, expected_option_error("/x", inv));
}

}  // namespace
