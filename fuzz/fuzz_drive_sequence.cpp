// The whole tool over the hostile platform: a command line built from the first bytes (every
// path, the scan and target resolution included), every answer from the rest. Properties of
// the run as a whole:
//  - the exit code is one of the README's table;
//  - "/i" and a locked drive (SEC4; SEC5 and SEC6 with "/l") never get DOWNLOAD MICROCODE;
//  - exit 0 after a download only when the last pass delivered the whole image, segment after
//    segment from offset 0, with no segment whose answer said it failed and, in mode 0x03,
//    with no Count saying the drive expects more after the last segment or has it all before
//    it, whatever an activate pass did after it; exit 0 after an activate pass only when its
//    command was answered without failure;
//  - every segment carries the image bytes at the block offset it names, and nothing of a pass
//    follows a failed segment or one after which the drive said it had it all; an activate
//    pass is one command;
//  - requests go only to the device or adapter named, STP requests only to the phy named (or
//    found by the address named), and never to a handle that is not open;
//  - no byte outside printable ASCII from the drive or the driver reaches the terminal (tab,
//    carriage return and line end included);
//  - after the operator's interrupt nothing but the command in flight reaches the drive, the
//    exit code is 1 and the output ends with a line end; a claim another run holds ends with
//    exit 2 and no command;
//  - a download option without "/D:", "/a" or "/i" is a command-line error: exit 8, nothing
//    opened.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/entry.h"
#include "hostile_platform.h"
#include "platform/console.h"
#include "platform/text.h"
#include "property.h"

