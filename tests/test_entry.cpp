#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/entry.h"
#include "app/exit_codes.h"
#include "platform/console.h"
#include "platform/text.h"
#include "sim/builtin_world.h"
#include "sim/world.h"
#include "support/expected_texts.h"
#include "support/helpers.h"
#include "support/run_tool.h"

namespace {

class Entry : public testing::Test {
 protected:
  void SetUp() override { sim::reset_world(); }
};

const std::u16string kDrive0 = uR"(\\.\PhysicalDrive0)";

struct RunCase {
  const char* name;
  std::vector<std::u16string> args;
  std::string invocation;
  int exit_code;
  std::string out;
  std::string err;           // the cause, one line
  bool interrupted = false;  // the operator's interrupt came before anything ran
};

TEST_F(Entry, CommandsThatNeedNoDrive) {
  const std::string q = "quillmark";
  const std::string typed = "/usr/local/bin/quillmark";
  const std::string usage = expected_banner() + expected_usage(q);
  const std::string typed_usage = expected_banner() + expected_usage(typed);
  const std::string no_argument = "No drive was named: the usage says how\n";
  const std::string help = "The usage was asked for: nothing was run\n";
  const std::string at = "Error in command line at ";
  // clang-format off
  const RunCase cases[] = {
      {"no argument", {}, q, 8, usage, no_argument},
      {"no argument, name as typed", {}, typed, 8, typed_usage, no_argument},
      {"/h", {u"/h"}, q, 8, usage, help},
      {"/H", {u"/H"}, typed, 8, typed_usage, help},
      {"/help and more", {u"/help", u"me"}, q, 8, usage, help},
      {"unknown option", {kDrive0, u"/x"}, q, 8, expected_option_error("/x", q), at + "/x\n"},
      {"option error, name as typed", {kDrive0, u"/x"}, typed, 8, expected_option_error("/x", typed), at + "/x\n"},
      {"--license as an option", {kDrive0, u"--license"}, q, 8, expected_option_error("--license", q), at + "--license\n"},
      {"/h as an option", {kDrive0, u"/D:fw.LOD", u"/h"}, q, 8, expected_option_error("/h", q), at + "/h\n"},
      {"CSMI target without colon or comma", {u"/C:SCSI3"}, q, 8, expected_invalid_option("/C:SCSI3", q), "Invalid Command Line Option: /C:SCSI3\n"},
      {"short SAS address", {u"/C:2,00000005"}, q, 8, expected_option_error("/C:2,00000005", q), at + "/C:2,00000005\n"},
      {"/g without a value", {kDrive0, u"/g"}, q, 8, expected_option_error("/g", q), at + "/g\n"},
      {"/r with a bad value", {kDrive0, u"/r", u"many"}, q, 8, expected_option_error("many", q), at + "many\n"},
      {"scan with a bad option: no banner", {u"--scan", u"/x"}, q, 8, expected_option_error("/x", q), at + "/x\n"},
      {"an interrupt before anything ran: exit 1, its line, no drive opened", {kDrive0, u"/D:fw.LOD", u"/s"}, q, 1, "", "Stopped before any download command was sent.\n", true},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::reset_world();
    sim::world().interrupted = c.interrupted;
    const ToolRun run = run_tool(c.args, c.invocation);
    EXPECT_EQ(run.exit_code, c.exit_code);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err, c.err);
    EXPECT_TRUE(sim::world().log.empty());
  }
}

#ifdef QM_LGPL_PATH
TEST_F(Entry, LicenceTexts) {
  const std::string lgpl = read_file(QM_LGPL_PATH);
  ASSERT_GT(lgpl.size(), 2u);
  const std::string last_line = lgpl.substr(lgpl.rfind('\n', lgpl.size() - 2) + 1);
  for (const std::u16string first : {u"/L", u"--license", u"/Later"}) {
    SCOPED_TRACE(utf16_to_utf8(first));
    sim::reset_world();
    const ToolRun run = run_tool({first, u"/x"});
    EXPECT_EQ(run.exit_code, 8);
    EXPECT_TRUE(run.out.starts_with(expected_banner() + "Tolvane Utility End-User License"));
    EXPECT_TRUE(run.out.ends_with("\n" + std::string(69, '=') + "\n\n" + lgpl));
    EXPECT_TRUE(run.out.ends_with(last_line));
    EXPECT_EQ(run.err, "The licence texts were asked for: nothing was run\n");
  }
}
#endif

TEST_F(Entry, ScanPrintsTheBannerFirstAndEndsWithZero) {
  for (const std::vector<std::u16string>& args :
       {std::vector<std::u16string>{u"--scan"}, {u"--scan", u"/v"}, {u"--scan", u"/vv", u"/a"}}) {
    sim::reset_world();
    const ToolRun run = run_tool(args);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_TRUE(run.out.starts_with(expected_banner())) << run.out;
  }
}

TEST_F(Entry, WideArgumentsUnavailable) {
  sim::world().args_fail = true;
  const ToolRun run = run_tool({kDrive0, u"/D:fw.LOD"});
  EXPECT_EQ(run.exit_code, 8);
  EXPECT_EQ(run.out, "CommandLineToArgvW failed\n");
  EXPECT_EQ(run.err, "CommandLineToArgvW failed: the command line cannot be read\n");
  // Without an argument the wide vector is never asked for.
  const ToolRun bare = run_tool({});
  EXPECT_EQ(bare.exit_code, 8);
  EXPECT_EQ(bare.out, expected_banner() + expected_usage("quillmark"));
}

