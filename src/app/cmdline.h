// The command-line grammar: the first argument names the target (or is a command of its
// own), every later argument is an option. Keywords match as case-sensitive prefixes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/run_options.h"

// What the command line asks the entry point to do.
enum class ParseOutcome {
  Run,      // options filled: a drive command, the scan or the list
  Help,     // "/h", "/H"
  License,  // "--license", "/L"
  Error,    // already reported (message and usage printed)
};

// Reads the wide argument vector into options, which the caller has left at their defaults.
// Element 0 (the program name) is not looked at; the caller makes sure element 1 exists.
// invocation_name is what the usage shows after a command-line error.
ParseOutcome parse_command_line(const std::vector<std::u16string>& args,
                                const std::string& invocation_name, RunOptions& options);

// A number read the way strtol/stoi read text: leading white space, an optional sign, then
// digits up to the first character that is not one; the rest is not examined.
struct ConvertedNumber {
  bool has_digits = false;  // false: nothing to convert (stoi would reject it), value 0
  bool in_range = true;     // false: beyond 32 bits (stoi would reject it), value clamped
  int32_t value = 0;
};

// base is 10 or 16. Base 16 takes an optional "0x"/"0X" after the sign, as strtol does.
ConvertedNumber convert_number(std::u16string_view text, int base);

// The text without the C locale's white space at either end.
std::u16string_view trimmed(std::u16string_view text);
