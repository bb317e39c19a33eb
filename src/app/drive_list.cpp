// "--list": the operator's first question, which drive to name. The drives the system
// presents come from the platform's own enumeration, the CSMI drives from the scan's walk;
// each is claimed while it is asked, so a list beside a running download disturbs nothing.
#include "app/drive_list.h"

#include <cstdio>
#include <initializer_list>

#include "app/exit_codes.h"
#include "app/run_record.h"
#include "csmi/csmi.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "transport/device_command.h"

namespace {

// As long as the scan waits for another run to let a drive go: a brief "/i" finishes within
// it, a download does not, and the list says who holds it.
constexpr uint32_t kListClaimWaitMs = 5000;
// The scan's IDENTIFY timeout on the CSMI path.
constexpr uint32_t kCsmiIdentifyTimeout = 15;

const char* path_name(InterfaceKind kind) {
  switch (kind) {
    case InterfaceKind::ScsiPassThrough:
      return "SCSI pass-through";
    case InterfaceKind::AtaPassThrough:
      return "ATA pass-through";
    case InterfaceKind::CsmiStp:
      return "CSMI STP pass-through";
  }
  return "";
}

// What the list carries from drive to drive. A claim that cannot be made at all is said once for
// the whole list, and the drives are asked without it.
struct ListContext {
  int verbosity = 0;
  bool unclaimed_said = false;
};

// Claims the drive for its questions: false when another run holds it, which the row then says.
bool claim_for_list(const std::string& key, ListContext& context, ListedDrive& row,
                    DriveClaim& claim) {
  claim = platform_claim_drive(key, kListClaimWaitMs);
  if (claim.outcome == ClaimOutcome::Busy) {
    row.held = true;
    row.holder_pid = claim.holder_pid;
    return false;
  }
  if (claim.outcome == ClaimOutcome::Unavailable && !context.unclaimed_said) {
    console::err_line("Warning: the drives are not claimed while they are listed (" +
                      console::device_text(claim.reason) +
                      "); a run at the same time could reach them too.");
    context.unclaimed_said = true;
  }
  return true;
}

void release_for_list(const DriveClaim& claim) {
  if (claim.outcome == ClaimOutcome::Claimed) platform_release_drive(claim.handle);
}

// IDENTIFY DEVICE (and the log page) on each path in turn until one answers.
void ask_paths(DeviceCommand& cmd, std::initializer_list<InterfaceKind> paths, ListedDrive& row) {
  std::string failures;
  for (InterfaceKind kind : paths) {
    if (platform_interrupted()) break;
    cmd.flags = interface_flag(kind);
    const int status = identify_device(cmd, row.info);
    if (status == kResultSuccess) {
      row.answered_by = kind;
      if (kind == InterfaceKind::AtaPassThrough) row.path = u"/T:" + row.path;
      return;
    }
    failures += std::string(failures.empty() ? "" : "; ") + path_name(kind) + ": " +
                result_text(status, cmd.last_os_error);
  }
  row.unusable = failures.empty() ? "not asked: the list was stopped"
                                  : "IDENTIFY DEVICE not answered (" + failures + ")";
}

std::string cannot_open(uint32_t os_error, bool opened) {
  return "it cannot be opened, " + open_failure_reason(os_error, opened) + " (system error " +
         std::to_string(os_error) + ")";
}

// A drive the system presents. Its claim comes before it is opened for I/O: a drive another
// run holds is not opened at all (on Windows that run's exclusive open would refuse it anyway).
ListedDrive ask_presented(const PresentedDrive& drive, ListContext& context) {
  ListedDrive row;
  row.path = drive.path;
  row.other_node = drive.other_node;
  if (!drive.unusable.empty()) {
    row.unusable = drive.unusable;
    return row;
  }
  SCSI_ADDRESS address{};
  address.Length = sizeof address;
  platform_set_last_error(0);
  if (!platform_drive_address(drive.path, &address)) {
    row.unusable = cannot_open(platform_get_last_error(), false);
    return row;
  }
  DriveClaim claim;
  if (!claim_for_list(claim_key(address), context, row, claim)) return row;
  DeviceCommand cmd{};
  cmd.verbosity = context.verbosity;
  cmd.passthru_options = kPassThrough16;
  if (open_device(cmd, drive.path) == kResultSuccess)
    ask_paths(cmd, {InterfaceKind::ScsiPassThrough, InterfaceKind::AtaPassThrough}, row);
  else
    row.unusable = cannot_open(cmd.last_os_error, cmd.handle != kInvalidHandle);
  if (cmd.handle != 0 && cmd.handle != kInvalidHandle) (void)platform_close(cmd.handle);
  release_for_list(claim);
  return row;
}

std::u16string sas_address_form(unsigned port, const uint8_t (&address)[8]) {
  std::string text = "/C:" + std::to_string(port) + ",";
  bool any = false;
  for (uint8_t b : address) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", b);
    text += digits;
    any = any || b != 0;
  }
  return any ? u16(text) : std::u16string();
}

