#include "app/cmdline.h"

#include <cstdint>
#include <limits>

#include "app/run_record.h"
#include "app/texts.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

bool starts_with(std::u16string_view text, std::u16string_view keyword) {
  return text.substr(0, keyword.size()) == keyword;
}

// The C locale's white space; the arguments are ASCII where it matters.
bool is_space(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

int digit_value(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'z') return c - u'a' + 10;
  if (c >= u'A' && c <= u'Z') return c - u'A' + 10;
  return 99;
}

// 0-15 for a hexadecimal digit, -1 for anything else.
int hex_digit_value(char16_t c) {
  const int d = digit_value(c);
  return d < 16 ? d : -1;
}

// A command-line error: one wide line naming the element, then the usage, and the same line
// on the error stream as every failure's cause. The element is echoed with its control
// characters neutralised: a pasted escape sequence is not replayed.
ParseOutcome report_error(std::u16string_view text, std::u16string_view element,
                          const std::string& invocation_name) {
  std::u16string line(text);
  line.append(console::typed_text(element));
  note_run_cause(utf16_to_utf8(line.substr(line.starts_with(u'\n') ? 1 : 0)));
  console::wout(line + u'\n');
  print_usage(invocation_name);
  console::err_line(utf16_to_utf8(line.substr(line.starts_with(u'\n') ? 1 : 0)));
  return ParseOutcome::Error;
}

ParseOutcome command_line_error(std::u16string_view element, const std::string& invocation_name) {
  return report_error(u"\nError in command line at ", element, invocation_name);
}

ParseOutcome invalid_option(std::u16string_view first, const std::string& invocation_name) {
  return report_error(u"Invalid Command Line Option: ", first, invocation_name);
}

// "/C:" targets: "<adapter path>:<phy>" or "<adapter number>,<16 hex digits of SAS address>".
ParseOutcome parse_csmi_target(std::u16string_view first, const std::string& invocation_name,
                               RunOptions& options) {
  const std::u16string_view target = first.substr(3);
  const size_t colon = target.rfind(u':');
  const size_t comma = target.rfind(u',');
  if (target.empty() || (colon == target.npos && comma == target.npos)) {
    return invalid_option(first, invocation_name);
  }
  if (colon != target.npos) {
    // Decimal digits or nothing (phy 0). A lenient reading would turn "x", " 3" or "1x" into
    // some phy the user never named and download there. An overlong number takes its nearest
    // limit, which no adapter has.
    const std::u16string_view phy = target.substr(colon + 1);
    for (char16_t c : phy) {
      if (c < u'0' || c > u'9') return command_line_error(first, invocation_name);
    }
    options.device_path = std::u16string(target.substr(0, colon + 1));
    options.csmi_target.phy_index = convert_number(phy, 10).value;
  } else {
    options.device_path = csmi_adapter_path(target.substr(0, comma));
    // Exactly 16 hexadecimal digits, byte i from the pair at 2i. Anything the lenient number
    // conversion would skip or stop at (a sign, "0x", blanks, a stray letter, a tail) would
    // select some other drive, so the whole address is refused instead.
    const std::u16string_view address = target.substr(comma + 1);
    if (address.size() != 16) return command_line_error(first, invocation_name);
    for (size_t i = 0; i < 8; ++i) {
      const int high = hex_digit_value(address[2 * i]);
      const int low = hex_digit_value(address[2 * i + 1]);
      if (high < 0 || low < 0) return command_line_error(first, invocation_name);
      options.csmi_target.sas_address[i] = static_cast<uint8_t>(high << 4 | low);
    }
  }
  options.csmi_target.adapter_path = options.device_path;
  return ParseOutcome::Run;
}

// "--sha256": exactly 64 hexadecimal digits, either case.
bool parse_sha256(std::u16string_view text, RunOptions& options) {
  std::array<uint8_t, 32> digest{};
  if (text.size() != 2 * digest.size()) return false;
  for (size_t i = 0; i < digest.size(); ++i) {
    const int high = hex_digit_value(text[2 * i]);
    const int low = hex_digit_value(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    digest[i] = static_cast<uint8_t>(high << 4 | low);
  }
  options.sha256 = digest;
  return true;
}

}  // namespace

std::u16string_view trimmed(std::u16string_view text) {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

ConvertedNumber convert_number(std::u16string_view text, int base) {
  size_t i = 0;
  while (i < text.size() && is_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
    negative = text[i] == u'-';
    ++i;
  }
  // strtol skips "0x" in base 16 only when a hex digit follows; otherwise the "0" is the
  // number and the "x" ends it.
  if (base == 16 && i + 2 < text.size() && text[i] == u'0' &&
      (text[i + 1] == u'x' || text[i + 1] == u'X') && digit_value(text[i + 2]) < 16) {
    i += 2;
  }
  ConvertedNumber result;
  constexpr uint64_t kBeyond = uint64_t{1} << 32;  // past any 32-bit value; stop growing here
  uint64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    const int d = digit_value(text[i]);
    if (d >= base) break;
    result.has_digits = true;
    if (magnitude < kBeyond) magnitude = magnitude * static_cast<uint64_t>(base) + d;
  }
  if (!result.has_digits) return result;
  const uint64_t limit = negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
  if (magnitude > limit) {
    result.in_range = false;
    result.value =
        negative ? std::numeric_limits<int32_t>::min() : std::numeric_limits<int32_t>::max();
    return result;
  }
  const int64_t signed_value =
      negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  result.value = static_cast<int32_t>(signed_value);
  return result;
}

