// One drive command from the opening to the exit code: open, identify, report, refuse a
// locked drive, download with retries, activate, identify again quietly, close.
#include "app/drive_sequence.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/cmdline.h"
#include "app/exit_codes.h"
#include "app/run_record.h"
#include "csmi/csmi.h"
#include "download/download.h"
#include "identify/identify.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "platform/wire.h"
#include "transport/device_command.h"
#include "transport/firmware_api.h"

namespace {

// The pause after every download pass and between re-identify attempts: drives need time to
// settle after taking (or rejecting) microcode.
constexpr uint32_t kPauseMs = 2000;
constexpr int kReidentifyAttempts = 4;
// CSMI adapters take small transfers only; the command line cannot raise this.
constexpr uint8_t kCsmiSegmentBlocks = 4;
// How long a run that downloads nothing waits for another run to let its drive go.
constexpr uint32_t kBriefClaimWaitMs = 5000;

const char* mode_name(DownloadMode mode) {
  switch (mode) {
    case DownloadMode::SegmentedImmediate:
      return "  Segmented Immediate Mode Selected\n";
    case DownloadMode::DownloadImmediate:
      return "  Download Immediate Mode Selected\n";
    case DownloadMode::Deferred:
      return "  Deferred Mode Selected\n";
    default:
      return "";
  }
}

void print_pre_open_report(const RunOptions& options, const DownloadParams& params) {
  // Typed names are echoed with their control characters neutralised, as a refused argument is.
  console::wout(u"  Device Path: ");
  console::wout(console::typed_text(options.device_path));
  if (has_interface(options.flags, InterfaceKind::CsmiStp)) {
    // The phy form carries no SAS address: the stored bytes (zeros) are shown as they are.
    console::wout(u16(std::to_string(options.csmi_target.phy_index)));
    console::wout(u"\n  SAS Address:");
    for (uint8_t byte : options.csmi_target.sas_address) console::printf(" %02x", byte);
    console::printf("\n");
  } else {
    console::wout(u"\n");
  }
  console::wout(u"  FileName: ");
  console::wout(console::typed_text(params.file_name));
  console::wout(u"\n");
  console::out(mode_name(params.mode));
}

void print_device_information(const DriveInfo& info, const DownloadParams& params) {
  console::out("  MN: " + console::device_text(info.model) + "\n");
  console::out("  SN: " + console::device_text(info.serial) + "\n");
  console::out("  FW: " + console::device_text(info.firmware) + "\n");
  std::string versions = "  ";
  for (const std::string& v : info.major_versions) versions += v + " ";
  console::out(versions + "\n");
  if (info.dma_download_supported) console::out("  DMA MICROCODE DOWNLOAD SUPPORTED \n");
  if (info.mode3_download_supported) console::out("  MODE 3 MICROCODE DOWNLOAD SUPPORTED \n");
  if (info.dm_offsets_deferred_supported) console::out("  DM OFFSETS DEFERRED SUPPORTED \n");
  if (info.dm_clears_nonactivated_deferred)
    console::out("  DM CLEARS NONACTIVATED DEFERRED DATA SUPPORTED \n");
  if (info.min_download_blocks != 0)
    console::out("  MICROCODE DOWNLOAD MIN BLOCKS " + std::to_string(info.min_download_blocks) +
                 "\n");
  if (info.max_download_blocks != 0)
    console::out("  MICROCODE DOWNLOAD MAX BLOCKS " + std::to_string(info.max_download_blocks) +
                 "\n");
  console::out("  " + security_state_name(info.security_state) + "\n");
  console::printf("  Segment Size : %d\n", static_cast<int>(params.segment_blocks));
}

// The refusal text for a security state, or null when the download may go ahead.
const char* security_refusal(SecurityState state, uint64_t l_switch) {
  if (state == SecurityState::SEC4) return "Err: ATA SECURITY LOCKED";
  if (l_switch != 0 && state == SecurityState::SEC5) return "Err: ATA SECURITY ENABLED (SEC5)";
  if (l_switch != 0 && state == SecurityState::SEC6) return "Err: ATA SECURITY ENABLED (SEC6)";
  return nullptr;
}

// Whatever the console still holds is shown before the wait, not after it. An interrupt cuts
// the wait short.
void pause() {
  console::flush();
  platform_sleep_ms(kPauseMs);
}

void pause_after_pass() {
  console::out("\n");
  pause();
  console::out("\n");
}

// The drive is identified again after the work, without a word: the result only refreshes
// the description, and a drive still busy with new microcode gets a few chances.
// When no pass sent anything, the identify goes out with the vendor variant's registers still
// in the record, and what comes back is the vendor's block, not the drive's revision.
void reidentify_quietly(DeviceCommand& cmd, DriveInfo& info) {
  const int32_t saved = cmd.verbosity;
  cmd.verbosity = 0;
  const bool as_vendor_variant = holds_vendor_identify(cmd);
  run_record().why_no_firmware_after = "the drive did not answer IDENTIFY DEVICE again";
  for (int attempt = 0; attempt < kReidentifyAttempts && !platform_interrupted(); ++attempt) {
    if (attempt > 0) pause();
    if (platform_interrupted()) break;
    if (identify_device(cmd, info) == kResultSuccess) {
      if (as_vendor_variant)
        run_record().why_no_firmware_after =
            "no download command went out, so the drive was identified again with the vendor "
            "IDENTIFY variant's registers, whose answer does not carry its revision";
      else
        run_record().firmware_after = info.firmware;
      break;
    }
  }
  cmd.verbosity = saved;
}

// Why the drive could not be opened, in the system's terms as far as they help the user.
std::string open_failure(const std::u16string& path, uint32_t os_error, bool opened) {
  return "Cannot open " + utf16_to_utf8(console::typed_text(path)) + ": " +
         open_failure_reason(os_error, opened) + " (system error " + std::to_string(os_error) + ")";
}

void close_device(DeviceCommand& cmd) {
  if (cmd.handle == 0 || cmd.handle == kInvalidHandle) return;
  // Nothing useful can be done about a failed release at the end of the run.
  if (!platform_close(cmd.handle)) (void)platform_get_last_error();
}

// The drive's claim for the length of the run, let go on every way out of it.
class RunClaim {
 public:
  RunClaim() = default;
  RunClaim(const RunClaim&) = delete;
  RunClaim& operator=(const RunClaim&) = delete;
  ~RunClaim() { release_drive(handle_); }
  Handle& handle() { return handle_; }

