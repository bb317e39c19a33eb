// quillmark-sim's state file (QUILLMARK_SIM_STATE), as text and as whatever the file system
// holds under its name. The first byte picks:
//  - text: the rest is a state file's text, applied to the built-in world. It is taken whole
//    or not at all; what is taken is written back line for line, and the written state reads
//    back to itself.
//  - run: what sits at the state path (nothing, the rest as a file, an empty or a full
//    directory, a FIFO) and what the firmware file is (a valid image, the rest as bytes, a
//    directory, a FIFO, nothing); then a run as quillmark-sim makes it: load the state, a
//    segmented download, the state saved as the drive changes. A file that is not a state file
//    the run took, and anything that is not a regular file, is left exactly as it was; a run
//    that changed nothing writes nothing; a change is saved as the drives hold it, or the run
//    ends with 1 and says why; nothing blocks; a firmware file that is not a regular file ends
//    the run with exit code 4 and a message saying so; no temporary file is left.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "app/entry.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "property.h"
#include "sim/builtin_world.h"
#include "sim/image_format.h"
#include "sim/state_file.h"
#include "sim/world.h"

namespace fs = std::filesystem;

namespace {

void fresh_world() {
  sim::reset_world();
  sim::install_builtin_world();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t nl = text.find('\n', start);
    lines.push_back(text.substr(start, nl - start));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return lines;
}

void check_text(const std::string& text) {
  fresh_world();
  const std::string before = sim::format_state();
  std::string reason;
  const bool applied = sim::apply_state(text, reason);
  const std::string after = sim::format_state();
  if (!applied) {
    require(!reason.empty(), "a refused state file without a reason");
    require(after == before, "a refused state file changed the world");
    return;
  }
  // Texts have one spelling only, so every line taken is a line written.
  const std::vector<std::string> written = lines_of(after);
  for (const std::string& line : lines_of(text)) {
    bool found = false;
    for (const std::string& w : written) found = found || w == line;
    require(found, "a line of an applied state file is not written back as it was");
  }
  fresh_world();
  require(sim::apply_state(after, reason), "a written state file is refused");
  require(sim::format_state() == after, "a written state file does not read back to itself");
}

// The directory every run works in, made once and removed when the process ends. Its name is
// never destroyed: the removal runs at exit, after the statics made later than it are gone.
const fs::path& work_directory() {
  static const fs::path* const dir = [] {
    std::string templ = (fs::temp_directory_path() / "qm-fuzz-state-XXXXXX").string();
    require(mkdtemp(templ.data()) != nullptr, "no temporary directory");
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(work_directory(), ec);
    });
    return new fs::path(templ);
  }();
  return *dir;
}

enum class Kind { Nothing, File, EmptyDirectory, FullDirectory, Fifo };

