// quillmark-tcmu-drive: one simulated SATA drive behind a real Linux SCSI disk. LIO's TCM-User
// backstore hands every command that reaches the disk (/dev/sdX, /dev/sgN) to this program
// through a ring in memory shared over a UIO device; the answers go back the same way. The
// drive is the simulator's own model behind its own SAT bridge, so what a real kernel and
// real peers (smartctl, hdparm) see is what the unit tests see.
//
//   quillmark-tcmu-drive --uio /dev/uioN --record DIR [options]
//
// The record directory tells the test what the drive holds: "image" (the last complete image
// it accepted), "revision" (the firmware revision it reports), "downloads" (DOWNLOAD
// MICROCODE commands that reached it), "segmented" (of those, the ones with sub-command 0x03,
// and how many of these had CK_COND set), "attention" (the operation code that met a reset's
// unit attention, once it has), "ready" once the ring is served, and, at exit (SIGTERM),
// "download-times" (arrival of each DOWNLOAD MICROCODE, nanoseconds, one a line).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "sim/tcmu/ring.h"
#include "sim/tcmu/scsi_target.h"

namespace {

constexpr const char* kUsage =
    "usage: quillmark-tcmu-drive --uio /dev/uioN --record DIR [options]\n"
    "  --model TEXT --serial TEXT --firmware TEXT   the drive's identity\n"
    "  --security disabled|enabled|locked|frozen    ATA security state (word 128)\n"
    "  --segment-min N --segment-max N              words 234/235, in 512-byte blocks\n"
    "  --blocks N                                   capacity of the medium (default 2048)\n"
    "  --abort-download K                           abort the K-th DOWNLOAD MICROCODE, once\n"
    "  --abort-every-download                       abort every DOWNLOAD MICROCODE\n"
    "  --busy N|always                              answer DOWNLOAD MICROCODE BUSY N times\n"
    "  --delay-download S                           hold the first DOWNLOAD MICROCODE S seconds\n"
    "  --reset-after-activate S                     reset after the activation: the next command\n"
    "                                               waits S seconds, then UNIT ATTENTION\n"
    "  --fixed-sense                                fixed-format sense, never descriptor\n";

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

using tcmu::die;

struct Options {
  std::string uio;
  std::string record;
};

bool parse(int argc, char** argv, Options& o, tcmu::Target& t) {
  sim::Drive& d = t.port.drive;
  d.model = "QM TCMU SATA DRIVE";
  d.serial = "QMTCMU0000000001";
  d.firmware = "TC1.00";
  uint64_t blocks = 2048;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--abort-every-download") {
      d.faults.abort_every_download = true;
      continue;
    }
    if (a == "--fixed-sense") {
      t.port.faults.fixed_sense = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const std::string v = argv[++i];
    const long n = std::strtol(v.c_str(), nullptr, 0);
    if (a == "--uio") {
      o.uio = v;
    } else if (a == "--record") {
      o.record = v;
    } else if (a == "--model") {
      d.model = v;
    } else if (a == "--serial") {
      d.serial = v;
    } else if (a == "--firmware") {
      d.firmware = v;
    } else if (a == "--security") {
      if (v == "disabled")
        d.word128 = 0x0001;
      else if (v == "enabled")
        d.word128 = 0x0003;
      else if (v == "locked")
        d.word128 = 0x0007;
      else if (v == "frozen")
        d.word128 = 0x0009;
      else
        return false;
    } else if (a == "--segment-min") {
      d.word234 = static_cast<uint16_t>(n);
    } else if (a == "--segment-max") {
      d.word235 = static_cast<uint16_t>(n);
    } else if (a == "--blocks" && n > 0) {
      blocks = static_cast<uint64_t>(n);
    } else if (a == "--abort-download") {
      d.faults.abort_download_nth = static_cast<int>(n);
    } else if (a == "--busy") {
      t.faults.busy = v == "always" ? -1 : static_cast<int>(n);
    } else if (a == "--delay-download") {
      t.faults.delay_seconds = static_cast<uint32_t>(n);
    } else if (a == "--reset-after-activate") {
      t.faults.reset_after_activate = static_cast<uint32_t>(n);
    } else {
      return false;
    }
  }
  t.medium.assign(blocks * 512, 0);
  return !o.uio.empty() && !o.record.empty();
}

