// The download engine's cost per DOWNLOAD MICROCODE command, each figure a ratio to a
// reference measured in the same run: a segmented download of the largest image (65,535
// blocks, one block per command) into a simulated drive with no delay.
//
// The platform's file layer is this program's own, in the simulator's place at link time: the
// host's files with every call timed, so that a pass is measured without its read.
//
//   BM_EngineAgainstBaseline  engine_over_baseline: the engine against a loop that hands the
//       same requests straight to the simulator, their data in an image buffer allocated, read
//       and freed as the engine's; whole_pass_ms and read_ms: the engine's whole pass and the
//       read within it.
//   BM_OutputToFile  file_over_captured: the engine with its console going to a real file
//       against the same with the console captured in memory.
//   Each ratio is the median over the iterations, with the least and the greatest (_min, _max).
//
//   quillmark-bench --iterations N   N iterations of each instead of 20 (the test command: 2)
//   quillmark-bench --memory <image of 33,553,920 bytes>   (make-sim-image <file> 33553920 X)
//       the peak memory of one download and its parts (Linux)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "download/download.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "platform/sat.h"
#include "platform/text.h"
#include "sim/image_format.h"
#include "sim/world.h"

namespace {

namespace fs = std::filesystem;

double cpu_seconds(std::clock_t from, std::clock_t to) {
  return static_cast<double>(to - from) / CLOCKS_PER_SEC;
}

// CPU time spent in the file layer since the last reset.
double g_file_seconds = 0;

// Adds the CPU time of its scope to g_file_seconds.
struct FileClock {
  std::clock_t start = std::clock();
  ~FileClock() { g_file_seconds += cpu_seconds(start, std::clock()); }
};

}  // namespace

// --- The file layer, in place of the simulator's ---------------------------------------------
// The host's own files through POSIX, each call timed, so that a pass can be measured with the
// read of its image left out.

