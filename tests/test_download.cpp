#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifdef __linux__
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "download/download.h"
#include "platform/console.h"
#include "sim/image_format.h"
#include "sim/world.h"
#include "support/expected_texts.h"
#include "support/helpers.h"

#ifdef __linux__
namespace {
// The write system calls made on one descriptor while counting, seen on their way to the
// kernel.
int g_counted_fd = -1;
int g_writes = 0;
}  // namespace

extern "C" ssize_t write(int fd, const void* buffer, size_t size) {
  if (fd == g_counted_fd) ++g_writes;
  return syscall(SYS_write, fd, buffer, size);
}
#endif

namespace {

namespace fs = std::filesystem;

const std::u16string kDrivePath = u"\\\\.\\PhysicalDrive0";
const std::string kWarning = expected_warning();
constexpr uint32_t kBlock = 512;

// --- Image files -------------------------------------------------------------------------

std::vector<uint8_t> pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 7 + i / 512 + 1) & 0xFF);
  return bytes;
}

// A file in the test's own directory, removed when the test ends.
class ImageFile {
 public:
  explicit ImageFile(const std::vector<uint8_t>& bytes) : path_(unique_path()) {
    std::ofstream f(path_, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  }
  // A file of `size` bytes whose content does not matter (sparse where the system allows).
  static ImageFile of_size(uintmax_t size) {
    ImageFile f(std::vector<uint8_t>{});
    fs::resize_file(f.path_, size);
    return f;
  }
  ImageFile(ImageFile&& other) noexcept : path_(std::move(other.path_)) { other.path_.clear(); }
  ~ImageFile() {
    std::error_code ec;
    if (!path_.empty()) fs::remove(path_, ec);
  }
  std::u16string name() const { return path_.u16string(); }

 private:
  static fs::path unique_path() {
    static int counter = 0;
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("qm_dl_") + info->name() + "_" + std::to_string(++counter);
    for (char& c : name)
      if (c == '/') c = '_';
    return fs::temp_directory_path() / name;
  }
  fs::path path_;
};

// --- DOWNLOAD MICROCODE as the drive received it -----------------------------------------

struct WireCommand {
  uint8_t features, count, lba_low, lba_mid, lba_high, device, command;
  uint8_t cdb1, cdb2;
  uint8_t data_in;
  uint32_t length;
  uint32_t timeout;
  const uint8_t* data;
  std::vector<uint8_t> data_out;
  uint32_t blocks() const { return count | lba_low << 8; }
  uint32_t offset() const { return lba_mid | lba_high << 8; }
};

std::vector<WireCommand> download_commands() {
  std::vector<WireCommand> out;
  for (const auto& e : sim::world().log) {
    if (e.kind != sim::LogEntry::Kind::Scsi) continue;
    ScsiPassThroughRequest r;
    std::memcpy(&r, e.request.data(), sizeof r);
    const uint8_t* cdb = r.sptd.Cdb;
    if (cdb[0] != 0x85 || cdb[14] != 0x92) continue;
    out.push_back(WireCommand{cdb[4], cdb[6], cdb[8], cdb[10], cdb[12], cdb[13], cdb[14], cdb[1],
                              cdb[2], r.sptd.DataIn, r.sptd.DataTransferLength, r.sptd.TimeOutValue,
                              static_cast<const uint8_t*>(e.data_pointer), e.data_out});
  }
  return out;
}

// The progress lines of an output: each "\r\t<bar> <spinner> : <n>%".
struct ProgressLine {
  size_t bar;
  std::string spinner;
  int shown;
};

std::vector<ProgressLine> progress_lines(const std::string& out) {
  std::vector<ProgressLine> lines;
  for (size_t at = out.find("\r\t"); at != std::string::npos; at = out.find("\r\t", at + 2)) {
    size_t p = at + 2;
    size_t bar = 0;
    while (p < out.size() && out[p] == '+') ++bar, ++p;
    const size_t colon = out.find(" : ", p);
    const size_t percent = out.find('%', colon);
    if (colon == std::string::npos || percent == std::string::npos) break;
    lines.push_back({bar, out.substr(p + 1, colon - p - 1),
                     std::stoi(out.substr(colon + 3, percent - colon - 3))});
  }
  return lines;
}

int spinner_index(const std::string& s) {
  const std::string cycle[4] = {"|", "/", std::string(console::hline()), "\\"};
  for (int i = 0; i < 4; ++i)
    if (s == cycle[i]) return i;
  return -1;
}

// --- Fixture -----------------------------------------------------------------------------

class Download : public testing::Test {
 protected:
  void SetUp() override {
    sim::reset_world();
    port_ = &sim::add_port(kDrivePath);
    cmd_ = cleared_record(InterfaceKind::ScsiPassThrough);
    ASSERT_EQ(open_device(cmd_, kDrivePath), kResultSuccess);
    console::capture_begin();
  }
  void TearDown() override { console::capture_end(); }

