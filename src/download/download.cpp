// The firmware download engine: one pass reads the image once, plans the transfers and sends
// them as DOWNLOAD MICROCODE commands, each pointing into the one image buffer.
#include "download/download.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/ata.h"
#include "platform/console.h"
#include "platform/text.h"

namespace {

constexpr uint32_t kBlock = 512;
// Seconds every DOWNLOAD MICROCODE command may take, on every path.
constexpr uint32_t kDownloadTimeout = 5;
// The block count and the block offset of the command are 16-bit fields.
constexpr uint64_t kMaxImageBlocks = 0xFFFF;
// The activate pass describes at most this much of the image.
constexpr uint32_t kActivateChunk = 0x800000;

// Every transfer points into the image buffer, so its start decides how the operating system
// can carry it: Linux SG_IO maps a buffer page by page and refuses a 1 MiB transfer that
// straddles one page more than the disk's segment limit, and a Windows adapter states an
// alignment of its own. A page boundary satisfies both.
constexpr std::align_val_t kImageAlignment{4096};

// The image buffer, returned the way it was obtained (aligned) on every path.
struct ImageRelease {
  void operator()(uint8_t* bytes) const { ::operator delete(bytes, kImageAlignment); }
};
using ImageBuffer = std::unique_ptr<uint8_t, ImageRelease>;

// The image: file_size bytes read from the file, in a zero-filled buffer of whole blocks so
// that a transfer of a partial last block carries zeros past the end of the file.
struct Image {
  ImageBuffer bytes;
  int64_t file_size = 0;
};

// The image file for the time it is read: closed whichever way the reading ends.
class FirmwareFile {
 public:
  explicit FirmwareFile(Handle handle) : handle_(handle) {}
  FirmwareFile(const FirmwareFile&) = delete;
  FirmwareFile& operator=(const FirmwareFile&) = delete;
  ~FirmwareFile() {
    if (handle_ != kInvalidHandle) platform_file_close(handle_);
  }
  Handle get() const { return handle_; }

