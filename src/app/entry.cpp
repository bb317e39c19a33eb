#include "app/entry.h"

#include <string>
#include <string_view>
#include <vector>

#include "app/cmdline.h"
#include "app/drive_list.h"
#include "app/drive_sequence.h"
#include "app/exit_codes.h"
#include "app/run_record.h"
#include "app/texts.h"
#include "csmi/csmi.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "transport/device_command.h"

namespace {

// The end of a run that sends nothing: exit code 8 with its cause on the error stream, or 1
// when the operator's interrupt came meanwhile, as for any interrupted run.
int end_without_drive(std::string_view cause) {
  if (platform_interrupted()) {
    if (console::mid_line()) console::out("\n");
    say_run_stopped(stop_text(PassProgress{}));
    return kExitDriveError;
  }
  if (!cause.empty()) say_run_cause(cause);
  return kExitCommandLine;
}

int usage(const std::string& invocation_name, std::string_view cause) {
  print_banner();
  print_usage(invocation_name);
  return end_without_drive(cause);
}

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
  // First of all: a signal in the first moments stops the run as a later one does, with its
  // line and exit code 1, instead of ending the process unannounced.
  platform_install_interrupt_handler();
  begin_run_record({});
  return finish_run(run_command(argc, argv));
}

namespace {

int run_command(int argc, char** argv) {
  RunOptions options;
  // The narrow vector gives only the count and the name the user typed; everything else is
  // read from the wide vector, so arguments in any script survive.
  const std::string invocation_name = (argc > 0 && argv && argv[0]) ? argv[0] : "";
  constexpr std::string_view kNoArguments = "No drive was named: the usage says how";
  if (argc <= 1) return usage(invocation_name, kNoArguments);

  std::vector<std::u16string> args;
  if (!platform_wide_args(argc, argv, args)) {
    console::wout(u"CommandLineToArgvW failed\n");
    return end_without_drive("CommandLineToArgvW failed: the command line cannot be read");
  }
  begin_run_record(args);
  if (take_json_switch(args)) {
    run_record().json = true;
    console::divert_out_to_err(true);
  }
  if (args.size() < 2) return usage(invocation_name, kNoArguments);

  switch (parse_command_line(args, invocation_name, options)) {
    case ParseOutcome::Help:
      run_record().command = RunRecord::Command::Help;
      return usage(invocation_name, "The usage was asked for: nothing was run");
    case ParseOutcome::License:
      run_record().command = RunRecord::Command::License;
      print_banner();
      print_license_texts();
      return end_without_drive("The licence texts were asked for: nothing was run");
    case ParseOutcome::Error:
      // The error's line is on the error stream already.
      return end_without_drive("");
    case ParseOutcome::Run:
      break;
  }

  if (platform_interrupted()) return end_without_drive("");
  run_record().options = options;
  if (options.flags & kFlagScan) {
    run_record().command = RunRecord::Command::Scan;
    print_banner();
    scan_csmi_devices(options.verbosity, &run_record().scan.emplace());
    if (!platform_interrupted()) return kExitSuccess;
    // The scan has said so on its own stream; the record keeps the same line.
    run_record().interrupted = true;
    note_run_cause(kScanStoppedLine);
    return kExitDriveError;
  }
  if (options.flags & kFlagList) {
    run_record().command = RunRecord::Command::List;
    return list_drives(options.verbosity, run_record().list.emplace());
  }
  run_record().command = RunRecord::Command::Drive;
  return run_drive_sequence(options);
}

}  // namespace