  sim::Drive& drive() { return port_->drive; }

  // One pass; given a spinner, the pass turns it on as a run's later passes do.
  int run(const ImageFile& file, DownloadMode mode, uint8_t segment_blocks, int verbosity,
          Spinner* spinner = nullptr) {
    sim::world().log.clear();
    console::capture_begin();
    cmd_.verbosity = verbosity;
    DownloadParams params;
    params.file_name = file.name();
    params.mode = mode;
    params.segment_blocks = segment_blocks;
    params.spinner = spinner;
    const int result = download_firmware(cmd_, params);
    out_ = console::captured_out();
    err_ = console::captured_err();
    return result;
  }

  sim::Port* port_ = nullptr;
  DeviceCommand cmd_;
  std::string out_, err_;
};

// --- Plans and wire commands -------------------------------------------------------------

struct PlanCase {
  const char* name;
  uint64_t size;
  DownloadMode mode;
  uint8_t segment_blocks;
  // The full transfers and their blocks (the plan shown is tests/golden/plan_<name>.txt).
  unsigned transfers, sectors;
  // What goes out: `transfers` commands of `sectors` blocks, then (when final_blocks is not
  // zero) one of final_blocks blocks.
  unsigned final_blocks;
};

class Plans : public Download, public testing::WithParamInterface<PlanCase> {};

TEST_P(Plans, PlanAndWireCommands) {
  const PlanCase& c = GetParam();
  drive().accept_any_image = true;
  drive().word235 = 0;
  const bool big = c.size > (8u << 20);
  sim::world().log_data = !big;
  const auto bytes = pattern(c.size);
  ImageFile file(bytes);

  ASSERT_EQ(run(file, c.mode, c.segment_blocks, 1), kResultSuccess) << out_ << err_;
  EXPECT_EQ(err_, "");

  const std::string plan = expected_plan(c.name);
  ASSERT_EQ(out_.substr(0, plan.size() + kWarning.size()), plan + kWarning);

  const auto wire = download_commands();
  ASSERT_EQ(wire.size(), c.transfers + (c.final_blocks != 0 ? 1u : 0u));
  ASSERT_EQ(drive().download_commands, static_cast<int>(wire.size()));
  const uint8_t* base = wire[0].data;
  // SG_IO carries a 1 MiB transfer only from a page-aligned buffer.
  EXPECT_EQ(reinterpret_cast<uintptr_t>(base) % 4096, 0u);
  const size_t padded = (c.size + kBlock - 1) / kBlock * kBlock;
  for (size_t i = 0; i < wire.size(); ++i) {
    SCOPED_TRACE("command " + std::to_string(i));
    const WireCommand& w = wire[i];
    const bool final = i == c.transfers;
    const uint32_t blocks = final ? c.final_blocks : c.sectors;
    EXPECT_EQ(w.features, static_cast<uint8_t>(c.mode));
    EXPECT_EQ(w.blocks(), blocks);
    EXPECT_EQ(w.offset(), i * c.sectors);
    EXPECT_EQ(w.length, blocks * kBlock);
    EXPECT_EQ(w.device, 0x40);
    EXPECT_EQ(w.cdb1, 0x0A);  // PIO data-out, 28-bit
    // A segment of mode 0x03 asks for the registers back (CK_COND): the drive's verdict.
    EXPECT_EQ(w.cdb2, c.mode == DownloadMode::SegmentedImmediate ? 0x26 : 0x06);
    EXPECT_EQ(w.data_in, SCSI_IOCTL_DATA_OUT);
    EXPECT_EQ(w.timeout, 5u);
    // Every transfer points into the one image buffer, at its own block offset.
    EXPECT_EQ(w.data, base + static_cast<size_t>(w.offset()) * kBlock);
    EXPECT_LE(static_cast<size_t>(w.data - base) + w.length, padded);
    if (!big) {
      // The image's bytes, and zeros past the end of the file.
      std::vector<uint8_t> want(blocks * kBlock, 0);
      const size_t from = static_cast<size_t>(w.offset()) * kBlock;
      const size_t n = std::min<size_t>(want.size(), c.size - from);
      std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(from), n, want.begin());
      EXPECT_EQ(w.data_out, want);
    }
  }