 private:
  Handle handle_;
};

uint64_t whole_blocks(uint64_t bytes) { return (bytes + kBlock - 1) / kBlock; }

// A page-aligned buffer of `blocks` whole blocks for an image of `file_size` bytes, or null
// when memory is short. Only the padding past the file's end is zeroed here: the read fills
// the rest, and a read that falls short discards the buffer. Zeroing all of it would touch a
// 32 MiB image twice.
ImageBuffer allocate_image(uint64_t blocks, uint64_t file_size) {
  const size_t bytes = static_cast<size_t>(blocks * kBlock);
  void* p = ::operator new(bytes, kImageAlignment, std::nothrow);
  if (p != nullptr) std::memset(static_cast<uint8_t*>(p) + file_size, 0, bytes - file_size);
  return ImageBuffer(static_cast<uint8_t*>(p));
}

// An unusable image: reported on the error stream under "/v" for each pass (a missing file in
// the words the tool has always used), and kept for the closing line, which names the file.
int refuse_image(const DeviceCommand& cmd, const std::u16string& name, std::string verbose_text,
                 std::string_view why, DownloadReport& report) {
  if (cmd.verbosity != 0) console::err(verbose_text + "\n");
  report.why = name.empty()
                   ? std::string("No firmware file was named (/D:<file>)")
                   : "Cannot use the firmware file " + utf16_to_utf8(console::typed_text(name)) +
                         ": " + std::string(why);
  return kResultFileFailed;
}

bool digest_matches(const std::array<uint8_t, 32>& expected, const DownloadReport& report) {
  return report.digested && std::memcmp(expected.data(), report.sha256, 32) == 0;
}

// Reads the image the pass names. Its digest, when asked for or when one is expected, comes
// from the buffer just read, never from a second read of the file: the bytes checked are the
// bytes sent.
int load_image(const DeviceCommand& cmd, const DownloadParams& params, Image& image,
               DownloadReport& report) {
  const std::u16string& name = params.file_name;
  std::string error_text;
  const FirmwareFile file(platform_file_open(name, error_text));
  if (file.get() == kInvalidHandle)
    return refuse_image(cmd, name, "File Open Failure: " + error_text, error_text, report);
  const int64_t size = platform_file_size(file.get());
  if (size < 0) {
    const std::string text = "Firmware file size cannot be determined";
    return refuse_image(cmd, name, text, "its size cannot be determined", report);
  }
  report.image_size = size;
  if (size == 0) return refuse_image(cmd, name, "Firmware file is empty", "it is empty", report);
  // Refused before anything is sent: a count or offset past 65,535 blocks would wrap.
  const uint64_t blocks = whole_blocks(static_cast<uint64_t>(size));
  if (blocks > kMaxImageBlocks) {
    const std::string sizes =
        std::to_string(size) + " bytes, at most " + std::to_string(kMaxImageBlocks * kBlock);
    return refuse_image(cmd, name, "Firmware file too large: " + sizes, "too large: " + sizes,
                        report);
  }
  ImageBuffer bytes = allocate_image(blocks, static_cast<uint64_t>(size));
  if (bytes == nullptr) {
    report.why = "Not enough memory for the firmware image (" + std::to_string(size) + " bytes)";
    return kResultNoMemory;
  }
  int64_t got = 0;
  while (got < size) {
    const int64_t n = platform_file_read(file.get(), bytes.get() + got, size - got);
    if (n <= 0) break;
    got += n;
  }
  if (got != size) {
    const std::string counts = std::to_string(got) + " of " + std::to_string(size) + " bytes";
    return refuse_image(cmd, name, "Short read of the firmware file: " + counts,
                        "short read, " + counts, report);
  }
  // The digest comes from the buffer just read, never from a second read of the file.
  const std::array<uint8_t, 32>* expected = params.expected_sha256;
  if (params.digest || expected != nullptr)
    report.digested = platform_sha256(bytes.get(), static_cast<size_t>(size), report.sha256);
  if (expected != nullptr && !digest_matches(*expected, report)) {
    report.why = "The firmware file " + utf16_to_utf8(console::typed_text(name)) +
                 " does not have the SHA-256 given: expected " +
                 hex_text(expected->data(), expected->size()) + ", actual " +
                 (report.digested ? hex_text(report.sha256, 32) : std::string("not computable"));
    return kResultFileFailed;
  }
  image.bytes = std::move(bytes);
  image.file_size = size;
  return kResultSuccess;
}

// One DOWNLOAD MICROCODE command of a pass: where its data starts in the image, its block
// offset and count, and the share of the image the progress line shows after it.
struct Transfer {
  uint32_t start = 0;  // bytes into the image
  uint16_t offset = 0;
  uint16_t blocks = 0;
  int share = 0;
  bool remainder = false;  // the final short transfer: a marker instead of a progress line
};

// The figures the plan shows, and the transfers in the order they go out: the full ones, then
// the short remainder when the image leaves one.
struct Plan {
  uint32_t transfer_size = 0;  // bytes per full transfer
  uint16_t blocks = 0;         // blocks per full transfer as sent
  uint16_t transfers = 0;      // full transfers
  uint32_t remainder = 0;      // bytes of the final short transfer
  std::vector<Transfer> sends;
};

Plan make_plan(int64_t file_size, DownloadMode mode, uint8_t segment_blocks) {
  const auto size = static_cast<uint64_t>(file_size);
  Plan plan;
  if (mode == DownloadMode::DownloadImmediate)
    plan.transfer_size = static_cast<uint32_t>(size);
  else if (segment_blocks != 0)
    plan.transfer_size = segment_blocks * kBlock;
  else
    plan.transfer_size = static_cast<uint32_t>(std::min<uint64_t>(size, kActivateChunk));
  plan.transfers = static_cast<uint16_t>(size / plan.transfer_size);
  plan.remainder = static_cast<uint32_t>(size % plan.transfer_size);
  // Data transfers carry whole blocks: a partial last block goes out padded with zeros.
  plan.blocks = static_cast<uint16_t>(whole_blocks(plan.transfer_size));
  const float transfers = static_cast<float>(plan.transfers);
  plan.sends.reserve(plan.transfers + 1u);
  for (uint32_t i = 0; i < plan.transfers; ++i) {
    Transfer t;
    t.start = i * plan.transfer_size;
    t.offset = static_cast<uint16_t>(i * plan.blocks);
    t.blocks = plan.blocks;
    t.share = static_cast<int>(std::floor(static_cast<float>(i) / transfers * 100.0f));
    plan.sends.push_back(t);
  }
  if (plan.remainder != 0) {
    Transfer t;
    t.start = plan.transfers * plan.transfer_size;
    t.offset = static_cast<uint16_t>(plan.transfers * plan.blocks);
    t.blocks = static_cast<uint16_t>(whole_blocks(plan.remainder));
    t.remainder = true;
    plan.sends.push_back(t);
  }
  return plan;
}

// The plan's figures, for the run report.
void note_plan(const Plan& plan, DownloadReport& report) {
  report.planned = true;
  report.transfer_size = plan.transfer_size;
  report.blocks = plan.blocks;
  report.transfers = plan.transfers;
  report.remainder = plan.remainder;
}

void print_plan(DownloadMode mode, int64_t file_size, const Plan& plan) {
  console::out("  ----------------------- \n   Downloading Code \n");
  console::printf("  Mode : 0x0%X\n", static_cast<unsigned>(mode));
  console::printf("  File Size: %lld\n", static_cast<long long>(file_size));
  console::printf("  Number of Xfers: %u\n", static_cast<unsigned>(plan.transfers));
  console::printf("  Sectors Xfered with Each Xfer: %u\n", static_cast<unsigned>(plan.blocks));
  console::printf("  Data in Bytes per Xfer: %u\n", plan.transfer_size);
  console::printf("  Remainder Bytes to Xfer: %u\n", plan.remainder);
  console::out("  -----------------------\n\n");
}

void print_warning() {
  console::out("\n\n\tPLEASE DO NOT CLOSE THIS WINDOW OR INTERRUPT THE FW DOWNLOAD PROCESS\n\n\n");
}

// One progress line: "\r\t", the bar, the spinner, the share in per cent. Built in place,
// since a small segment size means tens of thousands of lines per pass.
void print_progress(Spinner& spinner, int bar_length, int shown) {
  static const std::string_view kSpinner[4] = {"|", "/", console::hline(), "\\"};
  const std::string_view spin = kSpinner[++spinner.turns % 4];
  char line[64];
  char* p = line;
  *p++ = '\r';
  *p++ = '\t';
  for (int i = 0; i < bar_length; ++i) *p++ = '+';
  *p++ = ' ';
  for (char c : spin) *p++ = c;
  *p++ = ' ';
  *p++ = ':';
  *p++ = ' ';
  p = std::to_chars(p, line + sizeof line - 1, shown).ptr;
  *p++ = '%';
  console::out(std::string_view(line, static_cast<size_t>(p - line)));
  // The console holds lines back; a new percentage is worth showing at once.
  if (shown != spinner.last_shown) console::flush();
  spinner.last_shown = shown;
}

void print_share(Spinner& spinner, int share) {
  // The bar grows by one sign per 5 per cent; 1 per cent shows as 0.
  const int bar = static_cast<int>(static_cast<float>(share) / 5.0f) + 1;
  print_progress(spinner, bar, share == 1 ? 0 : share);
}

// Sets the record up for one DOWNLOAD MICROCODE of the given block count for the given block
// offset and image position. The record holds it whichever way the transfer is carried, so
// that what later commands inherit does not depend on the way.
void place(DeviceCommand& cmd, uint16_t blocks, uint16_t offset, uint8_t* position) {
  set_download_block_count(cmd.regs, blocks);
  set_download_block_offset(cmd.regs, offset);
  cmd.data = position;
}

// Sends one DOWNLOAD MICROCODE by pass-through.
int send(DeviceCommand& cmd, uint16_t blocks, uint16_t offset, uint8_t* position,
         ReturnedRegisters* outputs) {
  place(cmd, blocks, offset, position);
  return issue_command(cmd, outputs);
}

// Why the firmware API cannot carry this plan, or nothing when it can: the driver must offer
// an upgrade into a slot it may write, and take every transfer as it stands (offset and size
// multiples of its alignment, no transfer above its maximum).
std::string api_unfit(const FirmwareApiRoute& route, const Plan& plan) {
  const FirmwareApiInfo& info = route.info;
  if (route.forced_passthrough) return "forced by --pass-through";
  if (!info.answered)
    return "the driver does not offer the firmware API (system error " +
           std::to_string(info.os_error) + ")";
  if (!info.support_upgrade) return "the driver reports no firmware upgrade support";
  if (info.download_slot == STORAGE_HW_FIRMWARE_INVALID_SLOT)
    return "the driver reports no writable firmware slot";
  const std::string alignment = " the driver's alignment of " + std::to_string(info.alignment);
  if (info.alignment == 0 || plan.transfer_size % info.alignment != 0)
    return "the segment size of " + std::to_string(plan.transfer_size) +
           " bytes is not a multiple of" + alignment + " bytes";
  for (const Transfer& t : plan.sends) {
    const uint32_t bytes = t.blocks * kBlock;
    if (bytes > info.max_size)
      return "a transfer of " + std::to_string(bytes) + " bytes exceeds the driver's maximum of " +
             std::to_string(info.max_size) + " bytes";
    if (bytes % info.alignment != 0)
      return "the last transfer of " + std::to_string(bytes) + " bytes is not a multiple of" +
             alignment + " bytes";
  }
  return {};
}

// The verbose line that names the way a pass's commands are carried.
void print_carrier(bool by_api, const FirmwareApiRoute& route, const std::string& why_not) {
  if (by_api)
    console::out("  Carried by: storage firmware API, slot " +
                 std::to_string(route.info.download_slot) + "\n");
  else
    console::out("  Carried by: pass-through; " + why_not + "\n");
}

// The drive's verdict on a segment of mode 0x03, from its Count output: a drive that still
// expects more after the last segment, or has the whole image before it, did not take the
// image that was named (a truncated file, say). Any other Count, or none, says nothing.
// `sent` counts the image's bytes sent so far, this segment's included.
int judge_segment(const ReturnedRegisters& outputs, bool last, uint64_t sent, int64_t file_size,
                  DownloadReport& report) {
  if (!outputs) return kResultSuccess;
  const uint64_t size = static_cast<uint64_t>(file_size);
  if (last || outputs->count == kAtaDmTransferComplete) report.verdict = outputs->count;
  if (last && outputs->count == kAtaDmExpectsMore) {
    report.why = "The download failed: the drive expects more data than the image holds: " +
                 std::to_string(size) + " of the image's bytes were sent";
    return kResultDriveError;
  }
  if (!last && outputs->count == kAtaDmTransferComplete) {
    report.why = "The download failed: the drive completed the transfer at " +
                 std::to_string(std::min(sent, size)) + " of " + std::to_string(size) + " bytes";
    return kResultDriveError;
  }
  return kResultSuccess;
}

// The registers and request fields every command of the pass shares; each transfer then sets
// its block count and offset.
void prepare_command(DeviceCommand& cmd, DownloadMode mode, DataDirection direction) {
  cmd.direction = direction;
  cmd.timeout = kDownloadTimeout;
  cmd.register_set = RegisterSet::Lba28;
  cmd.protocol = AtaProtocol::Pio;
  cmd.regs.features_7_0 = static_cast<uint8_t>(mode);
  cmd.regs.device = kAtaDeviceLba;
  cmd.regs.command = kAtaDownloadMicrocode;
}

// A pass that failed without a verdict of the drive's own: how far it got, and the result.
std::string failed_after(uint64_t sent, int64_t file_size, int result, uint32_t os_error) {
  return "The download failed after " + std::to_string(sent) + " of the image's " +
         std::to_string(file_size) + " bytes: " + result_text(result, os_error);
}

// What one download pass works with while it sends.
struct Pass {
  DeviceCommand& cmd;
  const Image& image;
  Spinner& spinner;
  PassProgress& progress;
  DownloadReport& said;
  bool verbose;
  bool judged;  // mode 0x03: the drive's verdict after each segment
  // Set when the firmware API carries the transfers: each one is one DOWNLOAD request.
  const FirmwareApiRoute* api = nullptr;
  std::vector<uint8_t> scratch = {};  // the API's request buffer, reused
};

// Carries one transfer of the plan, by pass-through or as one firmware API DOWNLOAD.
int carry(Pass& pass, const Plan& plan, const Transfer& t, ReturnedRegisters* asked) {
  uint8_t* position = pass.image.bytes.get() + t.start;
  if (pass.api == nullptr) return send(pass.cmd, t.blocks, t.offset, position, asked);
  place(pass.cmd, t.blocks, t.offset, position);
  uint32_t flags = 0;
  if (&t == &plan.sends.front()) flags |= STORAGE_HW_FIRMWARE_REQUEST_FLAG_FIRST_SEGMENT;
  if (&t == &plan.sends.back()) flags |= STORAGE_HW_FIRMWARE_REQUEST_FLAG_LAST_SEGMENT;
  return firmware_api_download(pass.cmd, pass.api->info.download_slot, flags,
                               uint64_t{t.offset} * kBlock, position, pass.cmd.data_length,
                               pass.scratch);
}

// Sends the plan's transfers in order until one fails or an interrupt comes; a failure's
// cause goes into the report.
int send_transfers(Pass& pass, const Plan& plan) {
  DeviceCommand& cmd = pass.cmd;
  ReturnedRegisters outputs;
  ReturnedRegisters* const asked = pass.judged ? &outputs : nullptr;
  for (const Transfer& t : plan.sends) {
    if (platform_interrupted()) return kResultInterrupted;
    cmd.data_length = t.blocks * kBlock;
    ++pass.progress.sent;
    int result = carry(pass, plan, t, asked);
    if (result == kResultSuccess && pass.judged) {
      const uint64_t sent = std::min<uint64_t>(t.start + cmd.data_length,
                                               static_cast<uint64_t>(pass.image.file_size));
      result =
          judge_segment(outputs, &t == &plan.sends.back(), sent, pass.image.file_size, pass.said);
    }
    if (result != kResultSuccess) {
      if (pass.verbose) console::out(t.remainder ? " !^ " : " ^ ");
      if (pass.said.why.empty())
        pass.said.why = failed_after(t.start, pass.image.file_size, result, cmd.last_os_error);
      return result;
    }
    ++pass.progress.done;
    if (t.remainder) {
      if (pass.verbose) console::out(" ! ");
    } else {
      print_share(pass.spinner, t.share);
    }
  }
  return kResultSuccess;
}

// The activation as one firmware API ACTIVATE when the API carried the download. A driver that
// then refuses the request as one it does not have gets the pass-through activation, once.
int activate_once(DeviceCommand& cmd, const FirmwareApiRoute* api, uint16_t blocks,
                  DownloadReport& said) {
  if (api == nullptr || !api->carried) return send(cmd, blocks, 0, nullptr, nullptr);
  place(cmd, blocks, 0, nullptr);
  said.carried_by = "firmware_api";
  const int result = firmware_api_activate(cmd, api->info.download_slot);
  if (result != kResultNotSupported) return result;
  said.carried_by = "pass_through";
  said.carried_why = "the driver refused the firmware API's activation (system error " +
                     std::to_string(cmd.last_os_error) + ")";
  if (cmd.verbosity != 0) print_carrier(false, *api, said.carried_why);
  return send(cmd, blocks, 0, nullptr, nullptr);
}

// The activate pass: one command, no data, whatever the image's size. The first one switches
// to the whole deferred image, and a second would find nothing pending and be aborted. Its
// counts describe the image (or its first 8 MiB) as the file has it; alone, with no image
// named, they are 0.
int activate(DeviceCommand& cmd, const DownloadParams& params, DownloadReport& said) {
  Plan plan;
  int64_t file_size = 0;
  if (params.with_image) {
    Image image;
    const int loaded = load_image(cmd, params, image, said);
    if (loaded != kResultSuccess) return loaded;
    file_size = image.file_size;
    plan.transfer_size =
        static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(file_size), kActivateChunk));
  }
  plan.transfers = 1;
  plan.blocks = static_cast<uint16_t>(plan.transfer_size / kBlock);
  note_plan(plan, said);
  if (params.dry_run) {
    if (params.with_image) print_plan(DownloadMode::Activate, file_size, plan);
    return kResultSuccess;
  }
  PassProgress untracked;
  PassProgress& progress = params.progress != nullptr ? *params.progress : untracked;
  progress = PassProgress{0, 0, 1};
  prepare_command(cmd, DownloadMode::Activate, DataDirection::None);
  cmd.data_length = plan.transfer_size;
  if (cmd.verbosity != 0 && params.with_image) print_plan(DownloadMode::Activate, file_size, plan);
  if (cmd.verbosity != 0 && params.api != nullptr && params.api->carried)
    print_carrier(true, *params.api, "");
  print_warning();
  if (platform_interrupted()) return kResultInterrupted;
  ++progress.sent;
  const int result = activate_once(cmd, params.api, plan.blocks, said);
  if (result == kResultSuccess) {
    ++progress.done;
    console::out("Activate Completed ...\n");
    return result;
  }
  if (cmd.verbosity != 0) console::out(" ^ ");
  console::out("Failed to Activate ...\n");
  said.why = "The activation failed: " + result_text(result, cmd.last_os_error);
  return result;
}

}  // namespace