void make(const fs::path& path, Kind kind, const std::string& content) {
  switch (kind) {
    case Kind::Nothing:
      break;
    case Kind::File:
      std::ofstream(path, std::ios::binary) << content;
      break;
    case Kind::FullDirectory:
      fs::create_directory(path);
      std::ofstream(path / "keep", std::ios::binary) << "user data\n";
      break;
    case Kind::EmptyDirectory:
      fs::create_directory(path);
      break;
    case Kind::Fifo:
      require(mkfifo(path.c_str(), 0600) == 0, "no FIFO");
      break;
  }
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool is_plain_file(const fs::path& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// As it was: the same kind of object, a directory with the same entries.
void check_untouched(const fs::path& path, Kind kind) {
  struct stat st {};
  const bool exists = lstat(path.c_str(), &st) == 0;
  switch (kind) {
    case Kind::EmptyDirectory:
    case Kind::FullDirectory:
      require(exists && S_ISDIR(st.st_mode), "a directory under the state file's name is gone");
      if (kind == Kind::FullDirectory)
        require(read_file(path / "keep") == "user data\n", "a directory's contents were changed");
      else
        require(fs::is_empty(path), "something was put into the directory");
      break;
    case Kind::Fifo:
      require(exists && S_ISFIFO(st.st_mode), "a FIFO under the state file's name is gone");
      break;
    default:
      break;
  }
}

int run_download(const fs::path& firmware) {
  const std::vector<std::u16string> args = {u"quillmark-sim", u"\\\\.\\PhysicalDrive0",
                                            u"/D:" + utf8_to_utf16(firmware.string()), u"/s",
                                            u"/v"};
  sim::world().args = args;
  std::vector<std::string> narrow;
  for (const std::u16string& a : args) narrow.push_back(utf16_to_utf8(a));
  std::vector<char*> argv;
  for (std::string& a : narrow) argv.push_back(a.data());
  argv.push_back(nullptr);
  return quillmark_main(static_cast<int>(narrow.size()), argv.data());
}

// Runs `run` and tells whether it blocked on one of the FIFOs for more than two seconds. A
// reader stuck in open() then gets a writer, so the run goes on and the input is kept rather
// than lost to a hang. libFuzzer's once-a-second alarm is kept from this thread meanwhile: it
// would break the open with EINTR and hide the block.
template <typename Run>
bool blocks_on(const std::vector<fs::path>& fifos, Run run) {
  if (fifos.empty()) {
    run();
    return false;
  }
  std::atomic<bool> done{false};
  std::atomic<bool> blocked{false};
  std::thread watchdog([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!done && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    while (!done) {
      blocked = true;
      for (const fs::path& fifo : fifos) {
        const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) close(fd);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  sigset_t alarm, saved;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &alarm, &saved);
  run();
  done = true;
  watchdog.join();
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return blocked;
}

void check_run(uint8_t selector, const std::string& content) {
  const fs::path& dir = work_directory();
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir)) fs::remove_all(entry.path(), ec);

  const auto state_kind = static_cast<Kind>((selector >> 1) % 5);
  const int firmware_kind = (selector >> 4) % 5;
  const fs::path state = dir / "state";
  const fs::path firmware = dir / "fw.bin";
  make(state, state_kind, content);
  switch (firmware_kind) {
    case 0: {
      const std::vector<uint8_t> image = sim::make_image(4096, "FUZZ2.00");
      make(firmware, Kind::File, std::string(image.begin(), image.end()));
      break;
    }
    case 1:
      make(firmware, Kind::File, content);
      break;
    case 2:
      make(firmware, Kind::EmptyDirectory, "");
      break;
    case 3:
      make(firmware, Kind::Fifo, "");
      break;
    default:
      break;
  }

  std::string reason;
  fresh_world();
  const bool state_file_sound = state_kind == Kind::File && sim::apply_state(content, reason);
  const std::string loaded = sim::format_state();
  fresh_world();

  std::vector<fs::path> fifos;
  if (state_kind == Kind::Fifo) fifos.push_back(state);
  if (firmware_kind == 3) fifos.push_back(firmware);
  int exit_code = 0;
  console::capture_begin();
  int run_exit_code = 0;
  const bool blocked = blocks_on(fifos, [&] {
    sim::begin_state_session(state.string());
    run_exit_code = run_download(firmware);
    exit_code = sim::end_state_session(run_exit_code);
  });
  const std::string err = console::captured_err();
  console::capture_end();
  const std::string after = sim::format_state();
  const bool changed = after != loaded;
  const bool saveable = state_kind == Kind::Nothing || state_file_sound;

  require(!blocked, "the run blocked on a FIFO");

  if (firmware_kind == 2 || firmware_kind == 3) {
    require(exit_code == 4, "a firmware file that is not a regular file did not end with 4");
    const std::string refusal = not_a_regular_file("");
    require(err.find(refusal.substr(0, refusal.size() - 1)) != std::string::npos,
            "a firmware file that is not a regular file refused without saying so");
  }
  if (firmware_kind == 4) require(exit_code == 4, "a missing firmware file did not end with 4");
  if (state_kind == Kind::File && (!state_file_sound || !changed))
    require(read_file(state) == content, "a state file was written for nothing, or overwritten");
  if (state_kind == Kind::Nothing && !changed)
    require(!fs::exists(fs::symlink_status(state)), "a run that changed nothing wrote a state");
  check_untouched(state, state_kind);
  if (changed && saveable) {
    require(is_plain_file(state), "the state was not saved");
    fresh_world();
    require(sim::apply_state(read_file(state), reason), "the saved state does not read back");
    require(sim::format_state() == after, "the saved state is not the drives' state");
    require(exit_code == run_exit_code, "a saved run's exit code changed");
  }
  if (changed && !saveable) {
    require(exit_code == 1, "a change that could not be saved did not end with 1");
    require(err.find("cannot save state file") != std::string::npos,
            "a change that could not be saved was not reported");
  }
  // Beside the state only the lock file that carries the state's lock and the drive claims.
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    require(name == "state" || name == "fw.bin" || name == "state.lock",
            "a temporary file was left behind");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((data[0] & 1) == 0)
    check_text(rest);
  else
    check_run(data[0], rest);
  return 0;
}
