// The download engine's cost per DOWNLOAD MICROCODE command, measured against the simulator
// alone: a segmented download of the largest image (65,535 blocks, one block per command) into
// a simulated drive with no delay, beside a loop that hands the same prepared requests
// straight to the simulator. The difference is what the engine, the transport and the
// progress line add per command.
//
//   quillmark-bench --benchmark_filter=BM_SegmentedDownload/
//       both loops, per-command CPU time and their ratio
//   quillmark-bench --benchmark_filter=Stdout --benchmark_out=<file> >/dev/null
//       the engine with its progress lines written to standard output
//   quillmark-bench --memory <image of 33,553,920 bytes>   (make-sim-image <file> 33553920 X)
//       the peak memory of one download and its parts (Linux)
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "download/download.h"
#include "platform/console.h"
#include "sim/image_format.h"
#include "sim/world.h"

namespace {

namespace fs = std::filesystem;

const std::u16string kDrivePath = u"\\\\.\\PhysicalDrive0";
constexpr uint32_t kImageSize = 33553920;  // 65,535 blocks
constexpr uint32_t kBlock = 512;
constexpr uint32_t kCommands = kImageSize / kBlock;

struct Bench {
  fs::path file;
  std::vector<uint8_t> image;                    // the baseline's own copy of the image bytes
  std::vector<ScsiPassThroughRequest> requests;  // what the engine sent, pointing into `image`
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

// The image file, the simulated drive and the opened record.
Bench& bench() {
  static Bench* b = [] {
    auto* s = new Bench;
    if (!g_given_image.empty()) {
      s->file = g_given_image;
    } else {
      s->file = fs::temp_directory_path() / "quillmark-bench-image.bin";
      s->image = sim::make_image(kImageSize, "SIM2.00");
      std::ofstream(s->file, std::ios::binary)
          .write(reinterpret_cast<const char*>(s->image.data()), s->image.size());
    }

    sim::reset_world();
    sim::world().log_data = false;
    sim::add_port(kDrivePath).drive.accept_any_image = true;
    s->cmd.flags = ScsiPassThrough;
    s->cmd.passthru_options = kPassThrough16;
    if (open_device(s->cmd, kDrivePath) != kResultSuccess) std::abort();

    s->params.file_name = s->file.u16string();
    s->params.mode = SegmentedImmediate;
    s->params.segment_blocks = 1;
    return s;
  }();
  return *b;
}

// One download, to take the requests exactly as the transport builds them, repointed into
// the baseline's own copy of the image.
void prepare_requests(Bench& b) {
  if (!b.requests.empty()) return;
  fresh_world();
  console::capture_begin();
  if (download_firmware(b.cmd, b.params) != kResultSuccess) std::abort();
  console::capture_end();
  for (const auto& e : sim::world().log) {
    if (e.kind != sim::LogEntry::Kind::Scsi) continue;
    ScsiPassThroughRequest r;
    std::memcpy(&r, e.request.data(), sizeof r);
    const uint32_t offset = r.sptd.Cdb[10] | r.sptd.Cdb[12] << 8;
    r.sptd.DataBuffer = b.image.data() + static_cast<size_t>(offset) * kBlock;
    b.requests.push_back(r);
  }
  if (b.requests.size() != kCommands) std::abort();
  fresh_world();
}

double cpu_seconds(std::clock_t from, std::clock_t to) {
  return static_cast<double>(to - from) / CLOCKS_PER_SEC;
}

// What the engine's one read of the image costs by itself: the same platform calls into one
// zero-filled allocation, then a first look at every page (under some hypervisors the first
// user access to a page the kernel filled faults again), then freed.
double image_read_seconds(const Bench& b) {
  const std::clock_t t0 = std::clock();
  std::string error_text;
  const Handle file = platform_file_open(b.params.file_name, error_text);
  const int64_t size = platform_file_size(file);
  auto* bytes = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(size), 1));
  int64_t got = 0;
  while (got < size) {
    const int64_t n = platform_file_read(file, bytes + got, size - got);
    if (n <= 0) break;
    got += n;
  }
  platform_file_close(file);
  unsigned sum = 0;
  for (int64_t at = 0; at < got; at += 4096) sum += bytes[at];
  benchmark::DoNotOptimize(sum);
  std::free(bytes);
  const std::clock_t t1 = std::clock();
  if (got != size) std::abort();
  return cpu_seconds(t0, t1);
}

// Both loops in every iteration, so that they meet the same machine state; the iteration
// time reported is the engine's.
void BM_SegmentedDownload(benchmark::State& state) {
  Bench& b = bench();
  prepare_requests(b);
  double baseline = 0;
  double engine = 0;
  double read = 0;
  for (auto _ : state) {
    fresh_world();
    const Handle handle = b.cmd.handle;
    const std::clock_t t0 = std::clock();
    for (const ScsiPassThroughRequest& prepared : b.requests) {
      ScsiPassThroughRequest r = prepared;  // the simulator writes its results into it
      if (!platform_scsi_passthrough(handle, &r) || r.sptd.ScsiStatus != 0) std::abort();
    }
    const std::clock_t t1 = std::clock();
    if (drive().firmware.empty() || drive().last_image.size() != kImageSize) std::abort();

    fresh_world();
    console::capture_begin();  // the progress lines go to memory, not to a terminal
    const std::clock_t t2 = std::clock();
    const int result = download_firmware(b.cmd, b.params);
    const std::clock_t t3 = std::clock();
    console::capture_end();
    if (result != kResultSuccess || drive().last_image.size() != kImageSize) std::abort();

    read += image_read_seconds(b);
    baseline += cpu_seconds(t0, t1);
    engine += cpu_seconds(t2, t3);
    state.SetIterationTime(cpu_seconds(t2, t3));
  }
  const double n = static_cast<double>(state.iterations()) * kCommands;
  state.counters["baseline_us_per_cmd"] = baseline / n * 1e6;
  state.counters["engine_us_per_cmd"] = engine / n * 1e6;
  state.counters["ratio"] = baseline > 0 ? engine / baseline : 0;
  // The same without the one read of the image at the start of the pass.
  state.counters["read_ms_per_pass"] = read / static_cast<double>(state.iterations()) * 1e3;
  state.counters["engine_excl_read_us_per_cmd"] = (engine - read) / n * 1e6;
  state.counters["ratio_excl_read"] = baseline > 0 ? (engine - read) / baseline : 0;
  state.counters["commands"] = kCommands;
}
BENCHMARK(BM_SegmentedDownload)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

// The engine alone with its progress lines written to the real standard output, which a
// run sends to /dev/null (the report then goes to --benchmark_out).
void BM_SegmentedDownloadToStdout(benchmark::State& state) {
  Bench& b = bench();
  double engine = 0;
  for (auto _ : state) {
    fresh_world();
    const std::clock_t t0 = std::clock();
    const int result = download_firmware(b.cmd, b.params);
    const std::clock_t t1 = std::clock();
    if (result != kResultSuccess) std::abort();
    engine += cpu_seconds(t0, t1);
    state.SetIterationTime(cpu_seconds(t0, t1));
  }
  state.counters["engine_us_per_cmd"] =
      engine / (static_cast<double>(state.iterations()) * kCommands) * 1e6;
}
BENCHMARK(BM_SegmentedDownloadToStdout)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

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
    else
      args.push_back(argv[i]);
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
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