int download_firmware(DeviceCommand& cmd, const DownloadParams& params, DownloadReport* report) {
  DownloadReport unused;
  DownloadReport& said = report != nullptr ? *report : unused;
  if (params.mode == DownloadMode::Activate) return activate(cmd, params, said);

  Image image;
  const int loaded = load_image(cmd, params, image, said);
  if (loaded != kResultSuccess) return loaded;

  const Plan plan = make_plan(image.file_size, params.mode, params.segment_blocks);
  note_plan(plan, said);
  // A rehearsal shows the plan it would send, at every verbosity, and sends none of it.
  if (params.dry_run) {
    print_plan(params.mode, image.file_size, plan);
    return kResultSuccess;
  }
  prepare_command(cmd, params.mode, DataDirection::Out);
  cmd.data_length = plan.blocks * kBlock;
  set_download_block_count(cmd.regs, plan.blocks);

  const bool verbose = cmd.verbosity != 0;
  if (verbose) print_plan(params.mode, image.file_size, plan);
  const std::string why_not = params.api != nullptr ? api_unfit(*params.api, plan) : "";
  const bool by_api = params.api != nullptr && why_not.empty();
  if (params.api != nullptr) {
    params.api->carried = by_api;
    said.carried_by = by_api ? "firmware_api" : "pass_through";
    said.carried_why = why_not;
    if (verbose) print_carrier(by_api, *params.api, why_not);
  }
  print_warning();

  PassProgress untracked;
  PassProgress& progress = params.progress != nullptr ? *params.progress : untracked;
  progress = PassProgress{};
  progress.planned = static_cast<uint32_t>(plan.sends.size());
  Spinner own;
  Spinner& spinner = params.spinner != nullptr ? *params.spinner : own;

  // Only a segmented download hears the drive's verdict after each segment.
  Pass pass{cmd,
            image,
            spinner,
            progress,
            said,
            verbose,
            params.mode == DownloadMode::SegmentedImmediate,
            by_api ? params.api : nullptr};
  const int result = send_transfers(pass, plan);
  if (result == kResultInterrupted) return result;
  print_progress(spinner, 21, 100);
  return result;
}
