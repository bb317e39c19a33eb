// The audit record: the run record as one record of the system log, written for every run
// that sent a DOWNLOAD MICROCODE command (an activation included), whatever came of it.
#include "app/audit_record.h"

#include <cstdio>
#include <string>

#include "app/run_record.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

uint32_t commands_sent(const RunRecord& record) {
  uint32_t sent = 0;
  for (const PassRecord& pass : record.passes) sent += pass.progress.sent;
  if (record.activation) sent += record.activation->progress.sent;
  return sent;
}

std::string mode_text(const RunRecord& record) {
  const RunOptions& o = *record.options;
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(o.mode));
  std::string mode = (o.flags & kFlagFirmwareFile) != 0 ? std::string(text) : std::string("none");
  return (o.flags & kFlagActivate) != 0 ? mode + "+0x0F" : mode;
}

// The drive as the operator named it.
std::string device_name(const RunOptions& o) {
  std::string name = utf16_to_utf8(console::typed_text(o.device_path));
  if (has_interface(o.flags, InterfaceKind::CsmiStp) && o.csmi_target.phy_index >= 0)
    name += std::to_string(o.csmi_target.phy_index);
  return name;
}

}  // namespace

LogFields audit_fields(const RunRecord& record) {
  const RunOptions& o = *record.options;
  const DriveInfo* before = record.drive_before ? &*record.drive_before : nullptr;
  const DownloadReport* image = record.image ? &*record.image : nullptr;
  const auto text = [](const std::string& s) { return console::device_text(s); };
  return LogFields{
      {"event", "firmware_download"},
      {"device", device_name(o)},
      {"model", before != nullptr ? text(before->model) : ""},
      {"serial", before != nullptr ? text(before->serial) : ""},
      {"revision_before", before != nullptr ? text(before->firmware) : ""},
      {"revision_after", record.firmware_after ? text(*record.firmware_after) : ""},
      {"image", utf16_to_utf8(console::typed_text(o.file_name))},
      {"size", image != nullptr && image->image_size >= 0 ? std::to_string(image->image_size) : ""},
      {"sha256", image != nullptr && image->digested ? hex_text(image->sha256, 32) : ""},
      {"mode", mode_text(record)},
      {"passes", std::to_string(record.passes.size() + (record.activation ? 1 : 0))},
      {"result", record.exit_code == 0 ? "success" : "failure"},
      {"exit_code", std::to_string(record.exit_code)},
      {"user", platform_user_name()}};
}

void write_audit_record(const RunRecord& record) {
  if (!record.options || commands_sent(record) == 0) return;
  // A log out of reach loses the record; the run's outcome stays what it was.
  (void)platform_system_log(record.exit_code == 0, audit_fields(record));
}
