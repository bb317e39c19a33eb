// A multi-segment download with the drive refusing the k-th DOWNLOAD MICROCODE, for every k,
// on every transport: a run may end with exit 0 only when the drive holds the whole image.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/text.h"
#include "sim/builtin_world.h"
#include "sim/image_format.h"
#include "sim/world.h"
#include "support/helpers.h"
#include "support/run_tool.h"

namespace {

// "/g 4" (and the CSMI path's fixed size) gives 2048-byte segments: five full ones and a
// 1024-byte remainder, six commands per pass.
constexpr uint32_t kImageSize = 5 * 2048 + 1024;
constexpr int kSegments = 6;
const std::string kRevision = "SIM2.00";

std::string image_path() { return testing::TempDir() + "quillmark_fault_sweep_fw.bin"; }

struct Transport {
  const char* name;
  std::string device;      // the first argument
  sim::Drive& (*drive)();  // the drive it reaches
  int drive_error_exit;    // the exit code when the drive refuses a command
};

sim::Drive& scsi_drive() { return sim::world().ports.at(0).drive; }
// PhysicalDrive3 sits behind a bridge that only takes ATA pass-through.
sim::Drive& ata_drive() { return sim::world().ports.at(3).drive; }
// The built-in adapter on port 2: a SATA drive on phy 0, an STP drive on phy 4.
sim::Adapter& adapter() {
  for (sim::Adapter& a : sim::world().adapters)
    if (a.port == 2) return a;
  ADD_FAILURE() << "no adapter on port 2";
  return sim::add_adapter(2);
}
sim::Drive& sata_drive() { return adapter().drives[0]; }
sim::Drive& stp_drive() { return adapter().drives[4]; }

std::vector<Transport> transports() {
  std::vector<Transport> t;
  t.push_back({"SCSI pass-through", "\\\\.\\PhysicalDrive0", scsi_drive, 1});
  t.push_back({"ATA pass-through", "/T:\\\\.\\PhysicalDrive3", ata_drive, 1});
  t.push_back({"CSMI, SATA phy", "/C:\\\\.\\SCSI2:0", sata_drive, 1});
  t.push_back({"CSMI, STP phy by address", "/C:2,5001514D00000204", stp_drive, 1});
  return t;
}

struct Mode {
  const char* name;
  std::vector<std::string> options;
  int commands;  // DOWNLOAD MICROCODE commands of a clean run
};

const Mode kModes[] = {
    {"segmented", {"/s"}, kSegments},
    // The activate pass is one more command that can be refused.
    {"deferred and activate", {"/e", "/a"}, kSegments + 1},
};

TEST(FaultSweep, NoExitZeroWithoutTheWholeImage) {
  const std::vector<uint8_t> image = sim::make_image(kImageSize, kRevision);
  ASSERT_TRUE(write_file(image_path(), image));

  for (const Transport& t : transports()) {
    for (const Mode& mode : kModes) {
      for (int retries : {0, 1}) {
        // k = 0 plans no fault; k beyond the last command never fires.
        for (int k = 0; k <= mode.commands + 1; ++k) {
          SCOPED_TRACE(std::string(t.name) + ", " + mode.name + ", /r " + std::to_string(retries) +
                       ", refusing command " + std::to_string(k));
          sim::reset_world();
          sim::install_builtin_world();
          t.drive().faults.abort_download_nth = k;

          std::vector<std::u16string> args{u16(t.device), u16("/D:" + image_path()),   u"/g", u"4",
                                           u"/r",         u16(std::to_string(retries))};
          for (const std::string& o : mode.options) args.push_back(u16(o));
          const ToolRun r = run_tool(args);
          const sim::Drive& d = t.drive();

          const bool fired = k >= 1 && k <= mode.commands;
          // A refused download segment is answered by one whole retry pass; a refused
          // activation is the last command of the run and is not retried.
          const bool download_refused = fired && k <= kSegments;
          const bool recovers = download_refused && retries > 0;
          const bool succeeds = !fired || recovers;

          if (r.exit_code == 0) {
            EXPECT_EQ(d.last_image, image);
            EXPECT_EQ(d.firmware, kRevision);
          }
          EXPECT_EQ(r.exit_code, succeeds ? 0 : t.drive_error_exit);
          // No command follows a refused one within a pass; a retry starts from the first.
          int expected_commands = mode.commands;
          if (download_refused)
            expected_commands = k + (recovers ? kSegments : 0) + (mode.commands - kSegments);
          EXPECT_EQ(d.download_commands, expected_commands);
        }
      }
    }
  }
  std::remove(image_path().c_str());
}

}  // namespace
