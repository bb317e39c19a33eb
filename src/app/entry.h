// The program's entry and the exit-code table.
#pragma once

#include <cstdint>

// The whole run: parse, dispatch, exit code. argc/argv are the narrow vector the process
// started with (its count and its first element, the invocation name, are used).
int quillmark_main(int argc, char** argv);

// The exit code for the final run status of a drive command.
int map_exit_code(int32_t status);