ParseOutcome parse_command_line(const std::vector<std::u16string>& args,
                                const std::string& invocation_name, RunOptions& options) {
  const std::u16string& first = args.at(1);
  if (starts_with(first, u"/h") || starts_with(first, u"/H")) return ParseOutcome::Help;
  if (starts_with(first, u"--license") || starts_with(first, u"/L")) {
    return ParseOutcome::License;
  }
  if (starts_with(first, u"--scan")) {
    options.flags = kFlagScan;
  } else if (starts_with(first, u"--list")) {
    options.flags = kFlagList;
  } else if (starts_with(first, u"/C:")) {
    options.flags = interface_flag(InterfaceKind::CsmiStp);
    if (parse_csmi_target(first, invocation_name, options) != ParseOutcome::Run) {
      return ParseOutcome::Error;
    }
  } else if (starts_with(first, u"/T:")) {
    options.flags = interface_flag(InterfaceKind::AtaPassThrough);
    options.device_path = first.substr(3);
  } else {
    options.flags = interface_flag(InterfaceKind::ScsiPassThrough);
    options.device_path = first;
  }

  // The first download option typed: without "/D:", "/a" or "/i" a download was meant but no
  // image named, and an identify in its place would end as a success.
  std::u16string download_option;
  for (size_t i = 2; i < args.size(); ++i) {
    const std::u16string& arg = args[i];
    const bool for_download = starts_with(arg, u"/s") || starts_with(arg, u"/e") ||
                              starts_with(arg, u"/g") || starts_with(arg, u"/r") ||
                              arg == u"--sha256" || arg == u"--expect-revision";
    if (for_download && download_option.empty()) download_option = arg;
    if (starts_with(arg, u"/D:")) {
      options.file_name = arg.substr(3);
      options.flags |= kFlagFirmwareFile;
    } else if (starts_with(arg, u"/s")) {
      options.mode = DownloadMode::SegmentedImmediate;
    } else if (starts_with(arg, u"/g") || starts_with(arg, u"/r")) {
      // The value is always the next element, whatever it holds.
      if (i + 1 >= args.size()) return command_line_error(arg, invocation_name);
      const std::u16string& value = args[++i];
      const ConvertedNumber n = convert_number(value, 10);
      if (!n.has_digits || !n.in_range) return command_line_error(value, invocation_name);
      if (starts_with(arg, u"/g")) {
        // A segment of 0 blocks is meaningless: multiples of 256 leave the default alone.
        const auto low = static_cast<uint8_t>(static_cast<uint32_t>(n.value) & 0xFF);
        if (low != 0) options.segment_blocks = low;
      } else {
        options.retry_count = n.value;
      }
    } else if (starts_with(arg, u"/vv")) {
      options.verbosity = 2;
    } else if (starts_with(arg, u"/v")) {
      options.verbosity = 1;
    } else if (starts_with(arg, u"/i")) {
      options.info_only = true;
      options.flags |= kFlagDeviceInfo;
    } else if (starts_with(arg, u"/e")) {
      options.mode = DownloadMode::Deferred;
    } else if (starts_with(arg, u"/a")) {
      options.flags |= kFlagActivate;
    } else if (starts_with(arg, u"/l")) {
      options.l_switch = 1;
    } else if (arg == u"--pass-through") {
      options.force_passthrough = true;
    } else if (arg == u"--dry-run") {
      options.dry_run = true;
    } else if (arg == u"--sha256" || arg == u"--expect-revision") {
      if (i + 1 >= args.size()) return command_line_error(arg, invocation_name);
      const std::u16string& value = args[++i];
      if (arg == u"--expect-revision") {
        if (trimmed(value).empty()) return command_line_error(value, invocation_name);
        options.expect_revision = value;
      } else if (!parse_sha256(value, options)) {
        return command_line_error(value, invocation_name);
      }
    } else {
      return command_line_error(arg, invocation_name);
    }
  }
  constexpr uint64_t kNamesTheWork = kFlagFirmwareFile | kFlagActivate | kFlagDeviceInfo;
  if (!download_option.empty() && (options.flags & kNamesTheWork) == 0)
    return report_error(u"\nError in command line: no /D:<firmware file> for ", download_option,
                        invocation_name);
  // A deferred download without /a switches nothing, so no revision can be expected of it.
  if (options.expect_revision && options.mode == DownloadMode::Deferred &&
      (options.flags & kFlagActivate) == 0)
    return command_line_error(u"--expect-revision", invocation_name);
  return ParseOutcome::Run;
}