 private:
  Handle handle_ = kInvalidHandle;
};

}  // namespace

std::string stop_text(const PassProgress& progress) {
  if (progress.sent == 0) return "Stopped before any download command was sent.";
  const std::string planned = std::to_string(progress.planned);
  if (progress.sent < progress.planned)
    return "Download stopped after " + std::to_string(progress.sent) + " of " + planned +
           " transfers; the drive may need the download again.";
  if (progress.done == progress.sent)
    return "Stopped after all " + planned + " transfers were sent; the drive took the last one.";
  return "Stopped after all " + planned +
         " transfers were sent; the drive refused the last one and may need the download again.";
}

namespace {

// The run was interrupted: the command in flight completed and nothing follows it. The line
// in progress is ended and one line, on the error stream as every failure's cause, says how
// far the download got.
int stop_run(DeviceCommand& cmd, const PassProgress& progress) {
  if (console::mid_line()) console::out("\n");
  const std::string line = stop_text(progress);
  say_run_stopped(line);
  close_device(cmd);
  return kExitDriveError;
}

// The drive as the operator named it on the CSMI path: the phy, or the SAS address typed.
std::u16string csmi_drive_name(const CsmiTarget& target) {
  std::u16string name = target.adapter_path;
  if (target.phy_index >= 0) return name + u16(std::to_string(target.phy_index));
  name += u',';
  for (uint8_t byte : target.sas_address) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", byte);
    name += u16(digits);
  }
  return name;
}

