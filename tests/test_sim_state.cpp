// quillmark-sim's state file: what it writes, what it refuses, and a rehearsal across two runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/text.h"
#include "sim/builtin_world.h"
#include "sim/image_format.h"
#include "sim/state_file.h"
#include "sim/world.h"
#include "support/helpers.h"
#include "support/run_tool.h"
#include "transport/device_command.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/holder_process.h"
#endif

namespace {

const std::u16string kDrive0 = u"\\\\.\\PhysicalDrive0";

std::string state_path() { return testing::TempDir() + "quillmark_sim_state.txt"; }
std::string image_path() { return testing::TempDir() + "quillmark_sim_state_fw.bin"; }

bool file_exists(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f != nullptr) std::fclose(f);
  return f != nullptr;
}

#ifndef _WIN32
// A process that holds the state of the session at the path (byte 0 of its lock file) until
// released; its id.
int hold_state_elsewhere(const std::string& path) {
  return start_holder([&] {
    const int fd = open((path + ".lock").c_str(), O_RDWR);
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_len = 1;
    return fd >= 0 && fcntl(fd, F_SETLK, &range) == 0;
  });
}
#else
int hold_state_elsewhere(const std::string&) { return 0; }
void end_holder(int) {}
#endif

sim::Drive& drive(int n) { return sim::world().ports.at(static_cast<size_t>(n)).drive; }

void fresh_world() {
  sim::reset_world();
  sim::install_builtin_world();
}

class SimState : public testing::Test {
 protected:
  void SetUp() override {
    fresh_world();
    std::remove(state_path().c_str());
  }
  void TearDown() override {
    std::remove(state_path().c_str());
    std::remove(image_path().c_str());
  }
};

TEST_F(SimState, BuiltInWorldIsWrittenOneLinePerDrive) {
  sim::world().adapters.clear();
  EXPECT_EQ(sim::format_state(),
            "quillmark-sim state 1\n"
            "port \\\\.\\PhysicalDrive0 SIM1.00 - 0\n"
            "port \\\\.\\PhysicalDrive1 SIM1.00 - 0\n"
            "port \\\\.\\PhysicalDrive2 SIM1.00 - 0\n"
            "port \\\\.\\PhysicalDrive3 SIM1.00 - 0\n"
            "port \\\\.\\PhysicalDrive4 SIM1.00 - 0\n"
            "end\n");
}

TEST_F(SimState, TextsAreEscapedAndComeBackUnchanged) {
  struct Revision {
    std::string running;
    std::string pending;
    bool ready;
    const char* line;  // how the drive's line ends
  };
  const Revision revisions[] = {
      {"SIM2.00", "", false, " SIM2.00 - 0\n"},
      {"SIM1.00", "SIM3.00", true, " SIM1.00 SIM3.00 1\n"},
      {"", "-", true, " - %2D 1\n"},
      {"A B%", "\t\xFF", false, " A%20B%25 %09%FF 0\n"},
      {"--", "x-y", false, " -- x-y 0\n"},
  };
  for (size_t i = 0; i < std::size(revisions); ++i) {
    drive(static_cast<int>(i)).firmware = revisions[i].running;
    drive(static_cast<int>(i)).pending_revision = revisions[i].pending;
    drive(static_cast<int>(i)).pending_ready = revisions[i].ready;
  }
  const std::string text = sim::format_state();
  for (size_t i = 0; i < std::size(revisions); ++i) {
    const std::string line = "port \\\\.\\PhysicalDrive" + std::to_string(i) + revisions[i].line;
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }

  fresh_world();
  std::string reason;
  ASSERT_TRUE(sim::apply_state(text, reason)) << reason;
  for (size_t i = 0; i < std::size(revisions); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(drive(static_cast<int>(i)).firmware, revisions[i].running);
    EXPECT_EQ(drive(static_cast<int>(i)).pending_revision, revisions[i].pending);
    EXPECT_EQ(drive(static_cast<int>(i)).pending_ready, revisions[i].ready);
  }
  EXPECT_EQ(sim::format_state(), text);
}

TEST_F(SimState, DrivesNotNamedKeepTheirState) {
  std::string reason;
  ASSERT_TRUE(
      sim::apply_state("quillmark-sim state 1\n"
                       "port \\\\.\\PhysicalDrive2 SIM9.00 - 0\n"
                       "end\n",
                       reason))
      << reason;
  EXPECT_EQ(drive(2).firmware, "SIM9.00");
  EXPECT_EQ(drive(0).firmware, "SIM1.00");
  EXPECT_EQ(drive(4).firmware, "SIM1.00");
}