  const auto lines = progress_lines(out_);
  ASSERT_EQ(lines.size(), c.transfers + 1u);
  EXPECT_EQ(lines.back().bar, 21u);
  EXPECT_EQ(lines.back().shown, 100);
  EXPECT_EQ(out_.find(" ! ") != std::string::npos, c.final_blocks != 0);
  EXPECT_EQ(out_.find('^'), std::string::npos);
  // The spinner turns once per line.
  for (size_t i = 1; i < lines.size(); ++i)
    EXPECT_EQ(spinner_index(lines[i].spinner), (spinner_index(lines[i - 1].spinner) + 1) % 4);
}

// clang-format off
const PlanCase kPlans[] = {
    // The worked example: 30 full transfers, then 16,960 bytes as 34 whole blocks.
    {"million_bytes_64_blocks", 1000000, DownloadMode::SegmentedImmediate, 64, 30, 64, 34},
    {"million_bytes_deferred", 1000000, DownloadMode::Deferred, 64, 30, 64, 34},
    // 488 bytes left after one block: sent as one whole block at offset 1.
    {"thousand_bytes_1_block", 1000, DownloadMode::SegmentedImmediate, 1, 1, 1, 1},
    {"shorter_than_a_segment", 10000, DownloadMode::Deferred, 64, 0, 64, 20},
    {"exact_multiple", 65536, DownloadMode::SegmentedImmediate, 64, 2, 64, 0},
    {"segment_above_128_blocks", 300000, DownloadMode::SegmentedImmediate, 200, 2, 200, 186},
    {"immediate_whole_file", 1000000, DownloadMode::DownloadImmediate, 64, 1, 1954, 0},
    {"immediate_exact", 4096, DownloadMode::DownloadImmediate, 200, 1, 8, 0},
    {"immediate_largest_image", 33553920, DownloadMode::DownloadImmediate, 64, 1, 65535, 0},
    {"segmented_largest_image", 33553920, DownloadMode::SegmentedImmediate, 255, 257, 255, 0},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, Plans, testing::ValuesIn(kPlans), case_name<PlanCase>);

TEST_F(Download, MillionByteExampleProgress) {
  drive().accept_any_image = true;
  ImageFile file(pattern(1000000));
  ASSERT_EQ(run(file, DownloadMode::SegmentedImmediate, 64, 0), kResultSuccess);
  const int shares[] = {0,  3,  6,  10, 13, 16, 20, 23, 26, 30, 33, 36, 40, 43, 46,
                        50, 53, 56, 60, 63, 66, 70, 73, 76, 80, 83, 86, 90, 93, 96};
  const auto lines = progress_lines(out_);
  ASSERT_EQ(lines.size(), 31u);
  for (size_t i = 0; i < 30; ++i) {
    EXPECT_EQ(lines[i].shown, shares[i]) << i;
    EXPECT_EQ(lines[i].bar, static_cast<size_t>(shares[i] / 5 + 1)) << i;
  }
  // Quiet: no plan and no markers.
  EXPECT_EQ(out_.substr(0, kWarning.size()), kWarning);
  EXPECT_EQ(out_.find(" ! "), std::string::npos);
}

TEST_F(Download, OnePerCentShowsAsZero) {
  drive().accept_any_image = true;
  ImageFile file(pattern(200 * kBlock));
  ASSERT_EQ(run(file, DownloadMode::SegmentedImmediate, 2, 0), kResultSuccess);
  const auto lines = progress_lines(out_);
  ASSERT_EQ(lines.size(), 101u);
  EXPECT_EQ(lines[0].shown, 0);
  EXPECT_EQ(lines[1].shown, 0);  // floor(1 / 100 x 100) = 1, shown as 0
  EXPECT_EQ(lines[1].bar, 1u);
  EXPECT_EQ(lines[2].shown, 2);
  EXPECT_EQ(lines[99].shown, 99);
  EXPECT_EQ(lines[99].bar, 20u);
}

