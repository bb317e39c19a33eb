// The Win32 backend against the system itself (wine in the cross build): sharing modes,
// error codes, the image file, the redirected console and the wide argument vector as the
// shell's quoting rules split it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

constexpr char kPrintArgs[] = "--print-wide-args";
constexpr char kClaim[] = "--claim";

LPCWSTR wide(const std::u16string& s) { return reinterpret_cast<LPCWSTR>(s.c_str()); }

std::u16string from_wide(const wchar_t* s) { return reinterpret_cast<const char16_t*>(s); }

// A fresh directory under the system's temporary folder, removed with its files.
class TempDir {
 public:
  TempDir() {
    wchar_t base[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, base);
    path_ = from_wide(base) + u"qm-win-" + utf8_to_utf16(std::to_string(GetCurrentProcessId())) +
            u"-" + utf8_to_utf16(std::to_string(counter_++));
    CreateDirectoryW(wide(path_), nullptr);
  }
  ~TempDir() {
    for (const auto& f : files_) DeleteFileW(wide(f));
    RemoveDirectoryW(wide(path_));
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Writes a file with the system's own calls, independent of the code under test.
  std::u16string write(const std::u16string& name, const std::string& bytes) {
    const std::u16string full = file(name);
    const HANDLE h = CreateFileW(wide(full), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    if (!bytes.empty())
      WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    EXPECT_EQ(written, bytes.size());
    CloseHandle(h);
    return full;
  }

  std::u16string file(const std::u16string& name) {
    files_.push_back(path_ + u"\\" + name);
    return files_.back();
  }

  const std::u16string& path() const { return path_; }

 private:
  static inline int counter_ = 0;
  std::u16string path_;
  std::vector<std::u16string> files_;
};

std::string read_all(const std::u16string& path) {
  const HANDLE h = CreateFileW(wide(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
  std::string out;
  char buf[4096];
  DWORD got = 0;
  while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
  CloseHandle(h);
  return out;
}

std::string pattern(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
  return s;
}

// --- Opening devices: the sharing each kind of handle asks for -----------------------------

TEST(Win32Open, DriveHandleIsExclusive) {
  TempDir dir;
  const auto path = dir.write(u"drive.bin", "x");
  const Handle first = platform_open_drive(path);
  ASSERT_NE(first, kInvalidHandle);

  platform_set_last_error(0);
  EXPECT_EQ(platform_open_drive(path), kInvalidHandle);
  EXPECT_EQ(platform_get_last_error(), uint32_t{ERROR_SHARING_VIOLATION});
  EXPECT_EQ(platform_open_adapter(path), kInvalidHandle);
  std::string error_text;
  EXPECT_EQ(platform_file_open(path, error_text), kInvalidHandle);
  EXPECT_FALSE(error_text.empty());

  EXPECT_TRUE(platform_close(first));
}

TEST(Win32Open, AdapterHandlesAreSharedButNotWithADrive) {
  TempDir dir;
  const auto path = dir.write(u"adapter.bin", "x");
  const Handle a = platform_open_adapter(path);
  const Handle b = platform_open_adapter(path);
  ASSERT_NE(a, kInvalidHandle);
  ASSERT_NE(b, kInvalidHandle);
  std::string error_text;
  const Handle image = platform_file_open(path, error_text);
  EXPECT_NE(image, kInvalidHandle) << error_text;

  platform_set_last_error(0);
  EXPECT_EQ(platform_open_drive(path), kInvalidHandle);
  EXPECT_EQ(platform_get_last_error(), uint32_t{ERROR_SHARING_VIOLATION});

  if (image != kInvalidHandle) platform_file_close(image);
  EXPECT_TRUE(platform_close(a));
  EXPECT_TRUE(platform_close(b));
}

TEST(Win32Open, MissingDevicesReportTheSystemCode) {
  struct Case {
    const char* path;
    bool adapter;
    uint32_t error;
  };
  const Case cases[] = {
      {"\\\\.\\PhysicalDrive97", false, ERROR_FILE_NOT_FOUND},
      {"C:\\qm-no-such-dir\\x", false, ERROR_PATH_NOT_FOUND},
      {"C:\\qm-no-such-file.bin", true, ERROR_FILE_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    platform_set_last_error(0);
    const Handle h =
        c.adapter ? platform_open_adapter(u16(c.path)) : platform_open_drive(u16(c.path));
    EXPECT_EQ(h, kInvalidHandle);
    EXPECT_EQ(platform_get_last_error(), c.error);
  }
}

TEST(Win32Open, CloseTwiceFailsTheSecondTime) {
  TempDir dir;
  const Handle h = platform_open_drive(dir.write(u"c.bin", "x"));
  ASSERT_NE(h, kInvalidHandle);
  EXPECT_TRUE(platform_close(h));
  platform_set_last_error(0);
  EXPECT_FALSE(platform_close(h));
  EXPECT_EQ(platform_get_last_error(), uint32_t{ERROR_INVALID_HANDLE});
}

// A plain file is no storage device: every request must come back as not carried, with a
// code, rather than as a success with stale bytes.
TEST(Win32Requests, AFileRefusesEveryRequest) {
  TempDir dir;
  const Handle h = platform_open_drive(dir.write(u"r.bin", std::string(512, 'r')));
  ASSERT_NE(h, kInvalidHandle);
  uint8_t data[512] = {};

  SCSI_ADDRESS address{};
  ScsiPassThroughRequest scsi{};
  scsi.sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
  scsi.sptd.CdbLength = 16;
  scsi.sptd.DataIn = SCSI_IOCTL_DATA_IN;
  scsi.sptd.DataTransferLength = sizeof data;
  scsi.sptd.DataBuffer = data;
  scsi.sptd.TimeOutValue = 5;
  scsi.sptd.SenseInfoOffset = offsetof(ScsiPassThroughRequest, sense);
  scsi.sptd.SenseInfoLength = sizeof scsi.sense;
  ATA_PASS_THROUGH_DIRECT ata{};
  ata.Length = sizeof ata;
  ata.AtaFlags = ATA_FLAGS_DATA_IN;
  ata.DataTransferLength = sizeof data;
  ata.DataBuffer = data;
  ata.TimeOutValue = 5;
  uint8_t csmi[sizeof(CSMI_SAS_DRIVER_INFO_BUFFER)] = {};
  uint32_t bytes_returned = 0xFFFFFFFF;

  struct Case {
    const char* name;
    bool ok;
  };
  const Case cases[] = {
      {"address", (platform_set_last_error(0), platform_get_scsi_address(h, &address))},
      {"scsi", (platform_set_last_error(0), platform_scsi_passthrough(h, &scsi))},
      {"ata", (platform_set_last_error(0), platform_ata_passthrough(h, &ata, &bytes_returned))},
      {"csmi", (platform_set_last_error(0), platform_csmi_request(h, csmi, sizeof csmi))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(c.ok);
  }
  EXPECT_EQ(bytes_returned, 0u);
  // The error of the last request is left for the caller to read.
  EXPECT_NE(platform_get_last_error(), 0u);
  EXPECT_TRUE(platform_close(h));
}

// --- Process ---------------------------------------------------------------------------------

TEST(Win32Process, LastErrorRoundTrips) {
  for (uint32_t code : {0u, 1u, 5u, 121u, 0xFFFFFFFFu}) {
    platform_set_last_error(code);
    EXPECT_EQ(platform_get_last_error(), code);
    EXPECT_EQ(GetLastError(), code);
  }
}

TEST(Win32Process, SleepWaitsAtLeastTheTime) {
  LARGE_INTEGER freq, start, end;
  QueryPerformanceFrequency(&freq);
  QueryPerformanceCounter(&start);
  platform_sleep_ms(60);
  QueryPerformanceCounter(&end);
  const double ms = 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                    static_cast<double>(freq.QuadPart);
  EXPECT_GE(ms, 50.0);
}

// Runs this test program again with the flag and the given raw command-line tail and returns
// what it printed.
std::string run_self(const char* flag, const std::u16string& tail) {
  wchar_t self[MAX_PATH + 1];
  GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
  std::u16string line = u"\"";
  line.append(from_wide(self)).append(u"\" ").append(u16(flag)).append(u" ").append(tail);
  std::vector<wchar_t> command(line.begin(), line.end());
  command.push_back(0);

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return "pipe failed";
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = write_end;
  si.hStdError = write_end;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION pi{};
  const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &si, &pi);
  CloseHandle(write_end);
  std::string out;
  if (started) {
    char buf[1024];
    DWORD got = 0;
    while (ReadFile(read_end, buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
  } else {
    out = "CreateProcessW failed";
  }
  CloseHandle(read_end);
  return out;
}

// With "--print-wide-args" the child prints the elements after that flag, one per line, after
// their count.
std::string run_child(const std::u16string& tail) { return run_self(kPrintArgs, tail); }

// One run per drive across processes: the child claims the key and ends without letting go.
TEST(Win32Claim, OneHolderAcrossProcessesAndAnAbandonedClaimIsFree) {
  const std::string key = "scsi-9-0-" + std::to_string(GetCurrentProcessId() % 256) + "-0";
  EXPECT_EQ(run_self(kClaim, u16(key)), "claimed\n");
  const DriveClaim mine = platform_claim_drive(key, 0);
  ASSERT_EQ(mine.outcome, ClaimOutcome::Claimed) << mine.reason;
  EXPECT_EQ(run_self(kClaim, u16(key)), "busy " + std::to_string(GetCurrentProcessId()) + "\n");
  EXPECT_EQ(run_self(kClaim, u16(key + "-other")), "claimed\n");
  platform_release_drive(mine.handle);
  EXPECT_EQ(run_self(kClaim, u16(key)), "claimed\n");
}

TEST(Win32Process, WideArgumentsFollowTheShellQuotingRules) {
  struct Case {
    std::u16string tail;
    std::vector<std::string> expected;  // UTF-8
  };
  const Case cases[] = {
      {u"a b", {"a", "b"}},
      {u"\t a \t b ", {"a", "b"}},
      {u"\"my fw.bin\" x", {"my fw.bin", "x"}},
      {u"/D:\"my fw.bin\" /s", {"/D:my fw.bin", "/s"}},
      {u"\"/D:my fw.bin\"", {"/D:my fw.bin"}},
      {u"/x\"y z\"\\\"w", {"/xy z\"w"}},
      {u"\"a\\\\\" b", {"a\\", "b"}},
      {u"\\\\.\\PhysicalDrive0", {"\\\\.\\PhysicalDrive0"}},
      {u"\"\" x", {"", "x"}},
      {u"Gr\u00FC\u00DFe \u20AC\U0001F600",
       {"Gr\xC3\xBC\xC3\x9F"
        "e",
        "\xE2\x82\xAC\xF0\x9F\x98\x80"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(utf16_to_utf8(c.tail));
    std::string expected = std::to_string(c.expected.size()) + "\n";
    for (const auto& e : c.expected) expected += e + "\n";
    EXPECT_EQ(run_child(c.tail), expected);
  }
}

// --- The image file --------------------------------------------------------------------------

TEST(Win32File, ReadsEveryByteOfEverySize) {
  TempDir dir;
  for (size_t size : {size_t{0}, size_t{1}, size_t{511}, size_t{4099}, size_t{3 * 1048576 + 17}}) {
    SCOPED_TRACE(size);
    const std::string bytes = pattern(size);
    const auto path = dir.write(u"img" + utf8_to_utf16(std::to_string(size)) + u".bin", bytes);
    std::string error_text;
    const Handle f = platform_file_open(path, error_text);
    ASSERT_NE(f, kInvalidHandle) << error_text;
    EXPECT_EQ(platform_file_size(f), static_cast<int64_t>(size));
    std::string got(size + 16, '\0');
    EXPECT_EQ(platform_file_read(f, got.data(), static_cast<int64_t>(got.size())),
              static_cast<int64_t>(size));
    got.resize(size);
    EXPECT_EQ(got, bytes);
    char more[8];
    EXPECT_EQ(platform_file_read(f, more, sizeof more), 0);
    platform_file_close(f);
  }
}

TEST(Win32File, ReadsInPiecesFromTheCurrentPosition) {
  TempDir dir;
  const std::string bytes = pattern(10000);
  std::string error_text;
  const Handle f = platform_file_open(dir.write(u"pieces.bin", bytes), error_text);
  ASSERT_NE(f, kInvalidHandle);
  std::string got;
  char piece[3001];
  int64_t n = 0;
  while ((n = platform_file_read(f, piece, sizeof piece)) > 0) got.append(piece, n);
  EXPECT_EQ(got, bytes);
  platform_file_close(f);
}

TEST(Win32File, OpensANameOutsideTheAnsiCodePage) {
  TempDir dir;
  const auto path = dir.write(u"fw-Gr\u00FC\u00DFe-\u20AC\U0001F600.bin", "payload");
  std::string error_text;
  const Handle f = platform_file_open(path, error_text);
  ASSERT_NE(f, kInvalidHandle) << error_text;
  char got[16] = {};
  EXPECT_EQ(platform_file_read(f, got, sizeof got), 7);
  EXPECT_STREQ(got, "payload");
  platform_file_close(f);
}

TEST(Win32File, OpenFailureCarriesTheSystemsOwnText) {
  TempDir dir;
  struct Case {
    std::u16string path;
    uint32_t error;
    const char* text;  // null: the system's own description
  };
  const Case cases[] = {
      {dir.path() + u"\\missing.bin", ERROR_FILE_NOT_FOUND, nullptr},
      {dir.path() + u"\\no-dir\\missing.bin", ERROR_PATH_NOT_FOUND, nullptr},
      {dir.path(), ERROR_ACCESS_DENIED, "Not a regular file (a directory)"},
  };
  std::vector<std::string> texts;
  for (const auto& c : cases) {
    SCOPED_TRACE(utf16_to_utf8(c.path));
    std::string error_text;
    EXPECT_EQ(platform_file_open(c.path, error_text), kInvalidHandle);
    EXPECT_EQ(platform_get_last_error(), c.error);
    ASSERT_FALSE(error_text.empty());
    EXPECT_NE(error_text.back(), '\n');
    EXPECT_NE(error_text.back(), '\r');
    EXPECT_EQ(error_text.find("Error "), std::string::npos) << error_text;
    if (c.text != nullptr) {
      EXPECT_EQ(error_text, c.text);
    }
    texts.push_back(error_text);
  }
  EXPECT_NE(texts[0], texts[1]);
}

// --- The console, redirected to a file ------------------------------------------------------

TEST(Win32Console, RedirectedStreamsGetBytesAndUtf8) {
  struct Case {
    ConsoleStream stream;
    DWORD std_id;
  };
  for (const Case c :
       {Case{ConsoleStream::Out, STD_OUTPUT_HANDLE}, Case{ConsoleStream::Err, STD_ERROR_HANDLE}}) {
    TempDir dir;
    const auto path = dir.file(u"console.txt");
    const HANDLE file = CreateFileW(wide(path), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const HANDLE saved = GetStdHandle(c.std_id);
    SetStdHandle(c.std_id, file);
    platform_console_write(c.stream, "narrow \xC4\n");
    platform_console_write_wide(c.stream, u"Gr\u00FC\u00DFe \u20AC\U0001F600 \xDC80\n");
    const std::string hline(c.stream == ConsoleStream::Out ? platform_console_hline() : "");
    const std::u16string big(100000, u'w');
    platform_console_write_wide(c.stream, big);
    SetStdHandle(c.std_id, saved);
    CloseHandle(file);

    std::string expected =
        "narrow \xC4\nGr\xC3\xBC\xC3\x9F"
        "e \xE2\x82\xAC\xF0\x9F\x98\x80 \x80\n";
    expected += std::string(100000, 'w');
    EXPECT_EQ(read_all(path), expected);
    if (c.stream == ConsoleStream::Out) {
      EXPECT_EQ(hline, "\xE2\x94\x80");
    }
  }
}

// mingw's default printf family is the old msvcrt one; the tool's formats need C99's.
TEST(Win32Console, FormattedPrintHasTheC99Conversions) {
  console::capture_begin();
  console::printf("%zu|%lld|%llu|%5.2f|%02x|%s", size_t{4294967296}, -5LL, 18446744073709551615ULL,
                  3.14159, 0xAu, "t");
  const std::string got = console::captured_out();
  console::capture_end();
  EXPECT_EQ(got, "4294967296|-5|18446744073709551615| 3.14|0a|t");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], kPrintArgs) == 0) {
    std::vector<std::u16string> args;
    if (!platform_wide_args(argc, argv, args) || args.size() < 2) return 1;
    std::string out = std::to_string(args.size() - 2) + "\n";
    for (size_t i = 2; i < args.size(); ++i) out += utf16_to_utf8(args[i]) + "\n";
    platform_console_write(ConsoleStream::Out, out);
    return 0;
  }
  if (argc >= 3 && std::strcmp(argv[1], kClaim) == 0) {
    // Claims the drive and ends without letting it go: the system releases it.
    const DriveClaim c = platform_claim_drive(argv[2], 0);
    std::string out = c.outcome == ClaimOutcome::Claimed ? "claimed"
                      : c.outcome == ClaimOutcome::Busy  ? "busy " + std::to_string(c.holder_pid)
                                                         : "unavailable " + c.reason;
    platform_console_write(ConsoleStream::Out, out + "\n");
    return 0;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