// A phy of a CSMI adapter, named in the phy form of "/C:" as the scan names it.
void ask_csmi_phy(DeviceCommand& cmd, unsigned port, int phy, ListContext& context,
                  DriveList& list) {
  ListedDrive row;
  const std::u16string adapter = csmi_adapter_path(port);
  row.path = u"/C:" + adapter + u16(std::to_string(phy));
  row.other_node = sas_address_form(port, cmd.phy.Attached.bSASAddress);
  const uint8_t protocol = cmd.phy.Attached.bTargetPortProtocol;
  if (protocol == CSMI_SAS_PROTOCOL_SATA || protocol == CSMI_SAS_PROTOCOL_STP) {
    cmd.timeout = kCsmiIdentifyTimeout;
    DriveClaim claim;
    if (claim_for_list(claim_key(adapter, cmd.phy, phy), context, row, claim)) {
      ask_paths(cmd, {InterfaceKind::CsmiStp}, row);
      release_for_list(claim);
    }
  } else if (protocol == CSMI_SAS_PROTOCOL_SSP) {
    row.unusable = "a SAS drive (SSP), which ATA commands do not reach";
  } else {
    row.unusable = "an attached device of protocol " + std::to_string(protocol) + ", not a drive";
  }
  list.drives.push_back(std::move(row));
}

std::string yes_no(bool value) { return value ? "yes" : "no"; }
std::string blocks(uint16_t value) { return value != 0 ? std::to_string(value) : "-"; }

std::string row_text(const ListedDrive& row) {
  std::string line = utf16_to_utf8(console::typed_text(row.path));
  if (!row.other_node.empty())
    line += " (also " + utf16_to_utf8(console::typed_text(row.other_node)) + ")";
  line += " # ";
  if (row.held) {
    line += "held by another run";
    if (row.holder_pid != 0) line += " (process " + std::to_string(row.holder_pid) + ")";
    return line + "; nothing was sent to it";
  }
  if (!row.answered_by) return line + "not usable: " + console::device_text(row.unusable);
  const DriveInfo& d = row.info;
  return line + path_name(*row.answered_by) + " | MN " + console::device_text(d.model) + " | SN " +
         console::device_text(d.serial) + " | FW " + console::device_text(d.firmware) + " | " +
         security_state_name(d.security_state) + " | mode 3 " + yes_no(d.mode3_download_supported) +
         " | deferred " + yes_no(d.dm_offsets_deferred_supported) + " | min " +
         blocks(d.min_download_blocks) + " | max " + blocks(d.max_download_blocks);
}

}  // namespace

DriveList collect_drive_list(int verbosity) {
  DriveList list;
  ListContext context;
  context.verbosity = verbosity;
  std::vector<PresentedDrive> presented;
  platform_set_last_error(0);
  list.system_listed = platform_list_drives(presented);
  if (!list.system_listed) list.system_error = platform_get_last_error();
  for (const PresentedDrive& drive : presented) {
    if (platform_interrupted()) break;
    list.drives.push_back(ask_presented(drive, context));
  }

  DeviceCommand cmd{};
  cmd.verbosity = verbosity;
  if (!platform_interrupted())
    (void)walk_csmi_phys(cmd, [&](DeviceCommand& at, unsigned port, int phy) {
      ask_csmi_phy(at, port, phy, context, list);
    });
  list.stopped = platform_interrupted();
  return list;
}

int list_drives(int verbosity, DriveList& list) {
  list = collect_drive_list(verbosity);
  for (const ListedDrive& row : list.drives) console::out(row_text(row) + "\n");
  if (list.stopped) {
    run_record().interrupted = true;
    say_run_cause("List stopped; the list above is incomplete.");
    return kExitDriveError;
  }
  if (!list.drives.empty()) return kExitSuccess;
  say_run_cause(list.system_listed ? "No drive found."
                                   : "No drive found: the system's list of drives cannot be read "
                                     "(system error " +
                                         std::to_string(list.system_error) + ").");
  return kExitOtherStatus;
}