// The whole output of a quiet three-transfer pass on a spinner of its own.
TEST_F(Download, ThreeTransferProgressBytes) {
  drive().accept_any_image = true;
  ImageFile file(pattern(3 * 64 * kBlock));
  ASSERT_EQ(run(file, DownloadMode::SegmentedImmediate, 64, 0), kResultSuccess);
  EXPECT_EQ(out_, kWarning + "\r\t+ / : 0%" + "\r\t+++++++ " + std::string(console::hline()) +
                      " : 33%" + "\r\t++++++++++++++ \\ : 66%" +
                      "\r\t+++++++++++++++++++++ | : 100%");
  EXPECT_EQ(err_, "");
}

#ifdef __linux__
// A pass of 65,535 commands through the real console into a real file: the bytes of the
// calls, handed over at each new percentage and at least every 50 ms, not once per line.
TEST_F(Download, LongPassReachesAFileInFewWrites) {
  drive().accept_any_image = true;
  sim::world().keep_log = false;
  const auto file = ImageFile::of_size(65535 * kBlock);
  ASSERT_EQ(run(file, DownloadMode::SegmentedImmediate, 1, 0), kResultSuccess);
  const std::string want = out_;  // every piece as the engine wrote it
  console::capture_end();

  const fs::path path = fs::temp_directory_path() / "qm_dl_console.txt";
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  dup2(fd, STDOUT_FILENO);
  close(fd);
  DownloadParams params;
  params.file_name = file.name();
  params.mode = DownloadMode::SegmentedImmediate;
  params.segment_blocks = 1;
  g_writes = 0;
  g_counted_fd = STDOUT_FILENO;
  const auto start = std::chrono::steady_clock::now();
  const int result = download_firmware(cmd_, params);
  console::flush();
  const auto took = std::chrono::steady_clock::now() - start;
  g_counted_fd = -1;
  dup2(saved, STDOUT_FILENO);
  close(saved);
  const std::string got = read_file(path.string());
  fs::remove(path);

  EXPECT_EQ(result, kResultSuccess);
  EXPECT_EQ(got.size(), want.size());
  EXPECT_TRUE(got == want);
  // The warning line, 100 percentages and the closing line, and one more for each 50 ms the
  // pass took: about 150 on a quick machine, against 65,537 before batching.
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
  EXPECT_GT(g_writes, 0);  // the count sees the console's system calls
  EXPECT_LE(g_writes, 102 + ms / 50) << ms << " ms";
}
#endif

TEST_F(Download, SpinnerContinuesAcrossPasses) {
  drive().accept_any_image = true;
  ImageFile file(pattern(5 * kBlock));
  Spinner spinner;
  for (int pass = 0; pass < 3; ++pass) {
    ASSERT_EQ(run(file, DownloadMode::SegmentedImmediate, 2, 0, &spinner), kResultSuccess);
    const auto first = progress_lines(out_);
    ASSERT_EQ(run(file, DownloadMode::Deferred, 1, 0, &spinner), kResultSuccess);
    const auto second = progress_lines(out_);
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(spinner_index(second.front().spinner), (spinner_index(first.back().spinner) + 1) % 4);
  }
}

TEST_F(Download, FailureOfThirdOfTenTransfers) {
  drive().accept_any_image = true;
  drive().faults.abort_download_nth = 3;
  ImageFile file(pattern(10 * 64 * kBlock + 1000));
  for (int verbosity : {0, 1}) {
    drive().download_commands = 0;
    const int result = run(file, DownloadMode::Deferred, 64, verbosity);
    EXPECT_EQ(result, kResultDriveError);
    EXPECT_EQ(download_commands().size(), 3u);  // nothing after the failed one
    const auto lines = progress_lines(out_);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].shown, 0);
    EXPECT_EQ(lines[1].shown, 10);
    EXPECT_EQ(lines[2].bar, 21u);
    EXPECT_EQ(lines[2].shown, 100);
    const std::string closing_start = "\r\t+++++++++++++++++++++ ";
    const size_t marker = out_.find(" ^ ");
    if (verbosity == 0) {
      EXPECT_EQ(marker, std::string::npos);
    } else {
      // The marker right before the closing line.
      ASSERT_NE(marker, std::string::npos);
      EXPECT_EQ(out_.compare(marker + 3, closing_start.size(), closing_start), 0);
    }
    EXPECT_EQ(out_.find(" ! "), std::string::npos);
  }
}

