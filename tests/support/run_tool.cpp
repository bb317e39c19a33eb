#include "support/run_tool.h"

#include "app/entry.h"
#include "platform/console.h"
#include "platform/text.h"
#include "sim/world.h"

ToolRun run_tool(const std::vector<std::u16string>& args_after_program,
                 const std::string& invocation) {
  std::vector<std::u16string> wide{utf8_to_utf16(invocation)};
  wide.insert(wide.end(), args_after_program.begin(), args_after_program.end());
  sim::world().args = wide;

  std::vector<std::string> narrow;
  narrow.reserve(wide.size());
  narrow.push_back(invocation);
  for (const auto& arg : args_after_program) narrow.push_back(utf16_to_utf8(arg));
  std::vector<char*> argv;
  for (auto& arg : narrow) argv.push_back(arg.data());
  argv.push_back(nullptr);

  ToolRun run;
  console::capture_begin();
  run.exit_code = quillmark_main(static_cast<int>(narrow.size()), argv.data());
  run.out = console::captured_out();
  run.err = console::captured_err();
  console::capture_end();
  return run;
}
