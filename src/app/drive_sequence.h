// One drive command from the opening to the exit code.
#pragma once

#include "app/run_options.h"

// Opens, identifies, reports, checks security, downloads with retries, activates,
// re-identifies, closes. Returns the exit code of the run.
int run_drive_sequence(const RunOptions& options);
