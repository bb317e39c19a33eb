#include "support/expected_texts.h"

#include <cstdio>
#include <vector>

std::string expected_banner() {
  const std::string rule(74, '=');
  return rule + "\n" + "Tolvane Utility. Version: 1.0.4-L Build Date: " + __DATE__ + "\n" +
         "Copyright (c) Tolvane. All rights reserved.\n" + rule + "\n";
}

std::string expected_usage(const std::string& invocation_name) {
  const std::string hyphens(73, '-');
  const std::vector<std::string> lines = {
      "",
      "Usage: " + invocation_name + " [prefix]<device> </D:firmware file> [options]",
      "",
      "Default Interface is SCSI Pass-Through.",
      "Use prefix /T: to use ATA Pass-Through.",
      "Use prefix /C: to use CSMI device.",
      "Use --license option to print license agreement.",
      "Use /h option to see this information.",
      "Use /v option to see verbose debug information.",
      "Use /i option to print device information.",
      "SATA Target options:",
      "  Use --scan to print CSMI devices in the system",
      "  Use /a option to use activate command (0x0F Feature Reg.)",
      "  Use /e option to use deferred download (0x0E Feature Reg.)",
      "  Use /s option to use segmented download (0x03 Feature Reg.)",
      "  Use /r <number> to keep retrying firmware download",
      "  Use /g <number> to set segment size.",
      "",
      "Examples:",
      R"(  Quillmark.exe \\.\PhysicalDrive0 /D:fw.LOD /s )",
      R"(  Quillmark.exe /T:\\.\PhysicalDrive1 /D:fw.LOD /e )",
      R"(  Quillmark.exe /C:\\.\SCSI3:1 /D:fw.LOD /e /a /v )",
      "  Quillmark.exe /C:2,0000000500000000 /D:fw.LOD /e /a /v ",
      "",
      "Return Codes Supported: ",
      hyphens,
      "| Code |         Description                                            |",
      hyphens,
      "|  0   |  Firmware Update succeeded                                     |",
      hyphens,
      "|  1   |  Firmware Filed due to device reasons                          |",
      hyphens,
      "|  2   |  No Target device found                                        |",
      hyphens,
      "|  4   |  Fialed due to invalid / corrupted firmware file               |",
      hyphens,
      "|  8   |  Invalid Command Line argument                                 |",
      hyphens,
      "|  9   |  Target Device interface not supported                         |",
      hyphens,
  };
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
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
