// The process's run record: begun by the entry point, filled by the steps of the run, closed
// with the exit code.
#include "app/run_record.h"

#include <chrono>

#include "app/audit_record.h"
#include "platform/console.h"

namespace {

int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

RunRecord& run_record() {
  static RunRecord record;
  return record;
}

void note_run_cause(std::string_view line) { run_record().cause = std::string(line); }

void say_run_cause(std::string_view line) {
  console::err_line(line);
  note_run_cause(line);
}

void say_run_stopped(std::string_view line) {
  run_record().interrupted = true;
  say_run_cause(line);
}

void note_scsi_target(const DeviceCommand& cmd, bool opened) {
  RunRecord& record = run_record();
  record.target_tried = true;
  record.opened = opened;
  if (opened) record.scsi_address = cmd.address;
}

void note_csmi_target(const CsmiTarget& resolved, const CSMI_SAS_PHY_ENTITY& entry, bool opened) {
  RunRecord& record = run_record();
  record.target_tried = true;
  record.opened = opened;
  if (!opened) return;
  // The address form under /l trusts the typed address and selects no phy.
  if (resolved.phy_index >= 0) record.csmi_phy = resolved.phy_index;
  record.csmi_sas_address = hex_text(entry.Attached.bSASAddress, 8);
}

void note_pass(const PassProgress& progress, int32_t result, uint32_t os_error,
               const DownloadReport& report, bool activation) {
  RunRecord& record = run_record();
  const PassRecord pass{progress, result, os_error, report};
  if (activation) {
    record.activation = pass;
    return;
  }
  record.passes.push_back(pass);
  if (!record.image) record.image = report;
}

void note_rehearsal(const DownloadReport& report) { run_record().image = report; }

void begin_run_record(const std::vector<std::u16string>& arguments) {
  RunRecord& record = run_record();
  record = RunRecord{};
  record.started_ms = now_ms();
  record.arguments = arguments;
}

int finish_run(int exit_code) {
  RunRecord& record = run_record();
  record.exit_code = exit_code;
  write_audit_record(record);
  if (!record.json) return exit_code;
  // The human texts went to the error stream; they are handed over before the document, so a
  // person who reads both sees the run end before its account.
  console::flush();
  console::document(run_report_json(record, now_ms()));
  console::divert_out_to_err(false);
  return exit_code;
}