TEST_F(Download, FinalShortTransferFailure) {
  drive().accept_any_image = true;
  drive().faults.abort_download_nth = 3;
  ImageFile file(pattern(2 * 64 * kBlock + 700));
  EXPECT_EQ(run(file, DownloadMode::SegmentedImmediate, 64, 1), kResultDriveError);
  const auto wire = download_commands();
  ASSERT_EQ(wire.size(), 3u);
  EXPECT_EQ(wire[2].blocks(), 2u);
  const std::string tail = " !^ \r\t+++++++++++++++++++++ ";
  EXPECT_NE(out_.find(tail), std::string::npos);
}

// --- The activate pass -------------------------------------------------------------------

struct ActivateCase {
  const char* name;
  uint64_t size;
  unsigned blocks;  // of the whole image, or of its first 8,388,608 bytes
};

class ActivatePass : public Download, public testing::WithParamInterface<ActivateCase> {};

TEST_P(ActivatePass, SendsOneCommandWithoutData) {
  const ActivateCase& c = GetParam();
  drive().accept_any_image = true;
  auto file = ImageFile::of_size(c.size);
  for (int verbosity : {0, 1}) {
    ASSERT_EQ(run(file, DownloadMode::Activate, 0, verbosity), kResultSuccess) << out_ << err_;
    const auto wire = download_commands();
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(wire[0].features, 0x0F);
    EXPECT_EQ(wire[0].data_in, SCSI_IOCTL_DATA_UNSPECIFIED);
    EXPECT_EQ(wire[0].length, 0u);
    EXPECT_EQ(wire[0].data, nullptr);
    EXPECT_EQ(wire[0].cdb1, 0x0A);
    EXPECT_EQ(wire[0].blocks(), c.blocks);
    EXPECT_EQ(wire[0].offset(), 0u);
    // "Activate Completed ..." once, no progress line, no marker.
    EXPECT_EQ(out_.find("Activate Completed ...\n"), out_.rfind("Activate Completed ...\n"));
    EXPECT_NE(out_.find("Activate Completed ...\n"), std::string::npos);
    EXPECT_EQ(out_.find("\r\t"), std::string::npos);
    EXPECT_EQ(out_.find(" ! "), std::string::npos);
    EXPECT_EQ(out_.find("  Mode : 0x0F\n") != std::string::npos, verbosity != 0);
    EXPECT_NE(out_.find(kWarning), std::string::npos);
  }
}

// clang-format off
const ActivateCase kActivations[] = {
    {"at_the_cap", 8388608, 16384},
    {"small_image_partial_block", 1000, 1},
    // A larger image is still activated once, with the counts of its first 8,388,608 bytes.
    {"above_the_cap", 8388608 + 1000, 16384},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, ActivatePass, testing::ValuesIn(kActivations),
                         case_name<ActivateCase>);

TEST_F(Download, ActivateFailure) {
  // Nothing deferred is waiting: the drive refuses the activation.
  auto file = ImageFile::of_size(20000000);
  EXPECT_EQ(run(file, DownloadMode::Activate, 0, 1), kResultDriveError);
  EXPECT_EQ(download_commands().size(), 1u);
  EXPECT_NE(out_.find(" ^ Failed to Activate ...\n"), std::string::npos) << out_;
  EXPECT_EQ(out_.find("\r\t"), std::string::npos);
  EXPECT_EQ(run(file, DownloadMode::Activate, 0, 0), kResultDriveError);
  EXPECT_EQ(out_, kWarning + "Failed to Activate ...\n");
}

// --- Images refused before anything is sent ----------------------------------------------

enum class FileKind { Present, Missing, ShortRead, Directory };

struct RefusalCase {
  const char* name;
  FileKind kind;
  uint64_t size;
  DownloadMode mode;
  uint8_t segment_blocks;
  const char* message;  // the start of the error-stream line at a verbosity other than zero
};