TEST_F(SimState, DamagedTextsAreRefusedWhole) {
  const std::string head = "quillmark-sim state 1\n";
  const std::string good = "port \\\\.\\PhysicalDrive0 SIM2.00 - 0\n";
  const std::string end = "end\n";
  struct Damaged {
    const char* what;
    std::string text;
  };
  const Damaged cases[] = {
      {"empty", ""},
      {"no header", good + end},
      {"other version", "quillmark-sim state 2\n" + good + end},
      {"no end", head + good},
      {"cut short", head + good.substr(0, 20)},
      {"no final newline", head + good + "end"},
      {"lines after end", head + end + good + end},
      {"carriage returns", "quillmark-sim state 1\r\n" + good + end},
      {"CR inside a line", head + "port \\\\.\\PhysicalDrive0 SIM2.00 - 0\r\n" + end},
      {"empty line", head + "\n" + good + end},
      {"unknown keyword", head + "disk \\\\.\\PhysicalDrive0 SIM2.00 - 0\n" + end},
      {"field missing", head + "port \\\\.\\PhysicalDrive0 SIM2.00 0\n" + end},
      {"field extra", head + "port \\\\.\\PhysicalDrive0 SIM2.00 - 0 0\n" + end},
      {"two blanks", head + "port \\\\.\\PhysicalDrive0  SIM2.00 - 0\n" + end},
      {"trailing blank", head + "port \\\\.\\PhysicalDrive0 SIM2.00 - 0 \n" + end},
      {"unknown drive", head + "port \\\\.\\PhysicalDrive7 SIM2.00 - 0\n" + end},
      {"drive named twice", head + good + good + end},
      {"readiness 2", head + "port \\\\.\\PhysicalDrive0 SIM2.00 - 2\n" + end},
      {"readiness word", head + "port \\\\.\\PhysicalDrive0 SIM2.00 - yes\n" + end},
      {"revision too long", head + "port \\\\.\\PhysicalDrive0 SIM2.00.01 - 0\n" + end},
      {"bad escape", head + "port \\\\.\\PhysicalDrive0 SIM%G0 - 0\n" + end},
      {"escape cut", head + "port \\\\.\\PhysicalDrive0 SIM%2 - 0\n" + end},
      {"lower-case escape", head + "port \\\\.\\PhysicalDrive0 %2d - 0\n" + end},
      {"needless escape", head + "port \\\\.\\PhysicalDrive0 %53IM2.00 - 0\n" + end},
      {"raw byte", head + "port \\\\.\\PhysicalDrive0 SIM\xFF - 0\n" + end},
      {"adapter without drive", head + "adapter 9 0 SIM2.00 - 0\n" + end},
      {"phy out of range", head + "adapter 2 32 SIM2.00 - 0\n" + end},
      {"phy with a leading zero", head + "adapter 2 01 SIM2.00 - 0\n" + end},
      {"negative adapter", head + "adapter -2 0 SIM2.00 - 0\n" + end},
  };
  const std::string before = sim::format_state();
  for (const Damaged& c : cases) {
    SCOPED_TRACE(c.what);
    std::string reason;
    EXPECT_FALSE(sim::apply_state(c.text, reason));
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(reason.find('\n'), std::string::npos);
    EXPECT_EQ(sim::format_state(), before);
  }
}

TEST_F(SimState, SavedStateComesBackInTheNextRun) {
  drive(0).firmware = "SIM2.00";
  drive(1).pending_revision = "SIM3.00";
  drive(1).pending_ready = true;
  // The drives behind the built-in adapter are kept too.
  ASSERT_FALSE(sim::world().adapters.empty());
  sim::world().adapters[0].drives[4].firmware = "SIM4.00";
  const std::string saved = sim::format_state();
  const Printed p = printed([] {
    EXPECT_TRUE(sim::save_state_file(state_path()));
    fresh_world();
    EXPECT_TRUE(sim::load_state_file(state_path()));
  });
  EXPECT_EQ(p.err, "");
  EXPECT_EQ(sim::format_state(), saved);
  EXPECT_EQ(sim::world().adapters[0].drives[4].firmware, "SIM4.00");
}

