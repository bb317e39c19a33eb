// "/C:" targets and "--scan" through the whole tool, over the built-in simulated adapter.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/exit_codes.h"
#include "platform/text.h"
#include "sim/builtin_adapter.h"
#include "sim/image_format.h"
#include "sim/world.h"
#include "support/helpers.h"
#include "support/run_tool.h"
#include "transport/device_command.h"

namespace {

constexpr size_t kStpData = 164;

class CsmiEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset_world();
    sim::add_builtin_adapter();
  }
  void TearDown() override {
    if (!image_path.empty()) std::filesystem::remove(image_path);
  }

  sim::Adapter& adapter() { return sim::world().adapters.front(); }

  std::u16string write_image(const std::vector<uint8_t>& bytes) {
    image_path =
        std::filesystem::temp_directory_path() /
        ("qm_csmi_e2e_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
         ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".bin");
    EXPECT_TRUE(write_file(image_path.string(), bytes));
    return utf8_to_utf16(image_path.string());
  }

  // The STP requests that carried DOWNLOAD MICROCODE.
  static std::vector<std::vector<uint8_t>> downloads() {
    std::vector<std::vector<uint8_t>> r;
    for (const auto& e : sim::world().log)
      if (e.kind == sim::LogEntry::Kind::Csmi && e.request.size() >= 168 &&
          u32_at(e.request, 16) == CC_CSMI_SAS_STP_PASSTHRU && e.request[46] == 0x92)
        r.push_back(e.request);
    return r;
  }

  std::filesystem::path image_path;
};

TEST_F(CsmiEndToEnd, SegmentedDownloadGoesOutInFourBlockSegments) {
  // 10,000 bytes: 20 blocks once padded, five segments of 4 whatever "/g" asks.
  const std::vector<uint8_t> image = sim::make_image(10000, "SIM2.00");
  const std::u16string file = write_image(image);
  const ToolRun run = run_tool({u"/C:\\\\.\\SCSI2:1", u"/D:" + file, u"/s", u"/g", u"32"});
  EXPECT_EQ(run.exit_code, 0) << run.out;

  const auto sent = downloads();
  ASSERT_EQ(sent.size(), 5u);
  for (size_t i = 0; i < sent.size(); ++i) {
    const std::vector<uint8_t>& b = sent[i];
    SCOPED_TRACE("segment " + std::to_string(i));
    ASSERT_EQ(b.size(), 168u + 2048u);
    EXPECT_EQ(b[28], 1);                                       // phy 1
    EXPECT_EQ(b[47], 0x03);                                    // Features: segmented
    EXPECT_EQ(b[56], 4);                                       // block count, low byte
    EXPECT_EQ(b[48], 0);                                       // block count, high byte (LBA 7:0)
    EXPECT_EQ(b[49] | (b[50] << 8), static_cast<int>(4 * i));  // block offset (LBA 23:8)
    EXPECT_EQ(u32_at(b, 64), 0x12u);
    const size_t from = 2048 * i;
    const size_t n = std::min<size_t>(2048, image.size() - from);
    EXPECT_EQ(0, std::memcmp(b.data() + kStpData, image.data() + from, n));
  }
  const sim::Drive& drive = adapter().drives[1];
  EXPECT_EQ(drive.firmware, "SIM2.00");
  ASSERT_GE(drive.last_image.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), drive.last_image.begin()));
  // The other drives saw nothing.
  EXPECT_EQ(adapter().drives[0].download_commands, 0);
  EXPECT_EQ(adapter().drives[2].download_commands, 0);
}

TEST_F(CsmiEndToEnd, VerboseReportShowsSegmentSizeFour) {
  const ToolRun run = run_tool({u"/C:\\\\.\\SCSI2:3", u"/i", u"/v", u"/g", u"32"});
  EXPECT_EQ(run.exit_code, 10);
  EXPECT_NE(run.out.find("  Device Path: \\\\.\\SCSI2:3\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("CSMI_SAS_PROTOCOL_SATA supported for Phy: 3\n\n"), std::string::npos);
  EXPECT_NE(run.out.find("  SN: QMSIMC2P3\n"), std::string::npos);
  EXPECT_NE(run.out.find("  Segment Size : 4\n"), std::string::npos);
}

TEST_F(CsmiEndToEnd, AbortedDownloadDoesNotSucceed) {
  adapter().drives[2].faults.abort_every_download = true;
  const std::u16string file = write_image(sim::make_image(4096, "SIM2.00"));
  const ToolRun run = run_tool({u"/C:\\\\.\\SCSI2:2", u"/D:" + file, u"/s"});
  EXPECT_NE(run.exit_code, 0);
  EXPECT_EQ(run.exit_code, map_exit_code(kResultDriveError));
  EXPECT_NE(run.out.find("Status FIS: Status=0x51 Error=0x04\n"), std::string::npos) << run.out;
  EXPECT_EQ(adapter().drives[2].firmware, "SIM1.00");
}

TEST_F(CsmiEndToEnd, ScanTargetsTypedBackReachTheSameDrive) {
  const ToolRun scan = run_tool({u"--scan"});
  EXPECT_EQ(scan.exit_code, 0);

  struct Listed {
    std::string target;  // phy form, "\\.\SCSI2:0"
    std::string serial;
    std::string address;  // attached, 16 digits
  };
  std::vector<Listed> listed;
  std::istringstream lines(scan.out);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t hash = line.find(" # ");
    if (line.rfind("\\\\.\\SCSI", 0) != 0 || hash == std::string::npos) continue;
    Listed l;
    l.target = line.substr(0, hash);
    l.serial = line.substr(hash + 3, line.find(',', hash) - hash - 3);
    std::string next;
    ASSERT_TRUE(std::getline(lines, next));
    const std::string label = "SAS Address (Attached): ";
    ASSERT_EQ(next.rfind(label, 0), 0u) << next;
    l.address = next.substr(label.size());
    listed.push_back(l);
  }
  ASSERT_EQ(listed.size(), 5u) << scan.out;

  for (const Listed& l : listed) {
    SCOPED_TRACE(l.target);
    const ToolRun by_phy = run_tool({u"/C:" + utf8_to_utf16(l.target), u"/i"});
    EXPECT_EQ(by_phy.exit_code, 10);
    EXPECT_NE(by_phy.out.find("  SN: " + l.serial + "\n"), std::string::npos) << by_phy.out;

    const ToolRun by_address = run_tool({u"/C:2," + utf8_to_utf16(l.address), u"/i"});
    EXPECT_EQ(by_address.exit_code, 10);
    EXPECT_NE(by_address.out.find("  SN: " + l.serial + "\n"), std::string::npos) << by_address.out;
  }
}

TEST_F(CsmiEndToEnd, SspTargetIsRefused) {
  const ToolRun run = run_tool({u"/C:\\\\.\\SCSI2:5", u"/i", u"/v"});
  EXPECT_NE(run.out.find("CSMI_SAS_PROTOCOL_SSP supported for Phy: 5\n"), std::string::npos);
  EXPECT_EQ(run.out.find("  SN: "), std::string::npos);
  EXPECT_NE(run.exit_code, 0);
}

TEST_F(CsmiEndToEnd, MissingAdapter) {
  const ToolRun run = run_tool({u"/C:\\\\.\\SCSI7:0", u"/i"});
  EXPECT_NE(run.out.find("Error: Opening Device \\\\.\\SCSI7:\n"), std::string::npos);
  EXPECT_NE(run.exit_code, 0);
}

}  // namespace
