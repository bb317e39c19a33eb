// One drive command from the opening to the exit code.
#pragma once

#include <string>

#include "app/run_options.h"
#include "download/download.h"

// The stop line of an interrupted run: how far its download pass got (nothing sent, some of
// the transfers, or all of them and the drive's answer to the last one).
std::string stop_text(const PassProgress& progress);

// Opens, identifies, reports, checks security, downloads with retries, activates,
// re-identifies, closes. Returns the exit code of the run.
int run_drive_sequence(const RunOptions& options);