TEST_F(SimState, MissingFileLeavesTheBuiltInWorldSilently) {
  const std::string before = sim::format_state();
  const Printed p = printed([] { EXPECT_FALSE(sim::load_state_file(state_path())); });
  EXPECT_EQ(p.out, "");
  EXPECT_EQ(p.err, "");
  EXPECT_EQ(sim::format_state(), before);
}

TEST_F(SimState, DamagedOrOversizedFileIsReportedInOneLineAndIgnored) {
  const std::string files[] = {
      "garbage",
      std::string("quillmark-sim state 1\n") + std::string(70000, 'x') + "\nend\n",
      std::string("\0\0\0\0", 4),
  };
  for (const std::string& bytes : files) {
    fresh_world();
    const std::string before = sim::format_state();
    ASSERT_TRUE(write_file(state_path(), Bytes(bytes.begin(), bytes.end())));
    const Printed p = printed([] { EXPECT_FALSE(sim::load_state_file(state_path())); });
    const std::string& err = p.err;
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(err.rfind("quillmark-sim: ignoring damaged state file " + state_path() + ": ", 0), 0u)
        << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    EXPECT_EQ(sim::format_state(), before);
  }
}

// What sits at the state file's name (or at the name of the temporary file beside it) and is
// not a state file is never replaced, deleted or waited on.
TEST_F(SimState, WhatIsNotAStateFileIsLeftAsItIs) {
  namespace fs = std::filesystem;
  enum class Kind {
    DamagedFile,
    EmptyDirectory,
    Fifo,
    Link,
    FileAtTheTemporaryName,
    OthersStateFile
  };
  struct Row {
    const char* name;
    Kind kind;
    bool saved;
  };
  const Row rows[] = {
      {"damaged file", Kind::DamagedFile, false},
      {"empty directory", Kind::EmptyDirectory, false},
#ifndef _WIN32
      {"FIFO", Kind::Fifo, false},
      // A save would replace the link, not the state file it names.
      {"symbolic link to a state file", Kind::Link, false},
#endif
      {"files a killed run left at temporary names", Kind::FileAtTheTemporaryName, true},
#ifndef _WIN32
      // Replaced, but still the other user's, with its permissions.
      {"a state file of another user's, mode 0640", Kind::OthersStateFile, true},
#endif
  };
  const std::string path = state_path();
  // Temporary names of this very process (as a killed run of the same id left them), and the
  // numbered names a save once took in turn.
  std::vector<std::string> temps;
  for (int n = 0; n < 100; ++n) {
    temps.push_back(path + ".tmp-" + std::to_string(sim::process_id()) + "-" + std::to_string(n));
    temps.push_back(path + ".tmp" + (n == 0 ? std::string() : std::to_string(n)));
  }
  const std::string user_bytes = "the user's own text\n";
  const std::string link_target = path + ".target";
  fresh_world();
  const std::string target_state = sim::format_state();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fresh_world();
    std::error_code ec;
    fs::remove_all(path, ec);
    for (const std::string& temp : temps) fs::remove(temp, ec);
    switch (row.kind) {
      case Kind::DamagedFile:
        ASSERT_TRUE(write_file(path, Bytes(user_bytes.begin(), user_bytes.end())));
        break;
      case Kind::EmptyDirectory:
        ASSERT_TRUE(fs::create_directory(path));
        break;
      case Kind::Fifo:
#ifndef _WIN32
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
#endif
        break;
      case Kind::Link:
        ASSERT_TRUE(write_file(link_target, Bytes(target_state.begin(), target_state.end())));
        fs::create_symlink(link_target, path);
        break;
      case Kind::FileAtTheTemporaryName:
        for (const std::string& temp : temps)
          ASSERT_TRUE(write_file(temp, Bytes(user_bytes.begin(), user_bytes.end())));
        break;
      case Kind::OthersStateFile:
#ifndef _WIN32
        ASSERT_TRUE(write_file(path, Bytes(target_state.begin(), target_state.end())));
        ASSERT_EQ(chmod(path.c_str(), 0640), 0);
        if (geteuid() == 0) {
          ASSERT_EQ(chown(path.c_str(), 4242, 4343), 0);
        }
#endif
        break;
    }
    drive(0).firmware = "SIM2.00";
    const std::string state = sim::format_state();
    const Printed p = printed([&] {
      // A sound file is not loaded here: the save replaces it with the drive's new state.
      if (row.kind != Kind::OthersStateFile) {
        EXPECT_FALSE(sim::load_state_file(path));
      }
      EXPECT_EQ(sim::save_state_file(path), row.saved);
    });
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(std::count(p.err.begin(), p.err.end(), '\n'), row.saved ? 0 : 2) << p.err;
    switch (row.kind) {
      case Kind::DamagedFile:
        EXPECT_EQ(read_file(path), user_bytes);
        break;
      case Kind::EmptyDirectory: {
        EXPECT_TRUE(fs::is_directory(path));
        // A run is refused the folder, by either spelling, before anything is made beside it.
        for (const std::string& name : {path, path + "/"}) {
          const std::string err = printed([&] {
                                    sim::begin_state_session(name);
                                    sim::end_state_session(0);
                                  }).err;
          EXPECT_EQ(err, "quillmark-sim: cannot use state file " + name + ": a directory\n");
          EXPECT_FALSE(fs::exists(name + ".lock"));
        }
        break;
      }
      case Kind::Fifo:
        EXPECT_EQ(fs::symlink_status(path).type(), fs::file_type::fifo);
        break;
      case Kind::Link:
        EXPECT_EQ(fs::symlink_status(path).type(), fs::file_type::symlink);
        EXPECT_EQ(read_file(link_target), target_state);
        break;
      case Kind::FileAtTheTemporaryName:
        for (const std::string& temp : temps) EXPECT_EQ(read_file(temp), user_bytes);
        EXPECT_EQ(read_file(path), state);
        break;
      case Kind::OthersStateFile: {
        EXPECT_EQ(read_file(path), state);
#ifndef _WIN32
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        if (geteuid() == 0) {
          EXPECT_EQ(st.st_uid, 4242u);
          EXPECT_EQ(st.st_gid, 4343u);
        }
#endif
        break;
      }
    }
    fs::remove_all(path, ec);
    fs::remove(link_target, ec);
    for (const std::string& temp : temps) fs::remove(temp, ec);
  }
}

