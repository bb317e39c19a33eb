// The Linux backend's system-call side, on what every machine has: missing paths, regular
// files and directories standing in for drives, pipes for the console.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <scsi/scsi.h>
#include <scsi/sg.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../support/holder_process.h"
#include "platform/console.h"
#include "platform/linux/linux_claim.h"
#include "platform/linux/linux_drive_list.h"
#include "platform/linux/mounts.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {
// Every ioctl request the process makes, in order, seen on its way to the kernel.
std::vector<unsigned long> g_ioctl_requests;
}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* const arg = va_arg(args, void*);
  va_end(args);
  g_ioctl_requests.push_back(request);
  return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
}

namespace {

// A scratch directory with one regular file, removed at the end.
struct Scratch {
  std::string dir;
  std::string file;
  Scratch() {
    char tmpl[] = "/tmp/qm-linux-XXXXXX";
    dir = mkdtemp(tmpl);
    file = dir + "/drive.img";
    const int fd = open(file.c_str(), O_CREAT | O_WRONLY, 0600);
    close(fd);
  }
  ~Scratch() {
    unlink(file.c_str());
    rmdir(dir.c_str());
  }
};

TEST(LinuxPlatform, WideArgsDecodeUtf8AndKeepStrayBytes) {
  char a0[] = "quillmark";
  char a1[] = "/D:caf\xC3\xA9.bin";
  char a2[] = "/tmp/\xFF\xFE";
  char a3[] = "";
  char* argv[] = {a0, a1, a2, a3, nullptr};
  std::vector<std::u16string> args{u"stale"};
  ASSERT_TRUE(platform_wide_args(4, argv, args));
  ASSERT_EQ(args.size(), 4u);
  EXPECT_EQ(args[0], u"quillmark");
  EXPECT_EQ(args[1], u"/D:caf\u00E9.bin");
  EXPECT_EQ(args[2], std::u16string(u"/tmp/") + char16_t(0xDCFF) + char16_t(0xDCFE));
  EXPECT_EQ(args[3], u"");
  EXPECT_EQ(utf16_to_utf8(args[2]), a2);
}

TEST(LinuxPlatform, SleepWaitsAtLeastTheTime) {
  const auto start = std::chrono::steady_clock::now();
  platform_sleep_ms(30);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(30));
}

TEST(LinuxPlatform, LastErrorBelongsToTheThread) {
  platform_set_last_error(87);
  uint32_t seen_there = 12345;
  std::thread other([&] {
    seen_there = platform_get_last_error();
    platform_set_last_error(5);
  });
  other.join();
  EXPECT_EQ(seen_there, 0u);
  EXPECT_EQ(platform_get_last_error(), 87u);
}

