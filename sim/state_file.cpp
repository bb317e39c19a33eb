#include "sim/state_file.h"

#include <set>
#include <vector>

#include "platform/console.h"
#include "platform/text.h"
#include "sim/host.h"
#include "sim/world.h"

namespace sim {
namespace {

constexpr std::string_view kHeader = "quillmark-sim state 1";
constexpr std::string_view kEnd = "end";
// Far more than the built-in world needs; anything larger is not ours.
constexpr size_t kMaxFileBytes = 64 * 1024;
// The IDENTIFY firmware revision field holds 8 characters.
constexpr size_t kMaxRevisionBytes = 8;
constexpr size_t kMaxPathBytes = 1024;

std::string encode_text(std::string_view text) {
  if (text.empty()) return "-";
  if (text == "-") return "%2D";
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x21 || c > 0x7E || c == '%') {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Accepts only the exact form encode_text writes, so every state has one spelling.
bool decode_text(std::string_view token, size_t max_bytes, std::string& out) {
  out.clear();
  if (token != "-") {
    for (size_t i = 0; i < token.size(); ++i) {
      if (token[i] != '%') {
        out += token[i];
        continue;
      }
      if (i + 2 >= token.size()) return false;
      const int hi = hex_digit(token[i + 1]);
      const int lo = hex_digit(token[i + 2]);
      if (hi < 0 || lo < 0) return false;
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    }
  }
  return out.size() <= max_bytes && encode_text(out) == token;
}

// A decimal number without sign or leading zeros, at most max.
bool decode_number(std::string_view token, int max, int& out) {
  if (token.empty() || token.size() > 3 || (token.size() > 1 && token[0] == '0')) return false;
  out = 0;
  for (char c : token) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  return out <= max;
}

std::vector<std::string_view> split_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  while (true) {
    const size_t blank = line.find(' ', start);
    fields.push_back(line.substr(start, blank - start));
    if (blank == std::string_view::npos) break;
    start = blank + 1;
  }
  return fields;
}

std::string drive_fields(const Drive& d) {
  return encode_text(d.firmware) + " " + encode_text(d.pending_revision) + " " +
         (d.pending_ready ? "1" : "0");
}

bool holds_drive(PhyDevice device) { return device == PhyDevice::Sata || device == PhyDevice::Stp; }

struct Update {
  Drive* drive;
  std::string running;
  std::string pending;
  bool ready;
};

// The last three fields of an entry line.
bool decode_drive_fields(const std::vector<std::string_view>& f, size_t first, Update& u,
                         std::string& reason) {
  if (!decode_text(f[first], kMaxRevisionBytes, u.running) ||
      !decode_text(f[first + 1], kMaxRevisionBytes, u.pending)) {
    reason = "bad firmware revision";
    return false;
  }
  if (f[first + 2] != "0" && f[first + 2] != "1") {
    reason = "bad readiness flag";
    return false;
  }
  u.ready = f[first + 2] == "1";
  return true;
}

bool decode_entry(std::string_view line, Update& u, std::string& reason) {
  for (unsigned char c : line) {
    if (c < 0x20 || c > 0x7E) {
      reason = "unexpected character";
      return false;
    }
  }
  const std::vector<std::string_view> f = split_fields(line);
  for (std::string_view field : f) {
    if (field.empty()) {
      reason = "empty field";
      return false;
    }
  }
  if (f[0] == "port" && f.size() == 5) {
    std::string path;
    if (!decode_text(f[1], kMaxPathBytes, path)) {
      reason = "bad path";
      return false;
    }
    Port* port = find_port(utf8_to_utf16(path));
    if (port == nullptr) {
      reason = "no drive at " + shown_name(path);
      return false;
    }
    u.drive = &port->drive;
    return decode_drive_fields(f, 2, u, reason);
  }
  if (f[0] == "adapter" && f.size() == 6) {
    int number = 0;
    int phy = 0;
    if (!decode_number(f[1], 255, number) || !decode_number(f[2], 31, phy)) {
      reason = "bad adapter or phy number";
      return false;
    }
    u.drive = nullptr;
    for (Adapter& a : world().adapters) {
      if (a.port == number && holds_drive(a.devices[static_cast<size_t>(phy)]))
        u.drive = &a.drives[static_cast<size_t>(phy)];
    }
    if (u.drive == nullptr) {
      reason = "no drive at adapter " + std::string(f[1]) + " phy " + std::string(f[2]);
      return false;
    }
    return decode_drive_fields(f, 3, u, reason);
  }
  reason = "unknown line";
  return false;
}

// The updates a sound text asks for, or false with a one-line reason.
bool parse_state(std::string_view text, std::vector<Update>& updates, std::string& reason) {
  if (text.empty() || text.back() != '\n') {
    reason = "not ended by a newline";
    return false;
  }
  std::vector<std::string_view> lines;
  for (size_t start = 0; start < text.size();) {
    const size_t nl = text.find('\n', start);
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  if (lines.front() != kHeader) {
    reason = "not a quillmark-sim state file";
    return false;
  }
  if (lines.size() < 2 || lines.back() != kEnd) {
    reason = "incomplete (no final \"end\")";
    return false;
  }
  std::set<const Drive*> seen;
  for (size_t i = 1; i + 1 < lines.size(); ++i) {
    Update u{};
    if (!decode_entry(lines[i], u, reason)) {
      reason = "line " + std::to_string(i + 1) + ": " + reason;
      return false;
    }
    if (!seen.insert(u.drive).second) {
      reason = "line " + std::to_string(i + 1) + ": drive named twice";
      return false;
    }
    updates.push_back(std::move(u));
  }
  return true;
}

}  // namespace

std::string format_state() {
  std::string text(kHeader);
  text += '\n';
  for (const Port& p : world().ports)
    text += "port " + encode_text(utf16_to_utf8(p.path)) + " " + drive_fields(p.drive) + "\n";
  for (const Adapter& a : world().adapters) {
    for (size_t phy = 0; phy < a.devices.size(); ++phy) {
      if (!holds_drive(a.devices[phy])) continue;
      text += "adapter " + std::to_string(a.port) + " " + std::to_string(phy) + " " +
              drive_fields(a.drives[phy]) + "\n";
    }
  }
  text += kEnd;
  text += '\n';
  return text;
}

bool apply_state(std::string_view text, std::string& reason) {
  std::vector<Update> updates;
  if (!parse_state(text, updates, reason)) return false;
  for (Update& u : updates) {
    u.drive->firmware = std::move(u.running);
    u.drive->pending_revision = std::move(u.pending);
    u.drive->pending_ready = u.ready;
  }
  return true;
}

int process_id() { return host::process_id(); }

std::string shown_name(const std::string& path) {
  return utf16_to_utf8(console::typed_text(utf8_to_utf16(path)));
}

namespace {

// Whether a text read from the path is a state file this world would load.
bool is_sound_state(const std::string& text, std::string& reason) {
  if (text.size() > kMaxFileBytes) {
    reason = "too large";
    return false;
  }
  std::vector<Update> updates;
  return parse_state(text, updates, reason);
}

}  // namespace

bool load_state_file(const std::string& path) {
  std::string text;
  std::string reason;
  switch (host::read_text(path, kMaxFileBytes + 1, text, reason)) {
    case host::Found::Nothing:
      return false;
    case host::Found::Refused:
      console::err("quillmark-sim: cannot read state file " + shown_name(path) + ": " + reason +
                   "\n");
      return false;
    case host::Found::Text:
      break;
  }
  if (text.size() > kMaxFileBytes)
    reason = "too large";
  else if (apply_state(text, reason))
    return true;
  console::err("quillmark-sim: ignoring damaged state file " + shown_name(path) + ": " + reason +
               "\n");
  return false;
}

bool write_state_file(const std::string& path, std::string& reason) {
  // Only a state file is replaced: whatever else has the name is the user's, or not a file.
  std::string existing;
  switch (host::read_text(path, kMaxFileBytes + 1, existing, reason)) {
    case host::Found::Nothing:
      break;
    case host::Found::Refused:
      reason += "; left as it is";
      return false;
    case host::Found::Text:
      if (!is_sound_state(existing, reason)) {
        reason = "damaged (" + reason + "); left as it is";
        return false;
      }
      break;
  }
  return host::replace_text(path, format_state(), reason);
}

bool save_state_file(const std::string& path) {
  std::string reason;
  if (write_state_file(path, reason)) return true;
  console::err("quillmark-sim: cannot save state file " + shown_name(path) + ": " + reason + "\n");
  return false;
}

}  // namespace sim