// The narrow vector gives only the count and the name; the wide one is what is parsed.
struct NarrowWideCase {
  const char* name;
  std::vector<std::string> narrow;
  std::vector<std::u16string> wide;
  std::string out;
};

TEST_F(Entry, ParsesTheWideVectorAndNamesTheNarrowInvocation) {
  const std::string usage = expected_banner() + expected_usage("q");
  // clang-format off
  const NarrowWideCase cases[] = {
      {"wide vector parsed", {"narrow-name", "/h"}, {u"wide-name", kDrive0, u"/x\u00e9"}, expected_option_error("/x\xC3\xA9", "narrow-name")},
      {"undecodable byte written back unchanged", {"q", "x"}, {u"q", kDrive0, u"/bad\xDCFF"}, expected_option_error("/bad\xFF", "q")},
      {"wide vector with the program name only counts as no argument", {"q", "/x"}, {u"q"}, usage},
      {"empty wide vector counts as no argument", {"q", "/x"}, {}, usage},
      {"narrow count of one wins over a longer wide vector", {"q"}, {u"q", kDrive0, u"/x"}, usage},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::reset_world();
    sim::world().args = c.wide;
    std::vector<std::string> narrow = c.narrow;
    std::vector<char*> argv;
    for (auto& a : narrow) argv.push_back(a.data());
    argv.push_back(nullptr);
    int code = 0;
    EXPECT_EQ(
        printed([&] { code = quillmark_main(static_cast<int>(narrow.size()), argv.data()); }).out,
        c.out);
    EXPECT_EQ(code, 8);
  }
}

TEST_F(Entry, ExitCodeOfTheFinalStatus) {
  const struct {
    int32_t status;
    int exit_code;
  } cases[] = {
      {1, 0},  {2, 2},   {4, 4},   {9, 9},   {11, 1},         {13, 5},
      {0, 10}, {-1, 10}, {10, 10}, {3, 10},  {5, 10},         {6, 10},
      {8, 10}, {12, 10}, {14, 1},  {15, 10}, {INT32_MAX, 10}, {INT32_MIN, 10},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(map_exit_code(c.status), c.exit_code) << "status " << c.status;
  }
}

// The run report of a drive whose Error register reads 0x84 (exit code 5), which no drive of
// quillmark-sim's built-in world gives: the document is standard output whole, and its cause is
// the error stream's last line. tests/report/validate_runs.py runs this case with
// QM_REPORT_DOCUMENT naming a file, reads the document and the error stream left there and
// gives the document to the schema's validator.
TEST_F(Entry, RunReportOfAnInterfaceCrcError) {
  const std::string image = testing::TempDir() + "report-crc.bin";
  ASSERT_TRUE(write_file(image, Bytes(4096, 0x5A)));
  sim::install_builtin_world();
  sim::DriveFaults& f = sim::world().ports[0].drive.faults;
  f.forced = true;
  f.forced_command = 0x92;
  f.forced_status = 0x51;
  f.forced_error = 0x84;
  const ToolRun run = run_tool({u"/T:" + kDrive0, u"/D:" + u16(image), u"--json"});
  EXPECT_EQ(run.exit_code, 5);
  const auto doc = nlohmann::json::parse(run.out);
  EXPECT_EQ(doc["exit"]["code"], 5);
  EXPECT_EQ(doc["passes"][0]["status"], 13);
  ASSERT_TRUE(doc["cause"].is_string());
  const std::string cause = doc["cause"];
  EXPECT_TRUE(run.err.size() > cause.size() &&
              run.err.compare(run.err.size() - cause.size() - 1, std::string::npos, cause + "\n") ==
                  0)
      << run.err;
  if (const char* keep = std::getenv("QM_REPORT_DOCUMENT")) {
    ASSERT_TRUE(write_file(keep, Bytes(run.out.begin(), run.out.end())));
    ASSERT_TRUE(write_file(std::string(keep) + ".err", Bytes(run.err.begin(), run.err.end())));
  }
}

// The report carries the way a deferred download went and the drive-in-use warning's names.
TEST_F(Entry, RunReportNamesTheCarrierAndTheDriveInUse) {
  const std::string image = testing::TempDir() + "report-api.bin";
  ASSERT_TRUE(write_file(image, Bytes(8192, 0x5A)));
  sim::install_builtin_world();
  sim::Port& port = sim::world().ports[0];
  port.drive.accept_any_image = true;
  port.driver.offered = true;
  port.holds_system_volume = true;
  const ToolRun run = run_tool({kDrive0, u"/D:" + u16(image), u"/e", u"/a", u"--json"});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  const auto doc = nlohmann::json::parse(run.out);
  EXPECT_EQ(doc["drive_in_use"], nlohmann::json::array({"the system volume C:"}));
  EXPECT_EQ(doc["passes"][0]["carried_by"]["way"], "firmware_api");
  EXPECT_EQ(doc["activation"]["pass"]["carried_by"]["way"], "firmware_api");
}

}  // namespace
