#include "app/entry.h"

#include <string>
#include <vector>

#include "app/cmdline.h"
#include "app/drive_sequence.h"
#include "app/exit_codes.h"
#include "app/run_record.h"
#include "app/texts.h"
#include "csmi/csmi.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "transport/device_command.h"

namespace {

// "--json", anywhere after the program name, asks for the run report and is taken out of the
// vector before the command line is read, so that every other argument keeps its meaning and
// a command-line error is reported as data too.
bool take_json_switch(std::vector<std::u16string>& args) {
  bool found = false;
  for (size_t i = 1; i < args.size();) {
    if (args[i] == u"--json") {
      found = true;
      args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
  return found;
}

int run_command(int argc, char** argv);

}  // namespace

int quillmark_main(int argc, char** argv) {
  begin_run_record({});
  return finish_run(run_command(argc, argv));
}

namespace {

int run_command(int argc, char** argv) {
  RunOptions options;
  // The narrow vector gives only the count and the name the user typed; everything else is
  // read from the wide vector, so arguments in any script survive.
  const std::string invocation_name = (argc > 0 && argv && argv[0]) ? argv[0] : "";
  if (argc <= 1) {
    print_banner();
    print_usage(invocation_name);
    return kExitCommandLine;
  }

  std::vector<std::u16string> args;
  if (!platform_wide_args(argc, argv, args)) {
    console::wout(u"CommandLineToArgvW failed\n");
    return kExitCommandLine;
  }
  begin_run_record(args);
  if (take_json_switch(args)) {
    run_record().json = true;
    console::divert_out_to_err(true);
  }
  if (args.size() < 2) {
    print_banner();
    print_usage(invocation_name);
    return kExitCommandLine;
  }

  switch (parse_command_line(args, invocation_name, options)) {
    case ParseOutcome::Help:
      run_record().command = RunRecord::Command::Help;
      print_banner();
      print_usage(invocation_name);
      return kExitCommandLine;
    case ParseOutcome::License:
      run_record().command = RunRecord::Command::License;
      print_banner();
      print_license_texts();
      return kExitCommandLine;
    case ParseOutcome::Error:
      return kExitCommandLine;
    case ParseOutcome::Run:
      break;
  }

  run_record().options = options;
  // From here on commands go to drives: an interrupt stops the run between two of them.
  platform_install_interrupt_handler();
  if (options.flags & kFlagScan) {
    run_record().command = RunRecord::Command::Scan;
    print_banner();
    scan_csmi_devices(options.verbosity, &run_record().scan.emplace());
    if (!platform_interrupted()) return kExitSuccess;
    run_record().interrupted = true;
    note_run_cause("Scan stopped; the list above is incomplete.");
    return kExitDriveError;
  }
  run_record().command = RunRecord::Command::Drive;
  return run_drive_sequence(options);
}

}  // namespace
