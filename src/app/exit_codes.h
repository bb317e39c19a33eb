// The exit-code table: the number a drive command ends with, from its final status.
#pragma once

#include <cstdint>

// The exit code for the final run status of a drive command.
int map_exit_code(int32_t status);