namespace {

using hostile::AtaCommand;

constexpr uint8_t kDownloadMicrocode = 0x92;
constexpr uint8_t kActivate = 0x0F;
constexpr uint64_t kActivatePiece = 0x800000;

enum class Target { Scsi, Ata, CsmiPhy, CsmiAddress, Scan };

// The command line, as the first bytes of the input describe it.
struct CommandLine {
  Target target = Target::Scsi;
  bool file = false;
  bool segmented = false;
  bool deferred = false;
  bool activate = false;
  bool info = false;
  bool l_switch = false;
  bool segment_size = false;
  int retries = 0;
  int adapter_port = hostile::kBenignAdapterPort;
  int phy = 0;
  uint8_t address[8] = {};
  std::vector<std::u16string> args;
};

// The first 15 bytes: [0] the target (drive, "/T:", "/C:" phy form, "/C:" address form,
// "--scan") and above that the claim (granted, held by another run, not to be had); [1] "/D:",
// "/s", "/e", "/a", "/i", "/l", "/v", "/vv", one bit each; [2] bits 0-1 the retry count, bit 2 "/g"
// with [3], bit 3 the address typed from [7..14] (else the address of the benign adapter's phy [4]
// % 10), bit 4 adapter port 3 (not there) for 2, bits 5-7 with [3] the point of the operator's
// interrupt (0: none); [4] the phy; [5] the image size; [6] the image's pattern. The answers
// follow.
constexpr size_t kHeaderSize = 15;

// Image sizes: mostly small; rarely past the 65,535-block limit (refused before it is read) or
// just past the 8 MiB activate piece (a whole image's copying, hence rare).
uint64_t image_size(uint8_t selector) {
  static constexpr std::array<uint64_t, 2> kLarge = {33553921, 8388609};
  static constexpr std::array<uint64_t, 24> kSmall = {
      0,     1,     2,     511,   512,   513,    1000,   1536,   2048,   2049,   4095, 32767,
      32768, 32769, 65535, 65536, 70000, 100000, 130560, 131072, 131073, 200000, 600,  5000};
  if (selector >= 254) return kLarge[selector - 254];
  return kSmall[selector % kSmall.size()];
}

std::u16string hex_address(const uint8_t (&address)[8]) {
  static const char kHex[] = "0123456789abcdef";
  std::u16string text;
  for (uint8_t b : address) {
    text += static_cast<char16_t>(kHex[b >> 4]);
    text += static_cast<char16_t>(kHex[b & 0x0F]);
  }
  return text;
}

std::u16string decimal(int n) { return u16(std::to_string(n)); }

hostile::Plan plan_of(const uint8_t* h) {
  hostile::Plan plan;
  const int k = h[2] >> 5;
  plan.interrupt_at = k == 0 ? 0 : (k - 1) * 256 + h[3] + 1;
  plan.claim = static_cast<hostile::Claim>(h[0] / 5 % 3);
  return plan;
}

CommandLine command_line(const uint8_t* h) {
  CommandLine c;
  c.target = static_cast<Target>(h[0] % 5);
  const uint8_t o = h[1];
  c.file = o & 0x01;
  c.segmented = o & 0x02;
  c.deferred = o & 0x04;
  c.activate = o & 0x08;
  c.info = o & 0x10;
  c.l_switch = o & 0x20;
  c.retries = h[2] & 0x03;
  c.segment_size = h[2] & 0x04;
  if (h[2] & 0x10) c.adapter_port = 3;  // an adapter the benign world does not have

  std::u16string first;
  switch (c.target) {
    case Target::Scsi:
      first = u"\\\\.\\PhysicalDrive0";
      break;
    case Target::Ata:
      first = u"/T:\\\\.\\PhysicalDrive1";
      break;
    case Target::CsmiPhy:
      c.phy = h[4] % 36;
      first = u"/C:\\\\.\\SCSI" + decimal(c.adapter_port) + u":" + decimal(c.phy);
      break;
    case Target::CsmiAddress:
      if (h[2] & 0x08)
        std::memcpy(c.address, h + 7, 8);
      else
        hostile::benign_attached_address(static_cast<uint8_t>(h[4] % 10), c.address);
      first = u"/C:" + decimal(c.adapter_port) + u"," + hex_address(c.address);
      break;
    case Target::Scan:
      first = u"--scan";
      break;
  }
  c.args = {u"quillmark", first};
  if (c.file) c.args.push_back(u"/D:fw.bin");
  if (c.segmented) c.args.push_back(u"/s");
  if (c.deferred) c.args.push_back(u"/e");
  if (c.activate) c.args.push_back(u"/a");
  if (c.info) c.args.push_back(u"/i");
  if (c.l_switch) c.args.push_back(u"/l");
  if (o & 0x80)
    c.args.push_back(u"/vv");
  else if (o & 0x40)
    c.args.push_back(u"/v");
  if (c.retries > 0) {
    c.args.push_back(u"/r");
    c.args.push_back(decimal(c.retries));
  }
  if (c.segment_size) {
    c.args.push_back(u"/g");
    c.args.push_back(decimal(h[3]));
  }
  return c;
}

bool exit_code_in_table(int code) {
  switch (code) {
    case 0:
    case 1:
    case 2:
    case 4:
    case 5:
    case 6:
    case 8:
    case 9:
    case 10:
      return true;
    default:
      return false;
  }
}

// The security state word 128 describes, straight from ATA: frozen first, then locked.
bool refused_by_security(const uint8_t* identify, bool l_switch) {
  const uint16_t w = static_cast<uint16_t>(identify[256] | identify[257] << 8);
  const bool enabled = w & 0x0002;
  const bool locked = w & 0x0004;
  const bool frozen = w & 0x0008;
  if (!frozen && enabled && locked) return true;  // SEC4
  return l_switch && enabled;                     // SEC5 or SEC6 ("/l")
}

// Every byte the hostile input can put into a text is outside the tool's own layout, which
// uses only these: line ends; tabs that open a line (the warning, the scan, the dumps); a
// carriage return that opens a progress line ("\r\t"); and the spinner's line between the
// bar and its " : ". Any other byte outside 0x20-0x7E came from a drive or a driver.
bool only_printable_from_outside(const std::string& text) {
  const std::string hline(console::hline());
  bool line_start = true;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\t')) {
      line_start = true;
      continue;
    }
    if (c == '\t' && line_start) continue;
    line_start = false;
    if (c >= 0x20 && c <= 0x7E) continue;
    if (text.compare(i, hline.size(), hline) == 0 && i >= 2 && text.compare(i - 2, 2, "+ ") == 0 &&
        text.compare(i + hline.size(), 3, " : ") == 0) {
      i += hline.size() - 1;
      continue;
    }
    return false;
  }
  return true;
}

