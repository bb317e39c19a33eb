// Small helpers several test files share: byte views of wire structures, image files on disk
// and console capture.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/console.h"
#include "transport/device_command.h"

using Bytes = std::vector<uint8_t>;

// n bytes of a structure from offset on.
inline Bytes range(const void* p, size_t offset, size_t n) {
  const auto* b = static_cast<const uint8_t*>(p) + offset;
  return Bytes(b, b + n);
}

// A little-endian 32-bit field of a request buffer.
inline uint32_t u32_at(const Bytes& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}

// Writes bytes to path; false when the file could not be written whole.
inline bool write_file(const std::string& path, const Bytes& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool whole = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && whole;
}

// The whole content of a file ("" when it cannot be read).
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// A whole expected output kept in tests/golden.
inline std::string golden(const std::string& name) {
  const auto path = std::filesystem::path(__FILE__).parent_path().parent_path() / "golden" / name;
  EXPECT_TRUE(std::filesystem::exists(path)) << "missing golden file " << path;
  return read_file(path.string());
}

struct Printed {
  std::string out, err;
};

// Runs f with the console captured and returns what it printed.
template <typename F>
Printed printed(F f) {
  console::capture_begin();
  f();
  Printed p{console::captured_out(), console::captured_err()};
  console::capture_end();
  return p;
}

// Names parameterized cases after their rows' name field.
template <typename Case>
std::string case_name(const testing::TestParamInfo<Case>& info) {
  return info.param.name;
}

// A record as the drive sequence prepares it before the opening: cleared, the interface,
// the verbosity and the 16-byte ATA PASS-THROUGH form.
inline DeviceCommand cleared_record(uint64_t interface, int verbosity = 0) {
  DeviceCommand cmd;
  std::memset(&cmd, 0, sizeof cmd);
  cmd.flags = interface;
  cmd.verbosity = verbosity;
  cmd.passthru_options = kPassThrough16;
  return cmd;
}
inline DeviceCommand cleared_record(InterfaceKind interface, int verbosity = 0) {
  return cleared_record(interface_flag(interface), verbosity);
}