Handle platform_file_open(const std::u16string& path, std::string& error_text) {
  FileClock clock;
  const int fd = open(utf16_to_utf8(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error_text = std::strerror(errno);
    return kInvalidHandle;
  }
  return static_cast<Handle>(fd);
}

int64_t platform_file_size(Handle file) {
  FileClock clock;
  struct stat st {};
  return fstat(static_cast<int>(file), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

int64_t platform_file_read(Handle file, void* buffer, int64_t size) {
  FileClock clock;
  auto* p = static_cast<char*>(buffer);
  int64_t done = 0;
  while (done < size) {
    const ssize_t n = read(static_cast<int>(file), p + done, static_cast<size_t>(size - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  // A first look at every page filled: on some virtual machines the first user access to a
  // page the kernel wrote is slow (several microseconds a page), and that is the read's cost,
  // not that of the command that happens to touch the page first.
  unsigned sum = 0;
  for (int64_t at = 0; at < done; at += 4096) sum += static_cast<unsigned char>(p[at]);
  benchmark::DoNotOptimize(sum);
  return done;
}

void platform_file_close(Handle file) {
  FileClock clock;
  close(static_cast<int>(file));
}

namespace {

const std::u16string kDrivePath = u"\\\\.\\PhysicalDrive0";
constexpr uint32_t kImageSize = 33553920;  // 65,535 blocks
constexpr uint32_t kBlock = 512;
constexpr uint32_t kCommands = kImageSize / kBlock;

struct Bench {
  fs::path file;
  // What the engine sent: one request but for the block offset (CDB bytes 10 and 12) and the
  // data pointer, which the baseline sets for each command as the engine does.
  ScsiPassThroughRequest request{};
  DeviceCommand cmd{};
  DownloadParams params;
};

sim::Drive& drive() { return sim::world().ports.front().drive; }

// The simulated world between runs: an empty log. The drive keeps its buffers, as it does
// from one download to the next.
void fresh_world() {
  sim::world().log.clear();
  drive().download_commands = 0;
}

// The image file given on the command line, if any: measuring memory needs a process that
// has never held a whole image before the download starts.
fs::path g_given_image;

// Iterations of each benchmark: 20 for figures worth reading; the test command runs two, so
// that both loops take both turns and the whole program is seen to run to its end.
long g_iterations = 20;

// The image file, the simulated drive and the opened record.
Bench& bench() {
  static Bench* b = [] {
    auto* s = new Bench;
    if (!g_given_image.empty()) {
      s->file = g_given_image;
    } else {
      s->file = fs::temp_directory_path() / "quillmark-bench-image.bin";
      const auto image = sim::make_image(kImageSize, "SIM2.00");
      std::ofstream(s->file, std::ios::binary)
          .write(reinterpret_cast<const char*>(image.data()), image.size());
    }

    sim::reset_world();
    sim::add_port(kDrivePath).drive.accept_any_image = true;
    s->cmd.flags = interface_flag(InterfaceKind::ScsiPassThrough);
    s->cmd.passthru_options = kPassThrough16;
    if (open_device(s->cmd, kDrivePath) != kResultSuccess) std::abort();

    s->params.file_name = s->file.u16string();
    s->params.mode = DownloadMode::SegmentedImmediate;
    s->params.segment_blocks = 1;
    return s;
  }();
  return *b;
}

// One download, to take the requests exactly as the transport builds them, and to check that
// they differ only where the baseline sets them.
void prepare_request(Bench& b) {
  if (b.request.sptd.Length != 0) return;
  fresh_world();
  console::capture_begin();
  if (download_firmware(b.cmd, b.params) != kResultSuccess) std::abort();
  console::capture_end();
  uint32_t commands = 0;
  for (const auto& e : sim::world().log) {
    if (e.kind != sim::LogEntry::Kind::Scsi) continue;
    ScsiPassThroughRequest r;
    std::memcpy(&r, e.request.data(), sizeof r);
    if (static_cast<uint32_t>(r.sptd.Cdb[10] | r.sptd.Cdb[12] << 8) != commands) std::abort();
    r.sptd.Cdb[10] = r.sptd.Cdb[12] = 0;
    r.sptd.DataBuffer = nullptr;
    if (commands++ == 0) b.request = r;
    if (std::memcmp(&r, &b.request, sizeof r) != 0) std::abort();
  }
  if (commands != kCommands) std::abort();
  fresh_world();
}

// The drive took the segment, as the transport judges the answer: a block that went out with
// CK_COND (the engine asks for the registers of its 0x03 segments) comes back as CHECK
// CONDITION with the drive's registers, and that clean report is success.
bool taken(const ScsiPassThroughRequest& r) {
  sat::Answer answer;
  answer.status = r.sptd.ScsiStatus;
  answer.sense =
      std::span<const uint8_t>(r.sense, std::min<size_t>(r.sptd.SenseInfoLength, sizeof r.sense));
  const bool registers_asked = (r.sptd.Cdb[2] & 0x20) != 0;
  return sat::judge_answer(answer, registers_asked).verdict == sat::Verdict::Success;
}

// One pass of the engine: its whole CPU time and the part spent in the file layer.
struct Pass {
  double whole = 0;
  double file = 0;
  double without_file() const { return whole - file; }
};

Pass engine_pass(Bench& b) {
  fresh_world();
  g_file_seconds = 0;
  const std::clock_t t0 = std::clock();
  const int result = download_firmware(b.cmd, b.params);
  console::flush();  // what the console still holds is part of the pass
  const std::clock_t t1 = std::clock();
  if (result != kResultSuccess || drive().last_image.size() != kImageSize) std::abort();
  return Pass{cpu_seconds(t0, t1), g_file_seconds};
}

Pass captured_pass(Bench& b) {
  console::capture_begin();  // the progress lines go to memory
  const Pass p = engine_pass(b);
  console::capture_end();
  return p;
}

// The pass with standard output sent to a real file, emptied first.
Pass pass_to_file(Bench& b, const fs::path& path) {
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
  if (saved < 0 || fd < 0) std::abort();
  dup2(fd, STDOUT_FILENO);
  close(fd);
  const Pass p = engine_pass(b);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  return p;
}

// The baseline: the requests the engine sent, handed straight to the simulator, each answer
// judged as the transport judges it. Their data lie in a buffer allocated, read through the
// file layer and freed as the engine does it, so that both loops meet the image's memory in
// the same state; like the engine's, its clock leaves out the file layer.
Pass baseline_pass(Bench& b) {
  fresh_world();
  g_file_seconds = 0;
  const std::clock_t t0 = std::clock();
  auto* data = static_cast<uint8_t*>(
      ::operator new (size_t{kCommands} * kBlock, std::align_val_t{4096}, std::nothrow));
  std::string error_text;
  const Handle file = platform_file_open(b.params.file_name, error_text);
  if (file == kInvalidHandle || data == nullptr ||
      platform_file_read(file, data, kImageSize) != kImageSize)
    std::abort();
  platform_file_close(file);

  const Handle handle = b.cmd.handle;
  for (uint32_t i = 0; i < kCommands; ++i) {
    ScsiPassThroughRequest r = b.request;  // the simulator writes its results into it
    r.sptd.Cdb[10] = static_cast<uint8_t>(i);
    r.sptd.Cdb[12] = static_cast<uint8_t>(i >> 8);
    r.sptd.DataBuffer = data + static_cast<size_t>(i) * kBlock;
    if (!platform_scsi_passthrough(handle, &r) || !taken(r)) std::abort();
  }
  ::operator delete (data, std::align_val_t{4096});
  const std::clock_t t1 = std::clock();
  if (drive().firmware.empty() || drive().last_image.size() != kImageSize) std::abort();
  return Pass{cpu_seconds(t0, t1), g_file_seconds};
}

// The figure and its range over the iterations: per iteration the ratio of two passes run side
// by side, and of those ratios the median (a shared machine disturbs single passes), the least
// and the greatest.
void set_ratio(benchmark::State& state, const std::string& name, std::vector<double> ratios) {
  std::sort(ratios.begin(), ratios.end());
  state.counters[name] = ratios[ratios.size() / 2];
  state.counters[name + "_min"] = ratios.front();
  state.counters[name + "_max"] = ratios.back();
}

// The engine against the baseline, both without the file layer; both loops in every
// iteration, taking turns at going first, so that neither always meets the machine as the
// other left it. The iteration time reported is the engine's.
void BM_EngineAgainstBaseline(benchmark::State& state) {
  Bench& b = bench();
  prepare_request(b);
  // Once each before the clock runs: the simulated drive's second image buffer and the
  // captured text reach their full size.
  baseline_pass(b);
  captured_pass(b);
  Pass baseline, engine;
  std::vector<double> ratios;
  for (auto _ : state) {
    const bool baseline_first = ratios.size() % 2 == 0;
    const Pass first = baseline_first ? baseline_pass(b) : captured_pass(b);
    const Pass second = baseline_first ? captured_pass(b) : baseline_pass(b);
    const Pass& base = baseline_first ? first : second;
    const Pass& p = baseline_first ? second : first;
    ratios.push_back(p.without_file() / base.without_file());
    baseline.whole += base.whole;
    baseline.file += base.file;
    engine.whole += p.whole;
    engine.file += p.file;
    state.SetIterationTime(p.without_file());
  }
  const double passes = static_cast<double>(state.iterations());
  const double n = passes * kCommands;
  state.counters["baseline_us_per_cmd"] = baseline.without_file() / n * 1e6;
  state.counters["engine_us_per_cmd"] = engine.without_file() / n * 1e6;
  set_ratio(state, "engine_over_baseline", ratios);
  // The engine's whole pass, and the part of it the file layer took (open, size, the read,
  // close).
  state.counters["whole_pass_ms"] = engine.whole / passes * 1e3;
  state.counters["read_ms"] = engine.file / passes * 1e3;
}

// The engine with its console going to a real file against the same with the console
// captured, taking turns as above; both without the file layer.
void BM_OutputToFile(benchmark::State& state) {
  Bench& b = bench();
  const fs::path path = fs::temp_directory_path() / "quillmark-bench-console.txt";
  captured_pass(b);
  pass_to_file(b, path);
  double captured = 0;
  double to_file = 0;
  std::vector<double> ratios;
  for (auto _ : state) {
    const bool captured_first = ratios.size() % 2 == 0;
    const Pass first = captured_first ? captured_pass(b) : pass_to_file(b, path);
    const Pass second = captured_first ? pass_to_file(b, path) : captured_pass(b);
    const Pass& c = captured_first ? first : second;
    const Pass& f = captured_first ? second : first;
    ratios.push_back(f.without_file() / c.without_file());
    captured += c.without_file();
    to_file += f.without_file();
    state.SetIterationTime(f.without_file());
  }
  std::error_code ec;
  fs::remove(path, ec);
  const double n = static_cast<double>(state.iterations()) * kCommands;
  state.counters["captured_us_per_cmd"] = captured / n * 1e6;
  state.counters["file_us_per_cmd"] = to_file / n * 1e6;
  set_ratio(state, "file_over_captured", ratios);
}

// --- Peak memory of one download ---------------------------------------------------------

// A field of /proc/self/status in KiB (0 where there is none).
long status_kib(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field + ":", 0) == 0)
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
  return 0;
}

void report_memory() {
  Bench& b = bench();
  fresh_world();
  // Start the high-water mark at the current resident size (Linux: "5" resets it).
  std::ofstream("/proc/self/clear_refs") << "5";
  const long before = status_kib("VmRSS");
  console::capture_begin();
  const int result = download_firmware(b.cmd, b.params);
  const size_t captured = console::captured_out().capacity();
  const long peak = status_kib("VmHWM");
  console::capture_end();

  size_t log_bytes = sim::world().log.capacity() * sizeof(sim::LogEntry);
  for (const auto& e : sim::world().log) log_bytes += e.request.capacity();
  const size_t drive_copy = drive().last_image.capacity() + drive().assembly.capacity();
  const double mib = 1024.0 * 1024.0;
  const double grown = (peak - before) * 1024.0;
  console::printf("download result %d\n", result);
  console::printf("resident before           %9.1f MiB\n", before / 1024.0);
  console::printf("peak growth in download   %9.1f MiB\n", grown / mib);
  console::printf("  simulated drive's copy  %9.1f MiB\n", drive_copy / mib);
  console::printf("  simulator request log   %9.1f MiB\n", log_bytes / mib);
  console::printf("  captured console text   %9.1f MiB\n", captured / mib);
  console::printf("  the tool's own share    %9.1f MiB (image %.1f MiB + 4 MiB allowed)\n",
                  (grown - drive_copy - log_bytes - captured) / mib, kImageSize / mib);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--memory") == 0 && i + 1 < argc)
      g_given_image = argv[++i];
    else if (std::strcmp(argv[i], "--iterations") == 0 && i + 1 < argc)
      g_iterations = std::max(1L, std::strtol(argv[++i], nullptr, 10));
    else
      args.push_back(argv[i]);
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  using Run = void (*)(benchmark::State&);
  const std::pair<const char*, Run> benchmarks[] = {
      {"BM_EngineAgainstBaseline", BM_EngineAgainstBaseline},
      {"BM_OutputToFile", BM_OutputToFile},
  };
  for (const auto& [name, run] : benchmarks)
    benchmark::RegisterBenchmark(name, run)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(g_iterations);
  if (!g_given_image.empty()) {
    report_memory();
    return 0;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove(bench().file, ec);
  return 0;
}