bool is_ata_drive_entry(const CSMI_SAS_PHY_ENTITY& e) {
  return e.Identify.bDeviceType != CSMI_SAS_NO_DEVICE_ATTACHED &&
         e.Attached.bDeviceType != CSMI_SAS_NO_DEVICE_ATTACHED &&
         (e.Attached.bTargetPortProtocol == CSMI_SAS_PROTOCOL_SATA ||
          e.Attached.bTargetPortProtocol == CSMI_SAS_PROTOCOL_STP);
}

bool addressed_to(const AtaCommand& c, const CSMI_SAS_PHY_ENTITY& e) {
  return std::memcmp(c.destination, e.Attached.bSASAddress, 8) == 0 &&
         c.phy_identifier == e.Identify.bPhyIdentifier && c.port_identifier == e.bPortIdentifier;
}

// The phy a drive command may reach: the typed one, or for the address form the last entry
// whose attached address is the one typed (and that takes ATA commands at all).
void check_stp_targets(const CommandLine& line, const hostile::Record& r) {
  for (const AtaCommand& c : r.commands) {
    if (c.path != AtaCommand::Path::Stp) continue;
    const auto table = r.phy_tables.find(c.handle);
    require(table != r.phy_tables.end(), "STP request before the adapter's phy table was read");
    const CSMI_SAS_PHY_ENTITY* phys = table->second.Phy;
    if (line.target == Target::CsmiPhy) {
      require(line.phy < 32, "STP request to a phy index beyond the table");
      require(is_ata_drive_entry(phys[line.phy]), "STP request to a phy without an ATA drive");
      require(addressed_to(c, phys[line.phy]), "STP request not addressed to the phy named");
      continue;
    }
    require(std::memcmp(c.destination, line.address, 8) == 0,
            "STP request to another SAS address than the one named");
    if (line.l_switch) {
      require(c.phy_identifier == 0 && c.port_identifier == 0,
              "\"/l\" request not sent by address alone");
      continue;
    }
    int chosen = -1;
    for (int i = 0; i < 32; ++i) {
      const CSMI_SAS_PHY_ENTITY& e = phys[i];
      const uint8_t protocol = e.Attached.bTargetPortProtocol;
      if (e.Identify.bDeviceType != 0 && e.Attached.bDeviceType != 0 &&
          (protocol == CSMI_SAS_PROTOCOL_SATA || protocol == CSMI_SAS_PROTOCOL_STP ||
           protocol == CSMI_SAS_PROTOCOL_SSP) &&
          std::memcmp(e.Attached.bSASAddress, line.address, 8) == 0)
        chosen = i;
    }
    require(chosen >= 0, "STP request although no phy has the address named");
    require(is_ata_drive_entry(phys[chosen]), "STP request to a phy without an ATA drive");
    require(addressed_to(c, phys[chosen]), "STP request not sent to the phy found by address");
  }
}

void check_scan(const hostile::Record& r, int exit_code) {
  require(exit_code == 0, "the scan ends with exit code 0");
  require(r.drive_opens.empty(), "the scan opens no drive");
  for (const AtaCommand& c : r.commands) {
    require(c.command != kDownloadMicrocode, "the scan sends no DOWNLOAD MICROCODE");
    if (c.path != AtaCommand::Path::Stp) continue;
    const auto table = r.phy_tables.find(c.handle);
    require(table != r.phy_tables.end(), "scan STP request before the phy table was read");
    bool listed = false;
    for (const CSMI_SAS_PHY_ENTITY& e : table->second.Phy)
      listed = listed || (is_ata_drive_entry(e) && addressed_to(c, e));
    require(listed, "scan STP request to no ATA drive of the phy table");
  }
}