class Refusal : public Download, public testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusal, Result4AndNothingSent) {
  const RefusalCase& c = GetParam();
  drive().accept_any_image = true;
  auto file = ImageFile::of_size(c.size);
  std::u16string missing = file.name() + u".missing";
  if (c.kind == FileKind::ShortRead)
    sim::world().file_read_limit = static_cast<int64_t>(c.size) - 1;
  for (int verbosity : {0, 1, 2}) {
    SCOPED_TRACE(verbosity);
    sim::world().log.clear();
    console::capture_begin();
    cmd_.verbosity = verbosity;
    DownloadParams params;
    params.file_name = c.kind == FileKind::Missing     ? missing
                       : c.kind == FileKind::Directory ? fs::temp_directory_path().u16string()
                                                       : file.name();
    params.mode = c.mode;
    params.segment_blocks = c.segment_blocks;
    EXPECT_EQ(download_firmware(cmd_, params), kResultFileFailed);
    EXPECT_TRUE(sim::world().log.empty());
    EXPECT_EQ(drive().download_commands, 0);
    EXPECT_EQ(console::captured_out(), "");
    const std::string err = console::captured_err();
    if (verbosity == 0) {
      EXPECT_EQ(err, "");
    } else {
      EXPECT_EQ(err.rfind(c.message, 0), 0u) << err;
      EXPECT_EQ(err.find('\n'), err.size() - 1) << err;  // one line
    }
  }
}

constexpr auto kPresent = FileKind::Present;
constexpr auto kShortRead = FileKind::ShortRead;
constexpr auto kMissing = FileKind::Missing;
constexpr auto kDirectory = FileKind::Directory;
constexpr uint64_t kTooLarge = 33553921;  // one byte past the largest image