// The name as the user set it, control characters and all, is shown neutralised.
TEST_F(SimState, SaveFailureIsReportedInOneLine) {
  const std::string path = testing::TempDir() + "no_such_directory_qm\x1b]0;x\x07/state.txt";
  const std::string shown = testing::TempDir() + "no_such_directory_qm?]0;x?/state.txt";
  const std::string err = printed([&] { EXPECT_FALSE(sim::save_state_file(path)); }).err;
  EXPECT_EQ(err.rfind("quillmark-sim: cannot save state file " + shown + ": ", 0), 0u) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
}

// The rehearsal a user runs: download in one run, "/i" in the next shows the new revision.
TEST_F(SimState, DownloadThenInformationInTheNextRunShowsTheNewRevision) {
  const std::vector<uint8_t> image = sim::make_image(4 * 32768, "SIM2.00");
  ASSERT_TRUE(write_file(image_path(), image));

  const ToolRun download = run_tool({kDrive0, u16("/D:" + image_path()), u"/s"});
  ASSERT_EQ(download.exit_code, 0) << download.out;
  ASSERT_TRUE(sim::save_state_file(state_path()));

  // Without the state a new run starts from the built-in revision.
  fresh_world();
  ToolRun info = run_tool({kDrive0, u"/i"});
  EXPECT_EQ(info.exit_code, 10);
  EXPECT_NE(info.out.find("  FW: SIM1.00\n"), std::string::npos) << info.out;

  fresh_world();
  ASSERT_TRUE(sim::load_state_file(state_path()));
  info = run_tool({kDrive0, u"/i"});
  EXPECT_EQ(info.exit_code, 10);
  EXPECT_NE(info.out.find("  FW: SIM2.00\n"), std::string::npos) << info.out;
}

// A deferred image taken in one run is activated in the next.
TEST_F(SimState, DeferredImageWaitsForTheNextRun) {
  const std::vector<uint8_t> image = sim::make_image(2 * 32768, "SIM2.00");
  ASSERT_TRUE(write_file(image_path(), image));

  ASSERT_EQ(run_tool({kDrive0, u16("/D:" + image_path()), u"/e"}).exit_code, 0);
  EXPECT_EQ(drive(0).firmware, "SIM1.00");
  ASSERT_TRUE(sim::save_state_file(state_path()));

  fresh_world();
  ASSERT_TRUE(sim::load_state_file(state_path()));
  EXPECT_TRUE(drive(0).pending_ready);
  EXPECT_EQ(drive(0).pending_revision, "SIM2.00");
  // The second run's own download is refused; its activation finds the waiting image, though
  // the run still fails with its download.
  drive(0).faults.abort_download_nth = 1;
  const ToolRun activate = run_tool({kDrive0, u16("/D:" + image_path()), u"/e", u"/a"});
  EXPECT_EQ(activate.exit_code, 1) << activate.out;
  EXPECT_EQ(drive(0).firmware, "SIM2.00");
}