// One download pass: segments follow each other from offset 0, each carries the image bytes
// it names, and nothing is sent after a failed one. Returns whether the pass delivered the
// whole image with no failed segment.
bool check_download_pass(const hostile::Record& r, int pass, uint8_t mode) {
  const uint64_t image = r.images[static_cast<size_t>(pass - 1)].image_size;
  const uint64_t whole = (image + 511) / 512 * 512;
  uint32_t next_block = 0;
  uint64_t delivered = 0;
  bool failed = false;
  bool completed_early = false;
  bool expects_more = false;
  bool any = false;
  for (const AtaCommand& c : r.commands) {
    if (c.pass != pass || c.command != kDownloadMicrocode) continue;
    // A block refused for asking the registers back is sent again without asking.
    if (c.ck_cond_refused) continue;
    require(!failed, "a segment sent after a failed one in the same pass");
    require(!completed_early, "a segment sent after the drive said it had the whole image");
    require(c.features == mode, "a download pass sends another sub-command than its mode");
    require(c.direction == 2, "a download segment without data");
    require(c.block_offset() == next_block, "a segment not at the offset after the previous one");
    require(c.data_length == uint32_t{c.block_count()} * 512,
            "a segment's block count does not describe its data");
    require(c.data_matches_image, "a segment does not carry the image bytes at its offset");
    next_block += c.block_count();
    delivered += c.data_length;
    failed = failed || c.failed;
    // In mode 0x03 the drive's Count says whether it expects more (1) or has it all (2).
    if (mode == 0x03 && !c.failed) {
      completed_early = c.verdict == 2 && delivered < whole;
      expects_more = c.verdict == 1 && delivered >= whole;
    }
    any = true;
  }
  return any && !failed && !completed_early && !expects_more && image > 0 && delivered == whole;
}

// The activate pass: one command, no data, the counts of the first 8 MiB piece. Returns
// whether it was sent and answered without failure.
bool check_activate_pass(const hostile::Record& r, int pass) {
  int sent = 0;
  bool ok = false;
  // Alone ("/a" without "/D:") it reads no image and its counts are 0.
  const uint64_t image = pass == 0 ? 0 : r.images[static_cast<size_t>(pass - 1)].image_size;
  for (const AtaCommand& c : r.commands) {
    if (c.pass != pass || c.command != kDownloadMicrocode) continue;
    ++sent;
    require(sent == 1, "more than one activate command in the activate pass");
    require(c.features == kActivate, "the activate pass sends another sub-command");
    require(c.direction == 0, "an activate command with data");
    require(c.block_offset() == 0, "an activate command not at offset 0");
    require(c.block_count() == static_cast<uint16_t>(std::min(image, kActivatePiece) / 512),
            "an activate command whose counts are not those of the first piece");
    ok = !c.failed;
  }
  return ok;
}

