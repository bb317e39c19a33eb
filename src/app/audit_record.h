// The audit record of a run that changed (or tried to change) a drive, for the system's log.
#pragma once

#include "app/run_record.h"
#include "platform/host.h"

// The record's fields, in the order the log shows them.
LogFields audit_fields(const RunRecord& record);

// Writes the record when the run sent a DOWNLOAD MICROCODE command or an activation.
void write_audit_record(const RunRecord& record);
