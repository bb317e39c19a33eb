#include "app/texts.h"

#include <string_view>

#include "platform/console.h"

// Generated at configure time from licenses/eula.txt and the build machine's LGPL-3 text.
std::string_view embedded_eula_text();
std::string_view embedded_lgpl_text();

namespace {

constexpr std::string_view kVersion = QM_VERSION "-L";
// The compiler's date is already in the "Oct  4 2016" form we show.
constexpr std::string_view kBuildDate = __DATE__;

constexpr std::string_view kBannerRule =
    "==========================================================================\n";
constexpr std::string_view kTableRule =
    "-------------------------------------------------------------------------\n";

// Formatted print, one line at a time, never interpreting the text itself. A text that ends
// with a newline comes out byte for byte.
void print_verbatim(std::string_view text) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    console::printf("%.*s\n", static_cast<int>(line.size()), line.data());
    if (end == text.npos) break;
    text.remove_prefix(end + 1);
  }
}

}  // namespace

void print_banner() {
  std::string text(kBannerRule);
  text += "Tolvane Utility. Version: ";
  text += kVersion;
  text += " Build Date: ";
  text += kBuildDate;
  text += "\n";
  text += "Copyright (c) Tolvane. All rights reserved.\n";
  text += kBannerRule;
  console::out(text);
}

void print_usage(const std::string& invocation_name) {
  console::out("\n");
  console::out("Usage: " + invocation_name + " [prefix]<device> </D:firmware file> [options]\n");
  console::out(
      "\n"
      "Default Interface is SCSI Pass-Through.\n"
      "Use prefix /T: to use ATA Pass-Through.\n"
      "Use prefix /C: to use CSMI device.\n"
      "Use --license option to print license agreement.\n"
      "Use /h option to see this information.\n"
      "Use /v option to see verbose debug information.\n"
      "Use /i option to print device information.\n"
      "SATA Target options:\n"
      "  Use --scan to print CSMI devices in the system\n"
      "  Use /a option to use activate command (0x0F Feature Reg.)\n"
      "  Use /e option to use deferred download (0x0E Feature Reg.)\n"
      "  Use /s option to use segmented download (0x03 Feature Reg.)\n"
      "  Use /r <number> to keep retrying firmware download\n"
      "  Use /g <number> to set segment size.\n"
      "\n"
      "Examples:\n");
  // The examples hold device paths, so they go through the wide stream.
  console::wout(
      uR"(  Quillmark.exe \\.\PhysicalDrive0 /D:fw.LOD /s )"
      u"\n");
  console::wout(
      uR"(  Quillmark.exe /T:\\.\PhysicalDrive1 /D:fw.LOD /e )"
      u"\n");
  console::wout(
      uR"(  Quillmark.exe /C:\\.\SCSI3:1 /D:fw.LOD /e /a /v )"
      u"\n");
  console::wout(u"  Quillmark.exe /C:2,0000000500000000 /D:fw.LOD /e /a /v \n");
  std::string table = "\nReturn Codes Supported: \n";
  const std::string_view rows[] = {
      "| Code |         Description                                            |\n",
      "|  0   |  Firmware Update succeeded                                     |\n",
      "|  1   |  Firmware Filed due to device reasons                          |\n",
      "|  2   |  No Target device found                                        |\n",
      "|  4   |  Fialed due to invalid / corrupted firmware file               |\n",
      "|  8   |  Invalid Command Line argument                                 |\n",
      "|  9   |  Target Device interface not supported                         |\n",
  };
  table += kTableRule;
  for (std::string_view row : rows) {
    table += row;
    table += kTableRule;
  }
  console::out(table);
}

void print_license_texts() {
  print_verbatim(embedded_eula_text());
  console::printf("%s\n\n",
                  "=====================================================================");
  print_verbatim(embedded_lgpl_text());
}
