// The exit-code table: the number a run ends with, and the one a drive command ends with
// from its final status.
#pragma once

#include <cstdint>

inline constexpr int kExitSuccess = 0;          // final status 1; always after "--scan"
inline constexpr int kExitDriveError = 1;       // final status 11 (drive error) or 14 (stopped)
inline constexpr int kExitOpenFailed = 2;       // final status 2
inline constexpr int kExitFileFailed = 4;       // final status 4: the image is unusable
inline constexpr int kExitInterfaceCrc = 5;     // final status 13
inline constexpr int kExitSecurityRefused = 6;  // the security state forbids the download
inline constexpr int kExitCommandLine = 8;      // no argument, "/h", "--license", a bad line
inline constexpr int kExitNotSupported = 9;     // final status 9: no such pass-through here
// 10 ends a run in two ways: after the "/i" report, and for any final status not above
// (0, -1, 10, ...).
inline constexpr int kExitDeviceInfo = 10;
inline constexpr int kExitOtherStatus = 10;

// The exit code for the final run status of a drive command.
int map_exit_code(int32_t status);

// The exit code's meaning, worded as the README's exit-code table words it (the run report
// carries it).
const char* exit_code_meaning(int exit_code);