// Opens the drive the options name, and works out its claim key and the name a held claim
// reports. Returns the open's status; a failure's cause goes into `failure`.
int open_target(const RunOptions& options, DeviceCommand& cmd, DownloadParams& params,
                DownloadReport& failure, std::string& key, std::u16string& name) {
  name = options.device_path;
  if (has_interface(cmd.flags, InterfaceKind::CsmiStp)) {
    params.segment_blocks = kCsmiSegmentBlocks;
    CsmiTarget target = options.csmi_target;
    const int status = open_csmi_target(cmd, target);
    if (status != kResultSuccess) {
      failure.why =
          "The CSMI target " + utf16_to_utf8(console::typed_text(options.device_path)) +
          (options.csmi_target.phy_index >= 0 ? std::to_string(options.csmi_target.phy_index)
                                              : std::string(" (by SAS address)")) +
          " cannot be reached";
      if (!platform_csmi_supported())
        failure.why +=
            ": CSMI is a Windows driver interface; on Linux name the drive by its "
            "/dev/sdX or /dev/sgN node";
    }
    note_csmi_target(target, cmd.phy, status == kResultSuccess);
    key = claim_key(target.adapter_path, cmd.phy, target.phy_index);
    name = csmi_drive_name(target);
    return status;
  }
  const int status = open_device(cmd, options.device_path);
  if (status != kResultSuccess)
    failure.why =
        open_failure(options.device_path, cmd.last_os_error, cmd.handle != kInvalidHandle);
  note_scsi_target(cmd, status == kResultSuccess);
  key = claim_key(cmd.address);
  return status;
}

// A drive whose security state forbids the download is refused, with the reason (under /v)
// and the cause line. True when refused.
bool refused_for_security(const DriveInfo& info, const RunOptions& options) {
  const char* refusal = security_refusal(info.security_state, options.l_switch);
  if (refusal == nullptr) return false;
  if (options.verbosity != 0) console::out(std::string(refusal) + "\n");
  const std::string line = info.security_state == SecurityState::SEC4
                               ? "The drive's ATA security is locked (SEC4): nothing was sent"
                               : "The drive's ATA security is enabled (" +
                                     security_state_name(info.security_state) +
                                     ") and /l refuses it: nothing was sent";
  say_run_cause(line);
  return true;
}

// A switch of the firmware while the drive holds the running system's file systems can make the
// drive vanish under them for a moment, which the system may not survive: one warning line
// before anything is sent, when the run switches at once (an immediate mode, or /a). A warning
// only: the run goes on as asked.
void warn_if_in_use(const DeviceCommand& cmd, DownloadMode mode) {
  const bool downloads = (cmd.flags & kFlagFirmwareFile) != 0;
  const bool switches =
      (downloads && mode != DownloadMode::Deferred) || (cmd.flags & kFlagActivate);
  if (!switches || has_interface(cmd.flags, InterfaceKind::CsmiStp)) return;
  const std::vector<std::string> held = platform_drive_in_use(cmd.handle);
  if (held.empty()) return;
  run_record().in_use = held;
  std::string names;
  for (const std::string& name : held) names += (names.empty() ? "" : ", ") + name;
  console::err_line("Warning: the drive holds " + names +
                    "; switching its firmware now can make it vanish for a moment under the "
                    "running system. Consider /e, with the activation at the next restart.");
}

