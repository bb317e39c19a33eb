// Runs the whole tool in-process over the simulated world, as a user would start it, and
// collects what it printed and its exit code.
#pragma once

#include <string>
#include <vector>

struct ToolRun {
  int exit_code = 0;
  std::string out;  // standard output, wide text as UTF-8
  std::string err;  // the error stream
};

// args_after_program become the wide argument vector after the program name (the simulated
// world is programmed with it) and, UTF-8 encoded, the narrow vector of the same count.
// invocation is element 0 of both, the name the usage shows. Every other part of the world
// (drives, adapters, faults, args_fail) is left as the test set it up.
ToolRun run_tool(const std::vector<std::u16string>& args_after_program,
                 const std::string& invocation = "quillmark");
