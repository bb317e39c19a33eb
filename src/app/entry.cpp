#include "app/entry.h"

#include <string>
#include <vector>

#include "app/cmdline.h"
#include "app/drive_list.h"
#include "app/drive_sequence.h"
#include "app/exit_codes.h"
#include "app/texts.h"
#include "csmi/csmi.h"
#include "platform/console.h"
#include "platform/platform.h"
#include "transport/device_command.h"

int quillmark_main(int argc, char** argv) {
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
  if (args.size() < 2) {
    print_banner();
    print_usage(invocation_name);
    return kExitCommandLine;
  }

  switch (parse_command_line(args, invocation_name, options)) {
    case ParseOutcome::Help:
      print_banner();
      print_usage(invocation_name);
      return kExitCommandLine;
    case ParseOutcome::License:
      print_banner();
      print_license_texts();
      return kExitCommandLine;
    case ParseOutcome::Error:
      return kExitCommandLine;
    case ParseOutcome::Run:
      break;
  }

  // From here on commands go to drives: an interrupt stops the run between two of them.
  platform_install_interrupt_handler();
  if (options.flags & kFlagScan) {
    print_banner();
    scan_csmi_devices(options.verbosity);
    return platform_interrupted() ? kExitDriveError : kExitSuccess;
  }
  if (options.flags & kFlagList) return list_drives(options.verbosity);
  return run_drive_sequence(options);
}