// The download passes, until one succeeds or the retries are used up, and the activate pass.
// Returns the run's status, or kResultInterrupted once an interrupt came: nothing more was
// sent after the command in flight.
int download_and_activate(DeviceCommand& cmd, const RunOptions& options, DownloadParams params,
                          DownloadReport& failure) {
  int32_t status = kResultSuccess;
  bool download_failed = false;
  // A deferred download on the SCSI and ATA paths goes through the storage firmware API where
  // the driver offers one that takes the plan; the driver is asked once, before the first pass.
  warn_if_in_use(cmd, params.mode);
  FirmwareApiRoute route;
  const bool deferred =
      params.mode == DownloadMode::Deferred && !has_interface(cmd.flags, InterfaceKind::CsmiStp);
  if (cmd.flags & kFlagFirmwareFile) {
    (void)read_vendor_identify(cmd);
    if (deferred) {
      route.forced_passthrough = options.force_passthrough;
      if (!route.forced_passthrough) route.info = query_firmware_api(cmd);
      params.api = &route;
    }
    int32_t attempt = 0;
    do {
      if (platform_interrupted()) return kResultInterrupted;
      if (attempt > 0) console::out("Retrying... " + std::to_string(attempt) + "\n");
      const DownloadParams pass = params;
      failure = DownloadReport{};
      status = download_firmware(cmd, pass, &failure);
      note_pass(*pass.progress, status, cmd.last_os_error, failure, false);
      if (platform_interrupted()) return kResultInterrupted;
      pause_after_pass();
      ++attempt;
    } while (status != kResultSuccess && attempt <= options.retry_count);
    download_failed = status != kResultSuccess;
  }

  if (cmd.flags & kFlagActivate) {
    if (platform_interrupted()) return kResultInterrupted;
    const DownloadMode downloaded = params.mode;
    params.mode = DownloadMode::Activate;
    params.segment_blocks = 0;
    params.with_image = (cmd.flags & kFlagFirmwareFile) != 0;
    // The stop line speaks of the download pass, not of the activation, which the report
    // keeps apart.
    PassProgress activation_progress;
    params.progress = &activation_progress;
    const DownloadParams pass = params;
    // The activation goes to the drive whatever the download did, but it cannot turn a
    // failed download into success: the image it would switch to is not the one named
    // (a deferred image left by an earlier run, say).
    DownloadReport activation;
    const int32_t activated = download_firmware(cmd, pass, &activation);
    note_pass(*pass.progress, activated, cmd.last_os_error, activation, true);
    if (download_failed) {
      console::out("The download failed: the run fails whatever the activation did.\n");
    } else if (params.with_image && activated == kResultDriveError &&
               downloaded != DownloadMode::Deferred) {
      // Modes 0x03 and 0x07 switch to the new image at the end of the download, so the drive
      // has nothing pending to activate and aborts the command: the update stands.
      console::err_line("Warning: the drive took the download in an immediate mode (0x0" +
                        std::to_string(static_cast<int>(downloaded)) +
                        ") and refused the activation because nothing was pending.");
    } else {
      status = activated;
      failure = activation;
    }
  }
  return status;
}

// The plan against what the drive says of itself: each mismatch is one warning line, since a
// drive may take what it does not announce.
std::vector<std::string> plan_warnings(const DriveInfo& info, DownloadMode mode,
                                       const DownloadReport& plan) {
  std::vector<std::string> warnings;
  if (mode == DownloadMode::SegmentedImmediate && !info.mode3_download_supported)
    warnings.push_back(
        "Warning: the drive does not report segmented download (mode 0x03) "
        "support; it may refuse /s.");
  if (mode == DownloadMode::Deferred && !info.dm_offsets_deferred_supported)
    warnings.push_back(
        "Warning: the drive does not report deferred download (mode 0x0E) "
        "support; it may refuse /e.");
  const bool segmented = mode == DownloadMode::SegmentedImmediate || mode == DownloadMode::Deferred;
  if (!segmented || !plan.planned) return warnings;
  const std::string segments = "Warning: segments of " + std::to_string(plan.blocks) + " blocks ";
  if (info.max_download_blocks != 0 && plan.blocks > info.max_download_blocks)
    warnings.push_back(segments + "exceed the drive's maximum of " +
                       std::to_string(info.max_download_blocks) + " (IDENTIFY word 235).");
  // The last segment may be shorter than the minimum; only a segment before it must not be.
  const bool followed = plan.transfers > 1 || (plan.transfers == 1 && plan.remainder != 0);
  if (info.min_download_blocks != 0 && plan.blocks < info.min_download_blocks && followed)
    warnings.push_back(segments + "are below the drive's minimum of " +
                       std::to_string(info.min_download_blocks) + " (IDENTIFY word 234).");
  return warnings;
}

// A rehearsal (--dry-run): the first pass reads and plans the image as the real run would,
// the plan is checked against the drive, and nothing that changes the drive is sent. Returns
// the status the real run would have reached where its first download command would go out.
int rehearse(DeviceCommand& cmd, DownloadParams params, const DriveInfo& info,
             DownloadReport& failure) {
  if ((cmd.flags & (kFlagFirmwareFile | kFlagActivate)) == 0) return kResultSuccess;
  if (cmd.flags & kFlagFirmwareFile) {
    (void)read_vendor_identify(cmd);
  } else {
    // "/a" alone: the activation with no image, which reads nothing.
    params.mode = DownloadMode::Activate;
    params.segment_blocks = 0;
    params.with_image = false;
  }
  params.dry_run = true;
  failure = DownloadReport{};
  const int status = download_firmware(cmd, params, &failure);
  note_rehearsal(failure);
  if (status != kResultSuccess) return status;
  for (const std::string& warning : plan_warnings(info, params.mode, failure)) {
    console::err_line(warning);
    run_record().warnings.push_back(warning);
  }
  return status;
}

