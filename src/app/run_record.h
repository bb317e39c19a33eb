// The run as data: one record per process, filled as the run goes by the entry point, the
// command line, the drive sequence and the scan from what the engine, the CSMI resolution and
// the claim return. The console texts are written from the same events; the JSON report
// (--json) is written from this record at the end of the run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/drive_list.h"
#include "app/run_options.h"
#include "csmi/csmi.h"
#include "download/download.h"
#include "identify/identify.h"
#include "platform/text.h"
#include "transport/device_command.h"

// One download or activate pass as the engine reported it.
struct PassRecord {
  PassProgress progress;
  int32_t result = 0;
  uint32_t os_error = 0;
  DownloadReport report;
};

struct RunRecord {
  int64_t started_ms = 0;  // UTC, milliseconds since the epoch
  std::vector<std::u16string> arguments;
  bool json = false;
  // The options as parsed: set once the command line was read without an error.
  std::optional<RunOptions> options;
  enum class Command { None, Help, License, Scan, List, Drive } command = Command::None;

  // The target: set once the drive sequence tried to open it.
  bool target_tried = false;
  bool opened = false;
  std::optional<SCSI_ADDRESS> scsi_address;
  std::optional<int32_t> csmi_phy;  // the phy as resolved
  std::optional<std::string> csmi_sas_address;

  std::optional<DriveClaim> claim;
  std::optional<DriveInfo> drive_before;
  // What the running system has mounted from the drive, when a warning named it.
  std::vector<std::string> in_use;
  std::optional<DownloadReport> image;  // the first pass's image and plan facts
  std::vector<PassRecord> passes;
  std::optional<PassRecord> activation;
  std::optional<std::string> firmware_after;
  std::string why_no_firmware_after = "the run ended before the drive was identified again";
  std::optional<ScanReport> scan;
  std::optional<DriveList> list;
  std::vector<std::string> warnings;  // the rehearsal's (--dry-run) mismatches with the drive

  bool interrupted = false;
  std::string cause;  // the line on the error stream that names why the run failed
  int exit_code = 0;
};

// The record of this process's run.
RunRecord& run_record();

// The one line that names why the run failed, as the error stream shows it.
void note_run_cause(std::string_view line);
// That line on the error stream, as every failure's cause, and in the record.
void say_run_cause(std::string_view line);
// An interrupted run: its stop line said and recorded, and the record marked as stopped.
void say_run_stopped(std::string_view line);

// The steps of a drive command, as the drive sequence meets them.
void note_scsi_target(const DeviceCommand& cmd, bool opened);
void note_csmi_target(const CsmiTarget& resolved, const CSMI_SAS_PHY_ENTITY& entry, bool opened);
// A pass as the engine returned it; the first download pass also gives the image and the plan.
void note_pass(const PassProgress& progress, int32_t result, uint32_t os_error,
               const DownloadReport& report, bool activation);

// The rehearsal's (--dry-run) image and plan facts; no pass was sent.
void note_rehearsal(const DownloadReport& report);

// Empties the record and notes the start of a run with these arguments.
void begin_run_record(const std::vector<std::u16string>& arguments);

// Closes the record with the exit code and, under --json, writes it as the one document on
// standard output. Returns the exit code.
int finish_run(int exit_code);

// The run record as the JSON document of --json (UTF-8, one line end after it).
std::string run_report_json(const RunRecord& record, int64_t ended_ms);