// quillmark-sim's run: the state file is read once the run may touch a drive and written at
// each change of a drive's firmware state, never when nothing changed.
TEST_F(SimState, RunsSaveAtEachChangeAndOnlyThen) {
  const std::vector<uint8_t> image = sim::make_image(4 * 32768, "SIM2.00");
  ASSERT_TRUE(write_file(image_path(), image));
  const std::string path = state_path();
  struct Row {
    const char* name;
    std::vector<std::u16string> args;
    int pause_interrupted;  // 0: none
    int exit_code;
    const char* saved_revision;  // of PhysicalDrive0; null: no file written
    bool state_held = false;     // another process holds the state file throughout
  };
  const std::u16string fw = u16("/D:" + image_path());
  const Row rows[] = {
      {"/i", {kDrive0, u"/i"}, 0, 10, nullptr},
      {"a refused download", {u"\\\\.\\PhysicalDrive4", fw}, 0, 1, nullptr},
      {"a claimed drive", {kDrive0, fw}, 0, 2, nullptr},
#ifndef _WIN32
      // As long as it would wait for a held drive, and then it is one.
      {"/i while another run keeps the state", {kDrive0, u"/i"}, 0, 2, nullptr, true},
#endif
      {"a download", {kDrive0, fw, u"/s"}, 0, 0, "SIM2.00"},
      // Saved the moment the drive took it, though the run ends in the pause after it.
      {"a download interrupted after the last segment", {kDrive0, fw, u"/s"}, 1, 1, "SIM2.00"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fresh_world();
    std::remove(path.c_str());
    sim::begin_state_session(path);
    const int holder = row.state_held ? hold_state_elsewhere(path) : 0;
    if (row.exit_code == 2 && !row.state_held)
      sim::world().claims_elsewhere[claim_key(sim::world().ports[0].address)] = 99;
    sim::world().interrupt_at_pause = row.pause_interrupted;
    const ToolRun r = run_tool(row.args);
    EXPECT_EQ(r.exit_code, row.exit_code) << r.out;
    // A failed run names its cause in one line, and none of them is the state file.
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'),
              row.exit_code == 1 || row.exit_code == 2)
        << r.err;
    EXPECT_EQ(r.err.find(path), std::string::npos) << r.err;
    if (row.state_held) {
      EXPECT_NE(r.err.find("(process " + std::to_string(holder) + ")"), std::string::npos) << r.err;
      end_holder(holder);
    }
    // Before the run's end: what the file holds is there already.
    if (row.saved_revision == nullptr) {
      EXPECT_FALSE(file_exists(path));
    } else {
      fresh_world();
      ASSERT_TRUE(sim::load_state_file(path));
      EXPECT_EQ(drive(0).firmware, row.saved_revision);
    }
    EXPECT_EQ(sim::end_state_session(r.exit_code), r.exit_code);
    std::remove((path + ".lock").c_str());
  }
}

TEST_F(SimState, RunWhoseChangeCannotBeSavedEndsWithOne) {
  const std::vector<uint8_t> image = sim::make_image(4 * 32768, "SIM2.00");
  ASSERT_TRUE(write_file(image_path(), image));
  const std::string path = testing::TempDir() + "no_such_directory_qm/state.txt";
  std::string err;
  const Printed p = printed([&] {
    sim::begin_state_session(path);
    const ToolRun r = run_tool({kDrive0, u16("/D:" + image_path()), u"/e", u"/a"});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    err = r.err;
    EXPECT_EQ(sim::end_state_session(r.exit_code), 1);
  });
  // Two changes (the deferred image, its activation), one line about the save.
  const std::string all = p.err + err;
  const std::string said = "quillmark-sim: cannot save state file " + path + ": ";
  EXPECT_NE(all.find(said), std::string::npos) << all;
  EXPECT_EQ(all.find(said), all.rfind(said)) << all;
}

}  // namespace