// The revision the operator expects the drive to run once new firmware is active, against the
// one the quiet re-identify read.
int check_revision(const std::u16string& expected, DownloadReport& failure) {
  const std::string wanted = utf16_to_utf8(console::typed_text(trimmed(expected)));
  const std::optional<std::string>& after = run_record().firmware_after;
  if (!after) {
    failure.why =
        "The drive could not be identified again after the download, so it is not "
        "known to run " +
        wanted;
  } else if (u16(*after) != trimmed(expected)) {
    failure.why =
        "The drive runs " + console::device_text(*after) + " after the download, not " + wanted;
  } else {
    return kResultSuccess;
  }
  return kResultDriveError;
}

}  // namespace

int run_drive_sequence(const RunOptions& options) {
  DeviceCommand cmd{};
  DriveInfo info;
  cmd.flags = options.flags;
  cmd.verbosity = options.verbosity;
  cmd.l_switch = options.l_switch;
  cmd.passthru_options = kPassThrough16;

  PassProgress progress;
  Spinner spinner;
  DownloadParams params;
  params.file_name = options.file_name;
  params.mode = options.mode;
  params.segment_blocks = options.segment_blocks;
  params.progress = &progress;
  params.spinner = &spinner;
  // The digest goes into the report and the system log's record whether or not one is given.
  params.digest = true;
  params.expected_sha256 = options.sha256 ? &*options.sha256 : nullptr;

  // Why the run failed, for the one line on the error stream that ends a failed run.
  DownloadReport failure;

  if (options.verbosity != 0) print_pre_open_report(options, params);

  std::string key;
  std::u16string name;
  int32_t status = open_target(options, cmd, params, failure, key, name);
  if (platform_interrupted()) return stop_run(cmd, progress);

  RunClaim claim;
  if (cmd.handle != kInvalidHandle && status == kResultSuccess) {
    // A run that downloads nothing is over in moments, so it waits a little for another run's
    // claim; a download does not wait behind another one.
    const bool info_only = (cmd.flags & kFlagDeviceInfo) != 0;
    const bool brief = info_only || (cmd.flags & (kFlagFirmwareFile | kFlagActivate)) == 0;
    DriveClaim& claimed = run_record().claim.emplace();
    if (!claim_drive(key, name, brief ? kBriefClaimWaitMs : 0, claim.handle(), &claimed)) {
      if (platform_interrupted()) return stop_run(cmd, progress);
      note_run_cause(held_drive_line(name, claimed.holder_pid));
      close_device(cmd);
      return kExitOpenFailed;
    }
    if (platform_interrupted()) return stop_run(cmd, progress);
    read_scsi_identity(cmd);
    status = identify_device(cmd, info);
    if (platform_interrupted()) return stop_run(cmd, progress);
    if (status != kResultSuccess) {
      failure.why = "IDENTIFY DEVICE failed: " + result_text(status, cmd.last_os_error);
    } else {
      run_record().drive_before = info;
      if (info_only || options.verbosity != 0) print_device_information(info, params);
      // After the report, and after a refusal, the handle is left to the process exit.
      if (info_only) return kExitDeviceInfo;
      if (refused_for_security(info, options)) return kExitSecurityRefused;
      if (options.dry_run) {
        status = rehearse(cmd, params, info, failure);
      } else {
        status = download_and_activate(cmd, options, params, failure);
        if (status == kResultInterrupted || platform_interrupted()) return stop_run(cmd, progress);
        reidentify_quietly(cmd, info);
        if (platform_interrupted()) return stop_run(cmd, progress);
        const bool switched = (cmd.flags & (kFlagFirmwareFile | kFlagActivate)) != 0;
        if (status == kResultSuccess && switched && options.expect_revision)
          status = check_revision(*options.expect_revision, failure);
      }
    }
  }

  close_device(cmd);
  const int exit_code = map_exit_code(status);
  if (exit_code != kExitSuccess) {
    const std::string cause =
        failure.why.empty() ? "The run failed: " + result_text(status, 0) : failure.why;
    say_run_cause(cause);
  }
  return exit_code;
}
