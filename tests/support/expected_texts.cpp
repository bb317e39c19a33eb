#include "support/expected_texts.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

std::string expected_banner() {
  const std::string rule(74, '=');
  return rule + "\n" + "Tolvane Utility. Version: " QM_VERSION "-L Build Date: " + __DATE__ + "\n" +
         "Copyright (c) Tolvane. All rights reserved.\n" + rule + "\n";
}

std::string expected_usage(const std::string& invocation_name) {
  // The one golden copy, as Quillmark.exe prints it (the wine test reads it too); only the
  // invocation name on its second line differs.
  const auto path =
      std::filesystem::path(__FILE__).parent_path().parent_path() / "golden" / "usage.txt";
  std::ifstream file(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::string golden_name = "Quillmark.exe";
  const size_t at = text.find("Usage: " + golden_name);
  if (at == std::string::npos) return "missing or damaged golden file " + path.string();
  return text.replace(at + 7, golden_name.size(), invocation_name);
}

std::string expected_option_error(const std::string& element, const std::string& invocation) {
  return "\nError in command line at " + element + "\n" + expected_usage(invocation);
}

std::string expected_invalid_option(const std::string& first, const std::string& invocation) {
  return "Invalid Command Line Option: " + first + "\n" + expected_usage(invocation);
}

std::string expected_warning() {
  return "\n\n\tPLEASE DO NOT CLOSE THIS WINDOW OR INTERRUPT THE FW DOWNLOAD PROCESS\n\n\n";
}

std::string expected_plan(int mode, uint64_t file_size, uint64_t transfers, uint64_t sectors,
                          uint64_t bytes_per_transfer, uint64_t remainder) {
  char mode_text[8];
  std::snprintf(mode_text, sizeof mode_text, "0x0%X", mode);
  return std::string("  ----------------------- \n   Downloading Code \n  Mode : ") + mode_text +
         "\n  File Size: " + std::to_string(file_size) +
         "\n  Number of Xfers: " + std::to_string(transfers) +
         "\n  Sectors Xfered with Each Xfer: " + std::to_string(sectors) +
         "\n  Data in Bytes per Xfer: " + std::to_string(bytes_per_transfer) +
         "\n  Remainder Bytes to Xfer: " + std::to_string(remainder) +
         "\n  -----------------------\n\n";
}
