// The run report: the run record as one JSON document, in the form that
// packaging/quillmark-report.schema.json describes. Every fact the record lacks is null, never
// left out, so a reader can tell "not reached" from "not written".
#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "app/exit_codes.h"
#include "app/run_record.h"
#include "platform/console.h"
#include "platform/text.h"

namespace {

using Json = nlohmann::ordered_json;

// The document's form; raised whenever a field changes meaning or goes away.
constexpr int kSchemaVersion = 1;

bool is_lone_surrogate(std::u16string_view text, size_t i) {
  const char16_t c = text[i];
  if (c >= 0xD800 && c <= 0xDBFF)
    return i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF;
  if (c >= 0xDC00 && c <= 0xDFFF) return i == 0 || text[i - 1] < 0xD800 || text[i - 1] > 0xDBFF;
  return false;
}

// A file or device name, or an argument: "text" is the name as UTF-8, and when the name is not
// valid Unicode (bytes that are not UTF-8 on Linux) every such unit shows as U+FFFD there and
// "bytes" holds the name's bytes in hex, which the system takes back unchanged.
Json name(std::u16string_view value) {
  std::u16string text(value);
  bool valid = true;
  for (size_t i = 0; i < value.size(); ++i) {
    if (!is_lone_surrogate(value, i)) continue;
    valid = false;
    text[i] = u'\xFFFD';
  }
  const std::string bytes = utf16_to_utf8(value);
  return Json{{"text", utf16_to_utf8(text)},
              {"bytes", valid ? Json()
                              : Json(hex_text(reinterpret_cast<const uint8_t*>(bytes.data()),
                                              bytes.size()))}};
}

Json name_or_null(const std::u16string& value) { return value.empty() ? Json() : name(value); }

std::string rfc3339(int64_t ms) {
  using namespace std::chrono;
  const sys_time<milliseconds> t{milliseconds{ms}};
  const auto day = floor<days>(t);
  const year_month_day date{day};
  const hh_mm_ss<milliseconds> time{t - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return text;
}

const char* mode_name(DownloadMode mode) {
  switch (mode) {
    case DownloadMode::SegmentedImmediate:
      return "segmented";
    case DownloadMode::DownloadImmediate:
      return "immediate";
    case DownloadMode::Deferred:
      return "deferred";
    case DownloadMode::Activate:
      return "activate";
  }
  return "immediate";
}

const char* interface_name(uint64_t flags) {
  if (has_interface(flags, InterfaceKind::CsmiStp)) return "csmi";
  if (has_interface(flags, InterfaceKind::AtaPassThrough)) return "ata";
  return "scsi";
}

const char* command_name(const RunRecord& record) {
  switch (record.command) {
    case RunRecord::Command::Help:
      return "help";
    case RunRecord::Command::License:
      return "license";
    case RunRecord::Command::Scan:
      return "scan";
    case RunRecord::Command::List:
      return "list";
    case RunRecord::Command::Drive:
      return (record.options->flags & kFlagDeviceInfo) != 0 ? "device_info" : "drive";
    case RunRecord::Command::None:
      break;
  }
  return nullptr;
}

Json options_json(const RunRecord& record) {
  if (!record.options) return Json();
  const RunOptions& o = *record.options;
  const bool no_drive_named =
      record.command == RunRecord::Command::Scan || record.command == RunRecord::Command::List;
  return Json{{"interface", no_drive_named ? Json() : Json(interface_name(o.flags))},
              {"device", name_or_null(o.device_path)},
              {"file", (o.flags & kFlagFirmwareFile) != 0 ? name(o.file_name) : Json()},
              {"mode", mode_name(o.mode)},
              {"segment_blocks", o.segment_blocks},
              {"retries", o.retry_count},
              {"verbosity", o.verbosity},
              {"device_info", (o.flags & kFlagDeviceInfo) != 0},
              {"activate", (o.flags & kFlagActivate) != 0},
              {"l_switch", o.l_switch != 0},
              {"sha256", o.sha256 ? Json(hex_text(o.sha256->data(), o.sha256->size())) : Json()},
              {"expect_revision", o.expect_revision ? Json(name(*o.expect_revision)) : Json()},
              {"dry_run", o.dry_run}};
}

Json target_json(const RunRecord& record) {
  if (!record.target_tried) return Json();
  const RunOptions& o = *record.options;
  Json address;
  if (record.scsi_address) {
    const SCSI_ADDRESS& a = *record.scsi_address;
    address = Json{
        {"port", a.PortNumber}, {"path_id", a.PathId}, {"target_id", a.TargetId}, {"lun", a.Lun}};
  }
  Json csmi;
  if (has_interface(o.flags, InterfaceKind::CsmiStp)) {
    csmi = Json{{"adapter", name(o.csmi_target.adapter_path)},
                {"phy", record.csmi_phy ? Json(*record.csmi_phy) : Json()},
                {"sas_address", record.csmi_sas_address ? Json(*record.csmi_sas_address) : Json()}};
  }
  return Json{{"path", name(o.device_path)},
              {"interface", interface_name(o.flags)},
              {"opened", record.opened},
              {"scsi_address", address},
              {"csmi", csmi}};
}

Json claim_json(const RunRecord& record) {
  if (!record.claim) return Json();
  const DriveClaim& c = *record.claim;
  const char* state = c.outcome == ClaimOutcome::Claimed ? "held"
                      : c.outcome == ClaimOutcome::Busy  ? "held_by_another_run"
                                                         : "not_claimable";
  return Json{
      {"state", state},
      {"holder_pid",
       c.outcome == ClaimOutcome::Busy && c.holder_pid != 0 ? Json(c.holder_pid) : Json()},
      {"reason",
       c.outcome == ClaimOutcome::Unavailable ? Json(console::device_text(c.reason)) : Json()}};
}

Json blocks_or_null(uint16_t blocks) { return blocks != 0 ? Json(blocks) : Json(); }

Json drive_json(const DriveInfo& info) {
  Json standards = Json::array();
  for (const std::string& v : info.major_versions) {
    std::string shown = console::device_text(v);
    while (!shown.empty() && shown.back() == ' ') shown.pop_back();
    standards.push_back(shown);
  }
  return Json{
      {"model", console::device_text(info.model)},
      {"serial", console::device_text(info.serial)},
      {"firmware", console::device_text(info.firmware)},
      {"ata_standards", standards},
      {"security_state", security_state_name(info.security_state)},
      {"security_word", info.security_word},
      {"download", Json{{"dma", info.dma_download_supported},
                        {"mode3", info.mode3_download_supported},
                        {"deferred_offsets", info.dm_offsets_deferred_supported},
                        {"clears_nonactivated_deferred", info.dm_clears_nonactivated_deferred},
                        {"min_blocks", blocks_or_null(info.min_download_blocks)},
                        {"max_blocks", blocks_or_null(info.max_download_blocks)}}}};
}

Json image_json(const RunRecord& record) {
  if (!record.options || (record.options->flags & kFlagFirmwareFile) == 0) return Json();
  const DownloadReport* r = record.image ? &*record.image : nullptr;
  return Json{{"path", name(record.options->file_name)},
              {"size_bytes", r != nullptr && r->image_size >= 0 ? Json(r->image_size) : Json()},
              {"sha256", r != nullptr && r->digested ? Json(hex_text(r->sha256, 32)) : Json()}};
}

Json plan_json(const RunRecord& record) {
  if (!record.image || !record.image->planned) return Json();
  const DownloadReport& r = *record.image;
  return Json{{"mode", mode_name(record.options->mode)},
              {"mode_code", static_cast<unsigned>(record.options->mode)},
              {"segment_blocks", r.blocks},
              {"transfers", r.transfers + (r.remainder != 0 ? 1 : 0)},
              {"full_transfers", r.transfers},
              {"bytes_per_transfer", r.transfer_size},
              {"remainder_bytes", r.remainder}};
}

const char* verdict_name(int32_t count) {
  if (count == kAtaDmExpectsMore) return "expects_more";
  if (count == kAtaDmTransferComplete) return "transfer_complete";
  return "other";
}

Json pass_json(const PassRecord& pass) {
  const bool ok = pass.result == kResultSuccess;
  Json json{
      {"transfers_sent", pass.progress.done},
      {"transfers_planned", pass.progress.planned},
      {"result", ok ? "success" : "failure"},
      {"status", pass.result},
      {"verdict", pass.report.verdict >= 0 ? Json{{"count", pass.report.verdict},
                                                  {"meaning", verdict_name(pass.report.verdict)}}
                                           : Json()},
      {"cause", ok || pass.report.why.empty() ? Json() : Json(pass.report.why)}};
  if (!pass.report.carried_by.empty())
    json["carried_by"] =
        Json{{"way", pass.report.carried_by},
             {"why", pass.report.carried_why.empty() ? Json() : Json(pass.report.carried_why)}};
  return json;
}

Json passes_json(const RunRecord& record) {
  Json passes = Json::array();
  for (const PassRecord& pass : record.passes) passes.push_back(pass_json(pass));
  return passes;
}

Json activation_json(const RunRecord& record) {
  if (!record.options || (record.options->flags & kFlagActivate) == 0) return Json();
  if (!record.activation) return Json{{"sent", false}, {"pass", Json()}};
  return Json{{"sent", record.activation->progress.done > 0},
              {"pass", pass_json(*record.activation)}};
}

Json drive_after_json(const RunRecord& record) {
  if (record.firmware_after)
    return Json{{"firmware", console::device_text(*record.firmware_after)}, {"why_none", Json()}};
  return Json{{"firmware", Json()}, {"why_none", record.why_no_firmware_after}};
}

const char* protocol_name(uint8_t protocol) {
  switch (protocol) {
    case CSMI_SAS_PROTOCOL_SATA:
      return "sata";
    case CSMI_SAS_PROTOCOL_STP:
      return "stp";
    case CSMI_SAS_PROTOCOL_SSP:
      return "ssp";
    default:
      return "other";
  }
}

Json scan_phy_json(const ScanAdapter& adapter, const ScanPhy& phy) {
  Json drive;
  if (phy.identified) {
    drive = drive_json(phy.drive);
    drive["target"] = name(adapter.path + u16(std::to_string(phy.phy)));
  }
  return Json{{"phy", phy.phy},
              {"protocol", protocol_name(phy.protocol)},
              {"protocol_code", phy.protocol},
              {"attached_sas_address", hex_text(phy.attached_sas_address, 8)},
              {"identify_sas_address", hex_text(phy.identify_sas_address, 8)},
              {"held_by_another_run", phy.held},
              {"drive", drive}};
}

Json scan_json(const RunRecord& record) {
  if (!record.scan) return Json();
  Json adapters = Json::array();
  for (const ScanAdapter& adapter : record.scan->adapters) {
    Json phys = Json::array();
    for (const ScanPhy& phy : adapter.phys) phys.push_back(scan_phy_json(adapter, phy));
    adapters.push_back(Json{{"path", name(adapter.path)},
                            {"answered", adapter.answered},
                            {"driver", adapter.answered ? Json(adapter.driver) : Json()},
                            {"phys", phys}});
  }
  return Json{{"complete", record.scan->complete}, {"adapters", adapters}};
}

Json list_json(const RunRecord& record) {
  if (!record.list) return Json();
  const DriveList& list = *record.list;
  Json drives = Json::array();
  for (const ListedDrive& row : list.drives) {
    const bool unusable = !row.answered_by && !row.held;
    drives.push_back(
        Json{{"path", name(row.path)},
             {"other_path", name_or_null(row.other_node)},
             {"answered_by",
              row.answered_by ? Json(interface_name(interface_flag(*row.answered_by))) : Json()},
             {"held_by_another_run", row.held},
             {"holder_pid", row.held && row.holder_pid != 0 ? Json(row.holder_pid) : Json()},
             {"why_unusable", unusable ? Json(console::device_text(row.unusable)) : Json()},
             {"drive", row.answered_by ? drive_json(row.info) : Json()}});
  }
  return Json{{"complete", !list.stopped},
              {"system_listed", list.system_listed},
              {"system_error", list.system_listed ? Json() : Json(list.system_error)},
              {"drives", drives}};
}

}  // namespace

std::string run_report_json(const RunRecord& record, int64_t ended_ms) {
  Json arguments = Json::array();
  for (const std::u16string& a : record.arguments) arguments.push_back(name(a));
  const char* command = command_name(record);
  Json doc{
      {"schema_version", kSchemaVersion},
      {"tool", Json{{"name", "quillmark"}, {"version", QM_VERSION}}},
      {"started", rfc3339(record.started_ms)},
      {"ended", rfc3339(ended_ms)},
      {"duration_seconds", static_cast<double>(ended_ms - record.started_ms) / 1000.0},
      {"arguments", arguments},
      {"command", command != nullptr ? Json(command) : Json()},
      {"options", options_json(record)},
      {"target", target_json(record)},
      {"claim", claim_json(record)},
      {"drive_before", record.drive_before ? drive_json(*record.drive_before) : Json()},
      {"image", image_json(record)},
      {"plan", plan_json(record)},
      {"passes", passes_json(record)},
      {"activation", activation_json(record)},
      {"drive_after", drive_after_json(record)},
      {"scan", scan_json(record)},
      {"list", list_json(record)},
      {"dry_run", record.options && record.options->dry_run},
      {"warnings", record.warnings},
      {"interrupted", record.interrupted},
      {"exit", Json{{"code", record.exit_code}, {"meaning", exit_code_meaning(record.exit_code)}}},
      {"cause", record.cause.empty() ? Json() : Json(record.cause)}};
  if (!record.in_use.empty()) doc["drive_in_use"] = record.in_use;
  // A cause line echoes the path as typed, so it may hold bytes that are not UTF-8 (they reach
  // the terminal as typed): the document shows U+FFFD for them, the names carry them exactly.
  return doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}
