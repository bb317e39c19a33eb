// CSMI discovery: resolving a "/C:" target to an adapter and phy, and the "--scan" report.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "identify/identify.h"
#include "transport/device_command.h"

// A "/C:" target as the command line names it.
struct CsmiTarget {
  std::u16string adapter_path;  // "\\.\SCSI<n>:"
  int32_t phy_index = -1;       // -1 for the address form; the index found after a search
  uint8_t sas_address[8] = {};  // first digit pair in byte 0
};

// Opens the adapter, reads its phy table, selects and checks the phy. kResultSuccess, or
// kResultNotCarried when the target is not resolved.
int open_csmi_target(DeviceCommand& cmd, CsmiTarget& target);

// What the scan found, for the run report: every adapter that opened, every phy of it with a
// device attached, and the drive behind it when IDENTIFY DEVICE answered.
struct ScanPhy {
  int32_t phy = 0;
  uint8_t protocol = 0;  // the attached device's target port protocol (CSMI_SAS_PROTOCOL_*)
  uint8_t attached_sas_address[8] = {};
  uint8_t identify_sas_address[8] = {};
  bool held = false;        // another run held the drive: it was passed by
  bool identified = false;  // drive is set
  DriveInfo drive;
};
struct ScanAdapter {
  std::u16string path;
  bool answered = false;  // the driver information request was answered
  std::string driver;     // its name, as the verbose scan shows it
  std::vector<ScanPhy> phys;
};
struct ScanReport {
  std::vector<ScanAdapter> adapters;
  bool complete = false;  // every port was looked at (no interrupt)
};

// Lists the adapters on ports 0 to 14 and the SATA drives behind them, and fills *report when
// one is given. Always kScanDone: the run ends the same way whatever the scan found.
inline constexpr int kScanDone = 0;
int scan_csmi_devices(int verbosity, ScanReport* report = nullptr);
// The line an interrupted scan ends its list with.
inline constexpr const char* kScanStoppedLine = "Scan stopped; the list above is incomplete.";

// A phy with a device attached, as the scan finds it: cmd.handle holds the adapter, cmd.phy the
// phy's entry (Attached.bTargetPortProtocol tells SATA, STP and SSP apart).
using CsmiPhyVisitor = std::function<void(DeviceCommand& cmd, unsigned port, int phy)>;
// Walks the adapters on ports 0 to 14 as the scan does (reporting the walk at cmd.verbosity as
// the scan does) and hands every phy with a device attached to visit, which decides what the
// drive is sent; the walk itself sends the drives nothing. Returns the adapters that answered.
unsigned walk_csmi_phys(DeviceCommand& cmd, const CsmiPhyVisitor& visit);