TEST(LinuxPlatform, FailedOpensCarryWindowsCodes) {
  Scratch s;
  const struct {
    std::u16string path;
    uint32_t error;
  } cases[] = {
      {u16(s.dir + "/missing"), 2},
      {u16(s.dir + "/missing/deeper"), 2},
      {u16(s.file + "/below-a-file"), 3},
      // Neither a directory nor a regular file is a drive.
      {u16(s.dir), 1},
      {u16(s.file), 1},
      {u"\\\\.\\PhysicalDrive999999", 2},
      {u"", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(utf16_to_utf8(c.path));
    platform_set_last_error(0);
    EXPECT_EQ(platform_open_drive(c.path), kInvalidHandle);
    EXPECT_EQ(platform_get_last_error(), c.error);
  }
}

TEST(LinuxPlatform, RequestsToSomethingThatIsNoScsiDevice) {
  const Handle h = platform_open_drive(u"/dev/null");
  ASSERT_NE(h, kInvalidHandle);

  platform_set_last_error(0);
  SCSI_ADDRESS address{};
  EXPECT_FALSE(platform_get_scsi_address(h, &address));
  EXPECT_EQ(platform_get_last_error(), ERROR_INVALID_FUNCTION);

  std::vector<uint8_t> data(512);
  ScsiPassThroughRequest req{};
  req.sptd.Length = sizeof req.sptd;
  req.sptd.CdbLength = 16;
  req.sptd.SenseInfoLength = sizeof req.sense;
  req.sptd.SenseInfoOffset = offsetof(ScsiPassThroughRequest, sense);
  req.sptd.DataIn = SCSI_IOCTL_DATA_IN;
  req.sptd.DataTransferLength = 512;
  req.sptd.DataBuffer = data.data();
  req.sptd.TimeOutValue = 5;
  req.sptd.Cdb[0] = 0x85;
  platform_set_last_error(0);
  EXPECT_FALSE(platform_scsi_passthrough(h, &req));
  EXPECT_EQ(platform_get_last_error(), ERROR_INVALID_FUNCTION);

  ATA_PASS_THROUGH_DIRECT ata{};
  ata.Length = sizeof ata;
  ata.AtaFlags = ATA_FLAGS_DRDY_REQUIRED | ATA_FLAGS_DATA_IN;
  ata.DataTransferLength = 512;
  ata.DataBuffer = data.data();
  ata.TimeOutValue = 5;
  ata.CurrentTaskFile[6] = 0xEC;
  uint32_t returned = 77;
  platform_set_last_error(0);
  EXPECT_FALSE(platform_ata_passthrough(h, &ata, &returned));
  EXPECT_EQ(platform_get_last_error(), ERROR_INVALID_FUNCTION);

  EXPECT_TRUE(platform_close(h));
  platform_set_last_error(0);
  EXPECT_FALSE(platform_close(h));
  EXPECT_EQ(platform_get_last_error(), 6u);
}

// A disk node is asked for its address the way a block device answers, not first with the
// sg driver's query it never knows. Any block device shows it (a loop device here).
TEST(LinuxPlatform, BlockDeviceIsAskedTheMidlayersAddressQuery) {
  Handle h = kInvalidHandle;
  if (DIR* dev = opendir("/dev")) {
    while (const dirent* entry = readdir(dev)) {
      const std::string path = std::string("/dev/") + entry->d_name;
      struct stat st {};
      if (stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) continue;
      h = platform_open_drive(u16(path));
      if (h != kInvalidHandle) break;
    }
    closedir(dev);
  }
  if (h == kInvalidHandle) GTEST_SKIP() << "no block device opens for reading and writing";
  g_ioctl_requests.clear();
  SCSI_ADDRESS address{};
  platform_get_scsi_address(h, &address);
  EXPECT_EQ(g_ioctl_requests, std::vector<unsigned long>{SCSI_IOCTL_GET_IDLUN});
  platform_close(h);
}

TEST(LinuxPlatform, MalformedRequestsAreRefusedBeforeTheKernel) {
  const Handle h = platform_open_drive(u"/dev/null");
  ASSERT_NE(h, kInvalidHandle);
  const struct {
    const char* name;
    uint8_t cdb_length;
    uint8_t data_in;
  } cases[] = {{"no command block", 0, SCSI_IOCTL_DATA_IN},
               {"command block too long", 17, SCSI_IOCTL_DATA_IN},
               {"unknown direction", 16, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScsiPassThroughRequest req{};
    req.sptd.CdbLength = c.cdb_length;
    req.sptd.DataIn = c.data_in;
    platform_set_last_error(0);
    EXPECT_FALSE(platform_scsi_passthrough(h, &req));
    EXPECT_EQ(platform_get_last_error(), 87u);
  }
  ATA_PASS_THROUGH_DIRECT ata{};
  ata.AtaFlags = ATA_FLAGS_DATA_IN | ATA_FLAGS_DATA_OUT;
  ata.DataTransferLength = 512;
  platform_set_last_error(0);
  EXPECT_FALSE(platform_ata_passthrough(h, &ata, nullptr));
  EXPECT_EQ(platform_get_last_error(), 87u);
  platform_close(h);

  const Handle bad_handles[] = {kInvalidHandle, Handle{-5}, Handle{1} << 40};
  for (const Handle bad : bad_handles) {
    SCOPED_TRACE(bad);
    SCSI_ADDRESS address{};
    platform_set_last_error(0);
    EXPECT_FALSE(platform_get_scsi_address(bad, &address));
    EXPECT_EQ(platform_get_last_error(), 6u);
  }
}

TEST(LinuxPlatform, NoCsmiOnLinux) {
  platform_set_last_error(0);
  EXPECT_EQ(platform_open_adapter(u"\\\\.\\SCSI0:"), kInvalidHandle);
  EXPECT_EQ(platform_get_last_error(), ERROR_FILE_NOT_FOUND);
  uint8_t buffer[64] = {};
  platform_set_last_error(0);
  EXPECT_FALSE(platform_csmi_request(Handle{3}, buffer, sizeof buffer));
  EXPECT_EQ(platform_get_last_error(), ERROR_INVALID_FUNCTION);
  EXPECT_FALSE(platform_csmi_supported());
}

// The disks of a sysfs tree as the kernel lays it out: SCSI disks with their sg nodes in the
// kernel's naming order, other disks with why the tool cannot reach them, and neither the
// disks without hardware (loop) nor a CD drive.
TEST(LinuxPlatform, DiskListWalksSysfs) {
  char tmpl[] = "/tmp/qm-sysfs-XXXXXX";
  const std::filesystem::path root = mkdtemp(tmpl);
  const auto make = [&](const std::string& relative) {
    std::filesystem::create_directories(root / "block" / relative);
  };
  for (const char* disk : {"sda/device/scsi_disk/0:0:0:0", "sda/device/scsi_generic/sg0",
                           "sdaa/device/scsi_disk/0:0:26:0", "sdaa/device/scsi_generic/sg27",
                           "sdb/device/scsi_disk/1:0:0:0", "sdb/device/scsi_generic/sg1",
                           "loop0/queue", "nvme0n1/device", "vda/device",
                           "sr0/device/scsi_device/2:0:0:0", "sr0/device/scsi_generic/sg2"})
    make(disk);
  { std::ofstream(root / "block/sr0/device/type") << "5\n"; }

  std::vector<PresentedDrive> drives;
  ASSERT_TRUE(sysfs::list_disks(root.string(), drives));
  const std::string not_scsi = "not a SCSI disk, so no SCSI or ATA pass-through reaches it";
  const std::vector<std::vector<std::string>> expected = {
      {"/dev/sda", "/dev/sg0", ""},
      {"/dev/sdb", "/dev/sg1", ""},
      {"/dev/vda", "", not_scsi},
      {"/dev/sdaa", "/dev/sg27", ""},
      {"/dev/nvme0n1", "", "an NVMe drive, which no SCSI or ATA pass-through reaches"},
  };
  ASSERT_EQ(drives.size(), expected.size());
  for (size_t i = 0; i < drives.size(); ++i) {
    EXPECT_EQ(utf16_to_utf8(drives[i].path), expected[i][0]);
    EXPECT_EQ(utf16_to_utf8(drives[i].other_node), expected[i][1]);
    EXPECT_EQ(drives[i].unusable, expected[i][2]);
  }

  platform_set_last_error(0);
  drives.clear();
  EXPECT_FALSE(sysfs::list_disks((root / "none").string(), drives));
  EXPECT_EQ(platform_get_last_error(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(drives.empty());
  std::filesystem::remove_all(root);
}

TEST(LinuxPlatform, ImageFilesReadWhole) {
  Scratch s;
  const struct {
    const char* name;
    size_t size;
  } cases[] = {{"empty", 0}, {"one byte", 1}, {"one block", 512}, {"large", 3 * 1048576 + 7}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bytes(c.size);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    const int fd = open(s.file.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);

    std::string error;
    const Handle f = platform_file_open(u16(s.file), error);
    ASSERT_NE(f, kInvalidHandle);
    EXPECT_EQ(platform_file_size(f), static_cast<int64_t>(c.size));
    std::vector<uint8_t> back(c.size + 16);
    EXPECT_EQ(platform_file_read(f, back.data(), static_cast<int64_t>(back.size())),
              static_cast<int64_t>(c.size));
    back.resize(c.size);
    EXPECT_EQ(back, bytes);
    EXPECT_EQ(platform_file_read(f, back.data(), 16), 0);
    platform_file_close(f);
  }
}

TEST(LinuxPlatform, ImageFileErrorsCarryTheSystemText) {
  Scratch s;
  // A FIFO nobody writes to: opening it must neither block nor succeed.
  const std::string fifo = s.dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    std::string path;
    std::string text;
  } cases[] = {{s.dir + "/missing.bin", std::strerror(ENOENT)},
               {s.file + "/x", std::strerror(ENOTDIR)},
               {fifo, "Not a regular file (a FIFO)"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    std::string error;
    EXPECT_EQ(platform_file_open(u16(c.path), error), kInvalidHandle);
    EXPECT_EQ(error, c.text);
  }
  unlink(fifo.c_str());
}

// Runs `write` with standard output and/or the error stream sent into one pipe and returns
// what came out of the pipe. A reader thread drains it so that large writes go through in
// parts.
template <typename Write>
std::string through_pipe(std::initializer_list<int> fds, Write write_fn) {
  int p[2];
  if (pipe(p) != 0) return "pipe failed";
  std::vector<int> saved;
  for (const int fd : fds) {
    saved.push_back(dup(fd));
    dup2(p[1], fd);
  }
  close(p[1]);
  std::string got;
  std::thread reader([&] {
    char buf[4096];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
  });
  write_fn();
  // Closes the pipe's last write ends, so the reader sees the end.
  for (size_t i = 0; i < saved.size(); ++i) {
    dup2(saved[i], std::data(fds)[i]);
    close(saved[i]);
  }
  reader.join();
  close(p[0]);
  return got;
}

TEST(LinuxPlatform, ConsoleWritesEveryByte) {
  std::string big(1 << 20, 'x');
  for (size_t i = 0; i < big.size(); i += 97) big[i] = '\n';
  const struct {
    const char* name;
    ConsoleStream stream;
    int fd;
    std::string text;
  } cases[] = {{"out", ConsoleStream::Out, STDOUT_FILENO, "hello\n"},
               {"err", ConsoleStream::Err, STDERR_FILENO, "oops\n"},
               {"more than a pipe holds", ConsoleStream::Out, STDOUT_FILENO, big},
               {"empty", ConsoleStream::Out, STDOUT_FILENO, ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(through_pipe({c.fd}, [&] { platform_console_write(c.stream, c.text); }), c.text);
  }
}

TEST(LinuxPlatform, WideConsoleTextIsUtf8) {
  const std::u16string text =
      std::u16string(u"\\\\.\\PhysicalDrive0 caf\u00E9 \u2500 ") + char16_t(0xDC80);
  EXPECT_EQ(
      through_pipe({STDOUT_FILENO}, [&] { platform_console_write_wide(ConsoleStream::Out, text); }),
      "\\\\.\\PhysicalDrive0 caf\xC3\xA9 \xE2\x94\x80 \x80");
  EXPECT_EQ(platform_console_hline(), "\xE2\x94\x80");
}

// The console holds text back, yet it reaches the system in the order of the calls, across
// both streams and both widths.
TEST(LinuxPlatform, ConsoleKeepsTheOrderOfTheCalls) {
  const std::string got = through_pipe({STDOUT_FILENO, STDERR_FILENO}, [] {
    console::out("1");
    console::err("2");
    console::wout(u"3");
    console::out("4");
    console::printf("%d", 5);
    console::err("6\n");
    console::out("7");
    console::flush();
  });
  EXPECT_EQ(got, "123456\n7");
}

// A made-up sysfs (disk sda with two partitions, the first under a device-mapper volume, another
// disk sdb under an md array under a volume, an sg node of sda) and mount table: every way of
// naming the disk leads to the file systems of all its partitions and of what is built on them.
TEST(LinuxPlatform, MountsOnADiskFromSysfsAndMountinfo) {
  namespace fs = std::filesystem;
  char tmpl[] = "/tmp/qm-sysfs-XXXXXX";
  const fs::path sys = mkdtemp(tmpl);
  const auto put = [](const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
  };
  const fs::path sda = sys / "devices/pci0/host0/target0:0:0/0:0:0:0/block/sda";
  put(sda / "dev", "8:0");
  put(sda / "sda1/dev", "8:1");
  put(sda / "sda1/partition", "1");
  put(sda / "sda2/dev", "8:2");
  put(sda / "sda2/partition", "2");
  put(sda / "queue/dev", "not a partition");
  put(sys / "devices/pci0/host1/block/sdb/dev", "8:16");
  const fs::path sg = sys / "devices/pci0/host0/target0:0:0/0:0:0:0/scsi_generic/sg0";
  put(sg / "dev", "21:0");
  fs::create_directory_symlink(sg.parent_path().parent_path(), sg / "device");
  fs::create_directories(sys / "dev/block");
  fs::create_directories(sys / "dev/char");
  fs::create_directory_symlink(sda, sys / "dev/block/8:0");
  fs::create_directory_symlink(sda / "sda2", sys / "dev/block/8:2");
  fs::create_directory_symlink(sys / "devices/pci0/host1/block/sdb", sys / "dev/block/8:16");
  fs::create_directory_symlink(sg, sys / "dev/char/21:0");
  const fs::path dm0 = sys / "devices/virtual/block/dm-0", dm1 = sys / "devices/virtual/block/dm-1";
  const fs::path md0 = sys / "devices/virtual/block/md0";
  put(dm0 / "dev", "254:0");
  put(dm1 / "dev", "254:1");
  put(md0 / "dev", "9:0");
  fs::create_directories(sda / "sda1/holders");
  fs::create_directory_symlink(dm0, sda / "sda1/holders/dm-0");
  fs::create_directories(sys / "devices/pci0/host1/block/sdb/holders");
  fs::create_directory_symlink(md0, sys / "devices/pci0/host1/block/sdb/holders/md0");
  fs::create_directories(md0 / "holders");
  fs::create_directory_symlink(dm1, md0 / "holders/dm-1");
  const std::string mountinfo =
      "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
      "23 22 0:21 / /proc rw - proc proc rw\n"
      "24 22 8:1 / /boot/my\\040efi rw - vfat /dev/sda1 rw\n"
      "25 22 8:16 / /srv rw - xfs /dev/sdb rw\n"
      "26 22 8:2 /home /home rw - ext4 /dev/sda2 rw\n"
      "27 22 8:2 / / rw - ext4 /dev/sda2 rw\n"
      "28 22 254:0 / /var rw - ext4 /dev/mapper/vg-var rw\n"
      "29 22 254:1 / /data rw - xfs /dev/mapper/big rw\n";
  const std::vector<std::string> on_sda = {"/ (the root file system)", "/boot/my efi", "/home",
                                           "/var"};
  struct Row {
    const char* name;
    bool block;
    unsigned major, minor;
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      {"the disk", true, 8, 0, on_sda},
      {"a partition names its disk", true, 8, 2, on_sda},
      {"an sg node names its disk", false, 21, 0, on_sda},
      {"another disk, its array's volume too", true, 8, 16, {"/srv", "/data"}},
      {"a device sysfs does not know", true, 7, 0, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(mounts::mounted_from(
                  mountinfo, mounts::disk_devices(sys.string(), row.block, row.major, row.minor)),
              row.expected);
  }
  fs::remove_all(sys);
}

}  // namespace

namespace {

std::string file_text(const std::string& path) {
  std::string text;
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) return "<none>";
  char buf[256];
  ssize_t n = 0;
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  close(fd);
  return text;
}

}  // namespace

// A process of the given user holding the claim socket of the key until it is ended.
pid_t foreign_socket_holder(uid_t user, const std::string& key) {
  return start_holder([&] {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = "quillmark-" + key;
    name.copy(address.sun_path + 1, name.size());
    const socklen_t length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    return setgid(user) == 0 && setuid(user) == 0 &&
           bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(fd, 4) == 0;
  });
}

// The claim folder is writable by everyone and the tool runs as root: only a regular file of
// root's (or its own) with one name is locked; anything else is left exactly as it is, and
// the run goes on unclaimed. Without the folder the claim socket stands in, and one that
// another, unprivileged user holds is reported rather than obeyed.
TEST(LinuxPlatform, ClaimTakesOnlyAFileFitForIt) {
  Scratch s;
  const std::string name = s.dir + "/quillmark-scsi-1-0-0-0.lock";
  const std::string elsewhere = s.dir + "/elsewhere";
  const std::string no_folder = s.dir + "/no-lock-folder";
  enum class Kind {
    Nothing,
    OwnFile,
    Symlink,
    Fifo,
    Directory,
    ForeignFile,
    TwoNames,
    NoFolder,
    NoFolderHeld,
    NoFolderForeignHolder
  };
  const struct {
    const char* what;
    Kind kind;
    ClaimOutcome outcome;
    const char* reason;  // after the file's name, when the claim is unavailable
  } rows[] = {
      {"nothing", Kind::Nothing, ClaimOutcome::Claimed, ""},
      {"a file a run left, with text in it", Kind::OwnFile, ClaimOutcome::Claimed, ""},
      {"a symbolic link", Kind::Symlink, ClaimOutcome::Unavailable, "a symbolic link"},
      {"a FIFO", Kind::Fifo, ClaimOutcome::Unavailable, "not a regular file"},
      {"a directory", Kind::Directory, ClaimOutcome::Unavailable, "not a regular file"},
      {"a file of another user", Kind::ForeignFile, ClaimOutcome::Unavailable,
       "owned by another user"},
      {"a file with a second name", Kind::TwoNames, ClaimOutcome::Unavailable,
       "has more than one name"},
      {"no folder: the claim socket", Kind::NoFolder, ClaimOutcome::Claimed, ""},
      {"no folder, the socket held: its holder named", Kind::NoFolderHeld, ClaimOutcome::Busy, ""},
      {"no folder, the socket held by another user", Kind::NoFolderForeignHolder,
       ClaimOutcome::Unavailable, " of user 4242, who is not root"},
  };
  const std::string text = "left as it is\n";
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    unlink(name.c_str());
    rmdir(name.c_str());
    unlink(elsewhere.c_str());
    const auto make_file = [&](const std::string& path) {
      const int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
      ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
      close(fd);
    };
    std::string folder = s.dir;
    DriveClaim held;
    pid_t holder = getpid();
    switch (row.kind) {
      case Kind::Nothing:
        break;
      case Kind::NoFolder:
        folder = no_folder;
        break;
      case Kind::NoFolderHeld:
        folder = no_folder;
        held = linux_claim::claim_in(folder, "scsi-1-0-0-0", 0);
        ASSERT_EQ(held.outcome, ClaimOutcome::Claimed) << held.reason;
        break;
      case Kind::NoFolderForeignHolder:
        folder = no_folder;
        if (geteuid() != 0) GTEST_SKIP() << "needs root to be another user";
        holder = foreign_socket_holder(4242, "scsi-1-0-0-0");
        ASSERT_GT(holder, 0);
        break;
      case Kind::OwnFile:
        make_file(name);
        break;
      case Kind::Symlink:
        make_file(elsewhere);
        ASSERT_EQ(symlink(elsewhere.c_str(), name.c_str()), 0);
        break;
      case Kind::Fifo:
        ASSERT_EQ(mkfifo(name.c_str(), 0644), 0);
        break;
      case Kind::Directory:
        ASSERT_EQ(mkdir(name.c_str(), 0755), 0);
        break;
      case Kind::ForeignFile:
        make_file(name);
        if (geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
        ASSERT_EQ(chown(name.c_str(), 4242, 4242), 0);
        break;
      case Kind::TwoNames:
        make_file(elsewhere);
        ASSERT_EQ(link(elsewhere.c_str(), name.c_str()), 0);
        break;
    }
    const DriveClaim c = linux_claim::claim_in(folder, "scsi-1-0-0-0", 0);
    EXPECT_EQ(c.outcome, row.outcome) << c.reason;
    if (c.outcome == ClaimOutcome::Claimed) platform_release_drive(c.handle);
    if (held.outcome == ClaimOutcome::Claimed) platform_release_drive(held.handle);
    if (row.kind == Kind::NoFolderForeignHolder) end_holder(holder);
    if (folder == no_folder) {
      // Nothing is made where the folder is missing.
      EXPECT_NE(access(no_folder.c_str(), F_OK), 0);
      if (c.outcome == ClaimOutcome::Busy) {
        EXPECT_EQ(c.holder_pid, static_cast<uint32_t>(holder));
      }
      if (c.outcome == ClaimOutcome::Unavailable) {
        EXPECT_EQ(c.reason, "claim socket held by process " + std::to_string(holder) + row.reason);
      }
      continue;
    }
    if (c.outcome == ClaimOutcome::Unavailable) {
      EXPECT_EQ(c.reason, name + ": " + row.reason);
    }
    struct stat st {};
    ASSERT_EQ(lstat(name.c_str(), &st), 0);
    if (row.kind == Kind::OwnFile || row.kind == Kind::ForeignFile || row.kind == Kind::TwoNames) {
      EXPECT_EQ(file_text(name), text);
    }
    if (row.kind == Kind::Symlink) {
      EXPECT_EQ(file_text(elsewhere), text);
    }
    if (row.kind == Kind::Fifo) {
      EXPECT_TRUE(S_ISFIFO(st.st_mode));
    }
    if (row.kind == Kind::Directory) {
      EXPECT_TRUE(S_ISDIR(st.st_mode));
    }
  }
  unlink(name.c_str());
  unlink(elsewhere.c_str());
}

// A second claim on the same file finds the first, and the process that holds it; once let
// go, the claim is free again.
TEST(LinuxPlatform, ClaimNamesItsHolderAndEndsWithTheDescriptor) {
  Scratch s;
  const DriveClaim first = linux_claim::claim_in(s.dir, "scsi-2-0-1-0", 0);
  ASSERT_EQ(first.outcome, ClaimOutcome::Claimed) << first.reason;
  const auto start = std::chrono::steady_clock::now();
  const DriveClaim second = linux_claim::claim_in(s.dir, "scsi-2-0-1-0", 300);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_EQ(second.outcome, ClaimOutcome::Busy);
  EXPECT_EQ(second.holder_pid, static_cast<uint32_t>(getpid()));
  EXPECT_EQ(linux_claim::claim_in(s.dir, "scsi-2-0-1-1", 0).outcome, ClaimOutcome::Claimed);
  platform_release_drive(first.handle);
  const DriveClaim third = linux_claim::claim_in(s.dir, "scsi-2-0-1-0", 0);
  EXPECT_EQ(third.outcome, ClaimOutcome::Claimed);
  platform_release_drive(third.handle);
  unlink((s.dir + "/quillmark-scsi-2-0-1-0.lock").c_str());
  unlink((s.dir + "/quillmark-scsi-2-0-1-1.lock").c_str());
}

// Near the end: it gives standard output up for good. A reader that went away (a pipe into
// `head`) neither ends the process with SIGPIPE nor hears anything more.
TEST(LinuxPlatform, ZyClosedPipeIsGivenUp) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  close(p[0]);
  const int saved = dup(STDOUT_FILENO);
  dup2(p[1], STDOUT_FILENO);
  close(p[1]);
  platform_console_write(ConsoleStream::Out, "into a closed pipe\n");
  dup2(saved, STDOUT_FILENO);
  close(saved);
  EXPECT_EQ(through_pipe({STDOUT_FILENO}, [] { platform_console_write(ConsoleStream::Out, "x"); }),
            "");
}

// The last test of the program: it installs the handler for good. The interrupt ends a pause
// at once, and the flag stays for the logic to read.
TEST(LinuxPlatform, ZzInterruptEndsThePause) {
  platform_install_interrupt_handler();
  EXPECT_FALSE(platform_interrupted());
  const pthread_t main_thread = pthread_self();
  std::thread sender([main_thread] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pthread_kill(main_thread, SIGINT);
  });
  const auto start = std::chrono::steady_clock::now();
  platform_sleep_ms(5000);
  const auto waited = std::chrono::steady_clock::now() - start;
  sender.join();
  EXPECT_LT(waited, std::chrono::milliseconds(2000));
  EXPECT_TRUE(platform_interrupted());
}