// What the drive holds, kept in files beside each other. Written before a reply is handed
// back, so that a caller that has its answer finds the record up to date.
class Record {
 public:
  explicit Record(std::string dir) : dir_(std::move(dir)) {
    const std::string path = dir_ + "/downloads";
    downloads_ = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (downloads_ < 0) die("cannot create " + path);
    const std::string segmented = dir_ + "/segmented";
    segmented_ = open(segmented.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (segmented_ < 0) die("cannot create " + segmented);
  }

  void update(const tcmu::Target& t) {
    const sim::Drive& d = t.port.drive;
    if (t.download_arrivals != arrivals_) {
      // Rewritten in place at a fixed width on every DOWNLOAD MICROCODE: one system call,
      // so that the count costs the timed commands next to nothing.
      arrivals_ = t.download_arrivals;
      char text[16];
      const int n = std::snprintf(text, sizeof text, "%10d\n", arrivals_);
      if (pwrite(downloads_, text, static_cast<size_t>(n), 0) != n) die("cannot count");
    }
    if (t.segmented_arrivals != segmented_arrivals_) {
      segmented_arrivals_ = t.segmented_arrivals;
      char text[32];
      const int n = std::snprintf(text, sizeof text, "%10d %10d\n", t.segmented_arrivals,
                                  t.segmented_ck_cond);
      if (pwrite(segmented_, text, static_cast<size_t>(n), 0) != n) die("cannot count");
    }
    if (d.firmware != revision_) {
      revision_ = d.firmware;
      write("revision", revision_ + "\n");
    }
    // An image is only ever complete once its segments are all in.
    if (d.download_commands != commands_ && d.assembly.empty() && d.last_image != image_) {
      image_ = d.last_image;
      write("image", std::string(image_.begin(), image_.end()));
    }
    commands_ = d.download_commands;
    if (t.attention_opcode != attention_) {
      attention_ = t.attention_opcode;
      char text[8];
      std::snprintf(text, sizeof text, "0x%02x\n", attention_);
      write("attention", text);
    }
  }

  void write(const std::string& name, const std::string& bytes) const {
    const std::string path = dir_ + "/" + name;
    const std::string temp = path + ".new";
    std::ofstream f(temp, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    f.close();
    if (!f || std::rename(temp.c_str(), path.c_str()) != 0) die("cannot write " + path);
  }

 private:
  std::string dir_;
  int downloads_ = -1;
  int segmented_ = -1;
  int arrivals_ = -1;
  int segmented_arrivals_ = -1;
  int commands_ = -1;
  uint8_t attention_ = 0;
  std::string revision_;
  std::vector<uint8_t> image_;
};

uint64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  tcmu::Target target;
  if (!parse(argc, argv, options, target)) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  // SIGTERM ends the service, but only while it waits for work: blocked at any other time.
  sigset_t stop_signals, waiting;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigprocmask(SIG_BLOCK, &stop_signals, &waiting);
  sigdelset(&waiting, SIGTERM);
  sigdelset(&waiting, SIGINT);
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  tcmu::Ring ring(options.uio);
  Record record(options.record);
  record.update(target);
  record.write("image", "");
  record.write("ready", "");

  std::vector<uint64_t> download_times;
  std::vector<uint8_t> gathered;
  auto answer = [&](const tcmu::Command& cmd) {
    if (tcmu::carries_download_microcode(cmd.cdb, cmd.cdb_length))
      download_times.push_back(now_ns());
    size_t length = 0;
    for (const tcmu::Segment& s : cmd.data) length += s.length;
    // One segment is used in place; more are gathered into one buffer and scattered back.
    uint8_t* data = cmd.data.size() == 1 ? cmd.data[0].base : nullptr;
    if (cmd.data.size() > 1) {
      gathered.resize(length);
      size_t at = 0;
      for (const tcmu::Segment& s : cmd.data) {
        std::memcpy(gathered.data() + at, s.base, s.length);
        at += s.length;
      }
      data = gathered.data();
    }
    const tcmu::Reply reply =
        tcmu::execute(target, cmd.cdb, cmd.cdb_length, data, static_cast<uint32_t>(length));
    tcmu::Answer a;
    a.data_in = tcmu::returns_data(cmd.cdb, cmd.cdb_length);
    if (a.data_in && cmd.data.size() > 1) {
      size_t at = 0;
      for (const tcmu::Segment& s : cmd.data) {
        std::memcpy(s.base, gathered.data() + at, s.length);
        at += s.length;
      }
    }
    record.update(target);
    if (reply.delay_seconds != 0) sleep(reply.delay_seconds);
    a.status = reply.status;
    a.sense = reply.sense;
    a.read_len = reply.data_in;
    return a;
  };

  while (!g_stop) {
    if (ring.serve(answer)) continue;
    pollfd p{ring.fd(), POLLIN, 0};
    const int n = ppoll(&p, 1, nullptr, &waiting);
    if (n < 0 && errno != EINTR) die("poll");
    if (n > 0) {
      uint32_t events = 0;
      if (read(ring.fd(), &events, sizeof events) != sizeof events) die("cannot read events");
    }
  }

  std::string times;
  for (uint64_t t : download_times) times += std::to_string(t) + "\n";
  record.write("download-times", times);
  return 0;
}
