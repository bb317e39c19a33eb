// "--list": every drive the system presents, and the drives behind CSMI adapters, each named
// in the very form a first argument takes, with what it is and whether it takes a download.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "identify/identify.h"

// One drive as the list found it.
struct ListedDrive {
  std::u16string path;        // the first argument that reaches it ("/T:..." when only ATA did)
  std::u16string other_node;  // another name of the same drive ("/dev/sg0", "/C:2,<address>")
  std::optional<InterfaceKind> answered_by;  // the pass-through that carried IDENTIFY
  DriveInfo info;           // what IDENTIFY and the log page said, with answered_by
  bool held = false;        // another run holds the drive: nothing was sent to it
  uint32_t holder_pid = 0;  // that run's process, 0 when unknown
  std::string unusable;     // neither answered nor held: why the tool cannot use it
};

struct DriveList {
  bool system_listed = false;  // the system answered the question for its drives
  uint32_t system_error = 0;   // when it did not
  std::vector<ListedDrive> drives;
  bool stopped = false;  // an interrupt came: the list is incomplete
};

// Asks every drive once: each is claimed while it is asked (a held drive is passed by), and
// only IDENTIFY DEVICE and the IDENTIFY DEVICE data log page are sent to it.
DriveList collect_drive_list(int verbosity);

// The list on the console, one line per drive, kept in `list` for the run report. 0; 10 when no
// drive at all was found; 1 when an interrupt stopped the list.
int list_drives(int verbosity, DriveList& list);
