// The command line: the input is the argument vector (elements separated by NUL bytes, each
// decoded from UTF-8 as Linux does), parsed as the tool parses it and compared with a reading
// of the grammar written out here on its own. Properties:
//  - help, licence, run or command-line error exactly when the grammar says so; a command-line
//    error prints the usage, and its first line on the error stream; a download option
//    ("/s", "/e", "/g", "/r") without "/D:", "/a" or "/i" is one;
//  - a run gets every option as the grammar gives it (later options win, "/g" keeps the low
//    8 bits, numbers as the C library converts them, rejected when it would reject them);
//  - a CSMI target names exactly the adapter, phy or SAS address typed: the phy is the decimal
//    number after the colon (none: phy 0) and nothing else, the address 16 hexadecimal digits
//    and nothing else;
//  - nothing typed comes back to the terminal as a control character.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app/cmdline.h"
#include "platform/console.h"
#include "platform/text.h"
#include "property.h"

namespace {

constexpr size_t kMaxArguments = 24;

bool starts_with(const std::u16string& text, const char16_t* keyword) {
  return text.rfind(keyword, 0) == 0;
}

// strtoll on the argument, read as the C locale reads it: no character beyond ASCII is a
// digit, a sign or white space.
struct Number {
  bool converted = false;
  bool in_int32 = false;
  long long value = 0;
};

Number c_library_number(const std::u16string& text) {
  std::string narrow;
  for (char16_t c : text) narrow += c < 0x80 ? static_cast<char>(c) : '\x01';
  Number n;
  char* end = nullptr;
  errno = 0;
  n.value = std::strtoll(narrow.c_str(), &end, 10);
  n.converted = end != narrow.c_str();
  n.in_int32 = errno != ERANGE && n.value >= INT32_MIN && n.value <= INT32_MAX;
  return n;
}

int hex_value(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// What the grammar makes of the command line. Where it leaves the choice to the implementer
// (a phy number beyond 32 bits, "-0"), `either_error` says a command-line error is as right
// as the run described.
struct Expected {
  ParseOutcome outcome = ParseOutcome::Run;
  RunOptions options;
  bool either_error = false;
};

Expected error() {
  Expected e;
  e.outcome = ParseOutcome::Error;
  return e;
}

Expected reference_parse(const std::vector<std::u16string>& args) {
  Expected e;
  RunOptions& o = e.options;
  const std::u16string& first = args[1];
  if (starts_with(first, u"/h") || starts_with(first, u"/H")) {
    e.outcome = ParseOutcome::Help;
    return e;
  }
  if (starts_with(first, u"--license") || starts_with(first, u"/L")) {
    e.outcome = ParseOutcome::License;
    return e;
  }
  if (starts_with(first, u"--scan")) {
    o.flags = 0x80;
  } else if (starts_with(first, u"/C:")) {
    o.flags = 4;
    const std::u16string target = first.substr(3);
    const size_t colon = target.rfind(u':');
    const size_t comma = target.rfind(u',');
    if (target.empty() || (colon == std::u16string::npos && comma == std::u16string::npos))
      return error();
    if (colon != std::u16string::npos) {
      o.device_path = target.substr(0, colon + 1);
      // The phy is exactly a decimal number, or nothing for phy 0. Past 32 bits no adapter
      // has it: refusing it is as right as taking the largest value.
      uint64_t value = 0;
      for (char16_t c : target.substr(colon + 1)) {
        if (c < u'0' || c > u'9') return error();
        value = std::min<uint64_t>(value * 10 + static_cast<uint64_t>(c - u'0'), uint64_t{1} << 40);
      }
      o.csmi_target.phy_index = static_cast<int32_t>(std::min<uint64_t>(value, INT32_MAX));
      e.either_error = value > INT32_MAX;
    } else {
      o.device_path = u"\\\\.\\SCSI" + target.substr(0, comma) + u":";
      const std::u16string address = target.substr(comma + 1);
      if (address.size() != 16) return error();
      for (size_t i = 0; i < 8; ++i) {
        const int hi = hex_value(address[2 * i]);
        const int lo = hex_value(address[2 * i + 1]);
        if (hi < 0 || lo < 0) return error();
        o.csmi_target.sas_address[i] = static_cast<uint8_t>(hi << 4 | lo);
      }
    }
    o.csmi_target.adapter_path = o.device_path;
  } else if (starts_with(first, u"/T:")) {
    o.flags = 2;
    o.device_path = first.substr(3);
  } else {
    o.flags = 1;
    o.device_path = first;
  }

  bool download_option = false;
  for (size_t i = 2; i < args.size(); ++i) {
    const std::u16string& a = args[i];
    download_option = download_option || starts_with(a, u"/s") || starts_with(a, u"/e") ||
                      starts_with(a, u"/g") || starts_with(a, u"/r");
    if (starts_with(a, u"/D:")) {
      o.file_name = a.substr(3);
      o.flags |= 0x40;
    } else if (starts_with(a, u"/s")) {
      o.mode = DownloadMode::SegmentedImmediate;
    } else if (starts_with(a, u"/g") || starts_with(a, u"/r")) {
      if (i + 1 >= args.size()) return error();
      const Number n = c_library_number(args[++i]);
      if (!n.converted || !n.in_int32) return error();
      if (starts_with(a, u"/g")) {
        const auto low = static_cast<uint8_t>(static_cast<uint32_t>(n.value) & 0xFF);
        if (low != 0) o.segment_blocks = low;
      } else {
        o.retry_count = static_cast<int32_t>(n.value);
      }
    } else if (starts_with(a, u"/vv")) {
      o.verbosity = 2;
    } else if (starts_with(a, u"/v")) {
      o.verbosity = 1;
    } else if (starts_with(a, u"/i")) {
      o.info_only = true;
      o.flags |= 0x20;
    } else if (starts_with(a, u"/e")) {
      o.mode = DownloadMode::Deferred;
    } else if (starts_with(a, u"/a")) {
      o.flags |= 0x10;
    } else if (starts_with(a, u"/l")) {
      o.l_switch = 1;
    } else {
      return error();
    }
  }
  if (download_option && (o.flags & (0x40 | 0x20 | 0x10)) == 0) return error();
  return e;
}

bool same_options(const RunOptions& a, const RunOptions& b) {
  return a.flags == b.flags && a.device_path == b.device_path &&
         a.csmi_target.adapter_path == b.csmi_target.adapter_path &&
         a.csmi_target.phy_index == b.csmi_target.phy_index &&
         std::memcmp(a.csmi_target.sas_address, b.csmi_target.sas_address, 8) == 0 &&
         a.file_name == b.file_name && a.mode == b.mode && a.segment_blocks == b.segment_blocks &&
         a.retry_count == b.retry_count && a.verbosity == b.verbosity &&
         a.info_only == b.info_only && a.l_switch == b.l_switch;
}

const char kUsageEnd[] =
    "-------------------------------------------------------------------------\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::u16string> args{u"quillmark"};
  size_t start = 0;
  for (size_t i = 0; i <= size && args.size() <= kMaxArguments; ++i) {
    if (i == size || data[i] == 0) {
      args.push_back(
          utf8_to_utf16(std::string_view(reinterpret_cast<const char*>(data) + start, i - start)));
      start = i + 1;
    }
  }

  RunOptions options;
  console::capture_begin();
  const ParseOutcome outcome = parse_command_line(args, "quillmark", options);
  const std::string out = console::captured_out();
  const std::string err = console::captured_err();
  console::capture_end();

  // The echo of what was typed never carries a control character: C0 but the line ends, DEL,
  // C1 as UTF-8, or a C1 byte that stood for undecodable input.
  for (const std::string* text : {&out, &err}) {
    for (size_t i = 0; i < text->size(); ++i) {
      const auto c = static_cast<unsigned char>((*text)[i]);
      const auto next = i + 1 < text->size() ? static_cast<unsigned char>((*text)[i + 1]) : 0;
      const bool c1_utf8 = c == 0xC2 && next >= 0x80 && next <= 0x9F;
      const bool c1_raw =
          c >= 0x80 && c <= 0x9F && (i == 0 || static_cast<unsigned char>((*text)[i - 1]) < 0x80);
      require(!((c < 0x20 && c != '\n') || c == 0x7F || c1_utf8 || c1_raw),
              "a control character echoed to the terminal");
    }
  }

  const Expected expected = reference_parse(args);
  if (outcome == ParseOutcome::Error) {
    require(out.size() >= sizeof kUsageEnd - 1 &&
                out.compare(out.size() - (sizeof kUsageEnd - 1), std::string::npos, kUsageEnd) == 0,
            "a command-line error without the usage");
    const size_t from = out.starts_with('\n') ? 1 : 0;
    require(err == out.substr(from, out.find('\n', from) + 1 - from),
            "a command-line error without its line on the error stream");
    require(expected.outcome == ParseOutcome::Error || expected.either_error,
            "a command line the grammar accepts was refused");
    return 0;
  }
  require(outcome == expected.outcome, "help, licence, run or error not as the grammar says");
  if (outcome == ParseOutcome::Run)
    require(same_options(options, expected.options), "options not as the grammar gives them");
  return 0;
}