// clang-format off
const RefusalCase kRefusals[] = {
    {"empty_segmented", kPresent, 0, DownloadMode::SegmentedImmediate, 64, "Firmware file is empty"},
    {"empty_immediate", kPresent, 0, DownloadMode::DownloadImmediate, 64, "Firmware file is empty"},
    {"empty_deferred", kPresent, 0, DownloadMode::Deferred, 64, "Firmware file is empty"},
    {"empty_activate", kPresent, 0, DownloadMode::Activate, 0, "Firmware file is empty"},
    {"one_byte_past_the_limit", kPresent, kTooLarge, DownloadMode::DownloadImmediate, 64, "Firmware file too large"},
    {"too_large_segmented", kPresent, kTooLarge, DownloadMode::SegmentedImmediate, 1, "Firmware file too large"},
    {"32_mib_deferred", kPresent, 33554432, DownloadMode::Deferred, 64, "Firmware file too large"},
    {"too_large_activate", kPresent, 33554432, DownloadMode::Activate, 0, "Firmware file too large"},
    {"short_read_segmented", kShortRead, 10000, DownloadMode::SegmentedImmediate, 64, "Short read of the firmware file"},
    {"short_read_immediate", kShortRead, 10000, DownloadMode::DownloadImmediate, 64, "Short read of the firmware file"},
    {"short_read_activate", kShortRead, 10000, DownloadMode::Activate, 0, "Short read of the firmware file"},
    {"missing_file", kMissing, 1, DownloadMode::SegmentedImmediate, 64, "File Open Failure: "},
    {"missing_file_activate", kMissing, 1, DownloadMode::Activate, 0, "File Open Failure: "},
    {"directory", kDirectory, 1, DownloadMode::SegmentedImmediate, 64, "File Open Failure: Not a regular file (a directory)"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, Refusal, testing::ValuesIn(kRefusals), case_name<RefusalCase>);

TEST_F(Download, FileOpenFailureCarriesTheSystemsDescription) {
  DownloadParams params;
  params.file_name = u"/nonexistent-dir/firmware.bin";
  cmd_.verbosity = 1;
  console::capture_begin();
  EXPECT_EQ(download_firmware(cmd_, params), kResultFileFailed);
  std::string error_text;
  EXPECT_EQ(platform_file_open(params.file_name, error_text), kInvalidHandle);
  ASSERT_FALSE(error_text.empty());
  EXPECT_EQ(console::captured_err(), "File Open Failure: " + error_text + "\n");
}

// --- Through the simulated drive with real images ----------------------------------------

struct FirmwareCase {
  const char* name;
  uint32_t size;
  DownloadMode mode;
  uint8_t segment_blocks;
  InterfaceKind interface;
  // The file: the image cut to this many bytes (0: whole), or with this many more after it.
  uint32_t cut = 0;
  uint32_t extra = 0;
  void (*setup)(sim::Port&) = nullptr;
  // A pass the drive's verdict fails: the commands sent, and the why of the failure.
  int commands = 0;
  const char* why = nullptr;
};

class Firmware : public Download, public testing::WithParamInterface<FirmwareCase> {};

TEST_P(Firmware, ImageReachesTheDriveWhole) {
  const FirmwareCase& c = GetParam();
  cmd_.flags = interface_flag(c.interface);
  if (c.setup) c.setup(*port_);
  auto image = sim::make_image(c.size, "SIM2.00");
  std::vector<uint8_t> bytes = image;
  if (c.cut != 0) bytes.resize(c.cut);
  bytes.insert(bytes.end(), c.extra, 0x5A);
  ImageFile file(bytes);
  if (c.why != nullptr) {
    DownloadParams params;
    params.file_name = file.name();
    params.mode = c.mode;
    params.segment_blocks = c.segment_blocks;
    DownloadReport report;
    EXPECT_EQ(download_firmware(cmd_, params, &report), kResultDriveError);
    EXPECT_EQ(report.why, c.why);
    EXPECT_EQ(drive().download_commands, c.commands);
    // A truncated image leaves the drive as it was.
    if (c.cut != 0) {
      EXPECT_EQ(drive().firmware, "SIM1.00");
    }
    return;
  }
  ASSERT_EQ(run(file, c.mode, c.segment_blocks, 0), kResultSuccess) << out_;
  if (c.cut != 0) return;  // nothing said either way: the drive keeps what it runs
  // Every byte arrived, the tail of a partial block included, or the checksum would fail.
  EXPECT_EQ(drive().last_image, image);
  if (c.mode == DownloadMode::Deferred) {
    EXPECT_EQ(drive().firmware, "SIM1.00");
    EXPECT_TRUE(drive().pending_ready);
    ASSERT_EQ(run(file, DownloadMode::Activate, 0, 0), kResultSuccess) << out_;
  }
  EXPECT_EQ(drive().firmware, "SIM2.00");
}

// clang-format off
const FirmwareCase kFirmwares[] = {
    {"segmented_odd_size", 1000000, DownloadMode::SegmentedImmediate, 64, InterfaceKind::ScsiPassThrough},
    {"segmented_one_block", 70000, DownloadMode::SegmentedImmediate, 1, InterfaceKind::ScsiPassThrough},
    {"immediate_odd_size", 1000001, DownloadMode::DownloadImmediate, 64, InterfaceKind::ScsiPassThrough},
    {"deferred_then_activate", 1048576, DownloadMode::Deferred, 64, InterfaceKind::ScsiPassThrough},
    {"ata_path_segmented", 100000, DownloadMode::SegmentedImmediate, 16, InterfaceKind::AtaPassThrough},
    {"ata_path_deferred", 3000000, DownloadMode::Deferred, 255, InterfaceKind::AtaPassThrough},
    // The drive's verdict in mode 0x03 (the drive sequence's rows cover a truncated image on
    // each path): in fixed-format sense, an image with a segment's worth of bytes after it, and
    // bridges that ignore or refuse CK_COND.
    {"truncated_image_fixed_sense", 1000000, DownloadMode::SegmentedImmediate, 64, InterfaceKind::ScsiPassThrough, 65536, 0, [](sim::Port& p) { p.faults.fixed_sense = true; }, 2,
     "The download failed: the drive expects more data than the image holds: 65536 of the image's bytes were sent"},
    {"completed_before_the_last_segment", 65536, DownloadMode::SegmentedImmediate, 64, InterfaceKind::ScsiPassThrough, 0, 32768, nullptr, 2,
     "The download failed: the drive completed the transfer at 65536 of 98304 bytes"},
    {"bridge_ignoring_ck_cond_gives_no_verdict", 1000000, DownloadMode::SegmentedImmediate, 64, InterfaceKind::ScsiPassThrough, 65536, 0, [](sim::Port& p) { p.faults.ignore_ck_cond = true; }},
    {"bridge_refusing_ck_cond_whole_image", 1000000, DownloadMode::SegmentedImmediate, 64, InterfaceKind::ScsiPassThrough, 0, 0, [](sim::Port& p) { p.faults.refuse_ck_cond = true; }},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Cases, Firmware, testing::ValuesIn(kFirmwares), case_name<FirmwareCase>);

}  // namespace