void check_drive_command(const CommandLine& line, const hostile::Record& r, int exit_code) {
  if (r.claim_busy) {
    require(exit_code == 2, "a drive another run holds ends with another exit code than 2");
    require(r.commands.empty(), "a command sent to a drive another run holds");
    return;
  }
  // Only the device or adapter named is opened, and requests go to nothing else.
  const bool csmi = line.target == Target::CsmiPhy || line.target == Target::CsmiAddress;
  if (csmi) {
    require(r.drive_opens.empty(), "a CSMI target opens a drive");
    require(r.adapter_opens.size() <= 1, "the adapter is opened more than once");
    for (const std::u16string& path : r.adapter_opens)
      require(path == u"\\\\.\\SCSI" + decimal(line.adapter_port) + u":",
              "another adapter opened than the one named");
    check_stp_targets(line, r);
  } else {
    require(r.adapter_opens.empty(), "a drive path opens an adapter");
    require(r.drive_opens.size() <= 1, "the drive is opened more than once");
    const std::u16string named =
        line.target == Target::Ata ? u"\\\\.\\PhysicalDrive1" : u"\\\\.\\PhysicalDrive0";
    for (const std::u16string& path : r.drive_opens)
      require(path == named, "another drive opened than the one named");
  }
  require(r.handle_paths.size() <= 1, "more than one device handle in a drive command");

  bool microcode = false;
  for (const AtaCommand& c : r.commands) microcode = microcode || c.command == kDownloadMicrocode;
  if (line.info) {
    require(!microcode, "\"/i\" sent DOWNLOAD MICROCODE");
    require(exit_code != 0, "\"/i\" ended with exit code 0");
  }
  if (microcode) {
    require(r.first_identify_seen, "DOWNLOAD MICROCODE before any IDENTIFY DEVICE");
    require(!refused_by_security(r.first_identify, line.l_switch),
            "DOWNLOAD MICROCODE sent to a drive whose security state forbids it");
  }

  // Passes: every image opening is one; with "/a" the last is the activate pass.
  const int passes = static_cast<int>(r.images.size());
  const int download_passes = line.activate && line.file && passes > 0 ? passes - 1 : passes;
  const uint8_t mode = line.deferred ? 0x0E : line.segmented ? 0x03 : 0x07;
  bool last_download_whole = false;
  for (int p = 1; p <= download_passes; ++p) last_download_whole = check_download_pass(r, p, mode);
  const int activate_pass = line.file ? passes : 0;
  const bool activated =
      line.activate && (!line.file || passes > 0) && check_activate_pass(r, activate_pass);

  if (exit_code == 0) {
    // An activation cannot make up for a failed download: it would switch to some other image.
    // After an immediate download (0x03, 0x07) the drive has nothing pending and may refuse it.
    if (line.activate && !(line.file && mode != 0x0E && last_download_whole))
      require(activated, "exit code 0 although the activate command failed or was not sent");
    if (line.file)
      require(last_download_whole, "exit code 0 although the last pass did not deliver the image");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kHeaderSize) return 0;
  const CommandLine line = command_line(data);
  hostile::begin(line.args, data + kHeaderSize, size - kHeaderSize, image_size(data[5]), data[6],
                 plan_of(data));

  std::vector<std::string> narrow;
  for (const std::u16string& arg : line.args) narrow.push_back(utf16_to_utf8(arg));
  std::vector<char*> argv;
  for (std::string& arg : narrow) argv.push_back(arg.data());
  argv.push_back(nullptr);

  console::capture_begin();
  const int exit_code = quillmark_main(static_cast<int>(narrow.size()), argv.data());
  const std::string out = console::captured_out();
  const std::string err = console::captured_err();
  console::capture_end();

  const hostile::Record& r = hostile::record();
  // QUILLMARK_FUZZ_SHOW=1 when replaying one input: what ran and what the tool printed.
  if (std::getenv("QUILLMARK_FUZZ_SHOW") != nullptr) {
    for (const std::string& arg : narrow) std::fprintf(stderr, "%s ", arg.c_str());
    std::fprintf(stderr, "\n%s%s\nexit code %d, %zu ATA commands, %zu image openings\n",
                 out.c_str(), err.c_str(), exit_code, r.commands.size(), r.images.size());
  }
  require(exit_code_in_table(exit_code), "exit code outside the README's table");
  require(!r.foreign_handle_used, "a request on a handle that is not open");
  require(only_printable_from_outside(out) && only_printable_from_outside(err),
          "a byte outside printable ASCII reached the terminal from a drive or a driver");
  const bool download_option =
      line.segmented || line.deferred || line.retries > 0 || line.segment_size;
  if (download_option && !line.file && !line.activate && !line.info) {
    require(exit_code == 8, "a download option without an image is not a command-line error");
    require(r.drive_opens.empty() && r.adapter_opens.empty(), "a refused command line opened");
    hostile::end();
    return 0;
  }
  if (r.interrupted) {
    require(r.requests_after_interrupt == 0, "a request after the interrupt's command in flight");
    require(exit_code == 1, "an interrupted run ends with another exit code than 1");
    require(out.empty() || out.back() == '\n', "an interrupted run leaves a line unfinished");
    require(err.empty() || err.back() == '\n', "an interrupted run's error line is unfinished");
    hostile::end();
    return 0;
  }
  if (line.target == Target::Scan)
    check_scan(r, exit_code);
  else
    check_drive_command(line, r, exit_code);
  hostile::end();
  return 0;
}
