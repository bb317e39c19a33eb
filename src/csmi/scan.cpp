// "--scan": every adapter port from 0 to 14, each SATA or STP drive behind it identified
// through STP pass-through and listed in the very syntax a "/C:" target takes.
#include <cstring>
#include <initializer_list>
#include <string>

#include "csmi/csmi.h"
#include "csmi/csmi_request.h"
#include "identify/identify.h"
#include "platform/console.h"
#include "platform/text.h"

namespace {

constexpr unsigned kLastPort = 14;
constexpr uint32_t kScanIdentifyTimeout = 15;
// How long the scan waits for another run to let a drive go before it passes the drive by.
constexpr uint32_t kScanClaimWaitMs = 5000;

constexpr const char* kAsterisks = "***********************************************";
constexpr const char* kEquals = "===============================================";

struct ScanCounts {
  unsigned adapters_opened = 0;
  unsigned adapters_answering = 0;
  unsigned drives = 0;
  ScanReport* report = nullptr;  // filled when the run report wants the scan
  // Takes every phy with a device attached in place of the scan's report of it (the list).
  const CsmiPhyVisitor* visit = nullptr;

  // The phy the walk looks at, in the report; null when there is no report.
  ScanPhy* current_phy() {
    return report != nullptr ? &report->adapters.back().phys.back() : nullptr;
  }
};

std::string decimal(unsigned value) { return std::to_string(value); }

// An 81-byte driver text, up to its first NUL and never past its end.
std::string fixed_text(const uint8_t (&text)[81]) {
  const void* nul = std::memchr(text, 0, sizeof text);
  const size_t length = nul ? static_cast<const uint8_t*>(nul) - text : sizeof text;
  return std::string(reinterpret_cast<const char*>(text), length);
}

void print_adapter_banner(const std::u16string& path) {
  console::out("\n");
  console::out(kAsterisks);
  console::out("\n\t");
  console::wout(path);
  console::out("\n");
}

// The controller and driver requests count as failed when the thread's error code is set
// after them. It is cleared first so that an earlier call's error is not taken for theirs.
template <typename Buffer>
bool read_adapter_information(Handle adapter, uint32_t control_code, Buffer& buffer) {
  init_csmi_request(buffer, CSMI_ALL_SIGNATURE, control_code);
  platform_set_last_error(0);
  platform_csmi_request(adapter, &buffer, sizeof buffer);
  return platform_get_last_error() == 0;
}

struct NamedByte {
  const char* name;
  uint8_t value;
};

void print_bytes(const char* indent, std::initializer_list<NamedByte> fields) {
  for (const NamedByte& f : fields) console::printf("%s%s: 0x%02x\n", indent, f.name, f.value);
}

void dump_identify(const CSMI_SAS_IDENTIFY& id) {
  print_bytes("\t\t", {{"bDeviceType", id.bDeviceType},
                       {"bRestricted", id.bRestricted},
                       {"bInitiatorPortProtocol", id.bInitiatorPortProtocol},
                       {"bTargetPortProtocol", id.bTargetPortProtocol},
                       {"bPhyIdentifier", id.bPhyIdentifier},
                       {"bSignalClass", id.bSignalClass}});
  console::printf("\t\tSAS Address: ");
  for (uint8_t b : id.bSASAddress) console::printf("0x%02x ", b);
  console::printf("\n");
}

void dump_entry(const CSMI_SAS_PHY_ENTITY& e) {
  console::printf("\n");
  print_bytes("\t", {{"bPortIdentifier", e.bPortIdentifier},
                     {"bNegotiatedLinkRate", e.bNegotiatedLinkRate},
                     {"bMinimumLinkRate", e.bMinimumLinkRate},
                     {"bMaximumLinkRate", e.bMaximumLinkRate},
                     {"bPhyChangeCount", e.bPhyChangeCount},
                     {"bAutoDiscover", e.bAutoDiscover},
                     {"bPhyFeatures", e.bPhyFeatures}});
  console::printf("\tATTACHED:\n");
  dump_identify(e.Attached);
  console::printf("\tIDENTIFY:\n");
  dump_identify(e.Identify);
}

void print_sas_address(const char* label, const uint8_t (&address)[8], const char* end) {
  console::out(label);
  for (uint8_t b : address) console::printf("%02x", b);
  console::out(end);
}

// IDENTIFY DEVICE to the drive behind the record's phy entry; lists it when it answers. A
// drive that another run holds is left alone, after a short wait for it.
void identify_drive(DeviceCommand& cmd, uint8_t* identify, unsigned port, int phy,
                    ScanCounts& counts) {
  const int verbosity = cmd.verbosity;
  const CSMI_SAS_PHY_ENTITY& entry = cmd.phy;
  const std::u16string path = csmi_adapter_path(port);
  Handle claim = kInvalidHandle;
  ScanPhy* const listed = counts.current_phy();
  if (!claim_drive(claim_key(path, entry, phy), path + u16(std::to_string(phy)), kScanClaimWaitMs,
                   claim)) {
    if (listed != nullptr) listed->held = true;
    return;
  }
  const int sent = issue_stp_passthru(cmd);
  release_drive(claim);
  if (sent != kResultSuccess) {
    if (verbosity >= 1)
      console::printf(
          "\tCSMI:%d:%d STP command FAILED with GetLastError %d to Phy[%d] Port[%d]\n\n",
          static_cast<int>(port), phy, static_cast<int>(cmd.last_os_error),
          entry.Identify.bPhyIdentifier, entry.bPortIdentifier);
    return;
  }

  DriveInfo drive;
  decode_identify_data(identify, drive);
  if (listed != nullptr) {
    listed->identified = true;
    listed->drive = drive;
  }
  const std::string serial = console::device_text(drive.serial);
  const std::string firmware = console::device_text(drive.firmware);
  const std::string model = console::device_text(drive.model);
  if (verbosity >= 1) {
    console::out("\tDrive Serial Number: " + serial + "\n");
    console::out("\tDrive Model Number: " + model + "\n");
    console::out("\tDrive Firmware Rev: " + firmware + "\n\n");
    console::printf("\tATA Security Word: 0x%x\n", drive.security_word);
    console::out("\tATA Security State: " + security_state_name(drive.security_state) + "\n");
  }
  console::out(utf16_to_utf8(csmi_adapter_path(port)) + std::to_string(phy) + " # " + serial + "," +
               model + "," + firmware + "\n");
  print_sas_address("SAS Address (Attached): ", entry.Attached.bSASAddress, "\n");
  print_sas_address("SAS Address (Identify): ", entry.Identify.bSASAddress, "\n\n");
  ++counts.drives;
}

void walk_phys(DeviceCommand& cmd, const CSMI_SAS_PHY_INFO& info, uint8_t* identify, unsigned port,
               ScanCounts& counts) {
  const int verbosity = cmd.verbosity;
  for (int i = 0; i < kCsmiPhyTableSize && !platform_interrupted(); ++i) {
    cmd.phy = info.Phy[i];
    const CSMI_SAS_PHY_ENTITY& e = cmd.phy;
    if (verbosity >= 1) console::printf("Phy %d ", i);
    if (e.Identify.bDeviceType == CSMI_SAS_NO_DEVICE_ATTACHED) {
      if (verbosity >= 1) console::out("Skipping...nothing identified\n");
      continue;
    }
    if (e.Attached.bDeviceType == CSMI_SAS_NO_DEVICE_ATTACHED) {
      if (verbosity >= 1) console::out("Skipping...nothing attached\n");
      continue;
    }
    if (verbosity >= 1) dump_entry(e);
    if (counts.visit != nullptr) {
      (*counts.visit)(cmd, port, i);
      continue;
    }
    if (counts.report != nullptr) {
      ScanPhy listed;
      listed.phy = i;
      listed.protocol = e.Attached.bTargetPortProtocol;
      std::memcpy(listed.attached_sas_address, e.Attached.bSASAddress, 8);
      std::memcpy(listed.identify_sas_address, e.Identify.bSASAddress, 8);
      counts.report->adapters.back().phys.push_back(listed);
    }

    const uint8_t protocol = e.Attached.bTargetPortProtocol;
    switch (protocol) {
      case CSMI_SAS_PROTOCOL_SATA:
        if (verbosity >= 1) {
          console::out("\tCSMI_SAS_PROTOCOL_SATA supported for Phy: " + std::to_string(i));
          console::printf(" 0x%x\n", protocol);
          console::out("\tCSMI_SAS_PROTOCOL_STP supported for Phy: " + std::to_string(i) + "\n\n");
        }
        identify_drive(cmd, identify, port, i, counts);
        break;
      case CSMI_SAS_PROTOCOL_STP:
        if (verbosity >= 1)
          console::out("\tCSMI_SAS_PROTOCOL_STP supported for Phy: " + std::to_string(i) + "\n\n");
        identify_drive(cmd, identify, port, i, counts);
        break;
      case CSMI_SAS_PROTOCOL_SSP: {
        if (verbosity >= 1)
          console::out("CSMI_SAS_PROTOCOL_SSP supported for Phy: " + std::to_string(i) + "\n");
        uint32_t os_error = 0;
        if (!ssp_inquiry_probe(cmd.handle, e, os_error))
          console::printf("SSP command FAILED with GetLastError %d\n", static_cast<int>(os_error));
        break;
      }
      default:
        console::out("Uknown Protocol " + std::to_string(protocol) +
                     " for Phy: " + std::to_string(i) + " so skipping. \n");
        break;
    }
  }
}

// Once the operator has asked the scan to stop, nothing more goes to the adapter.
bool stopped(Handle adapter) {
  if (!platform_interrupted()) return false;
  platform_close(adapter);
  return true;
}

// One adapter port: opened, described, walked and released.
void scan_port(unsigned port, DeviceCommand& cmd, uint8_t* identify, ScanCounts& counts) {
  const int verbosity = cmd.verbosity;
  const std::u16string path = csmi_adapter_path(port);

  const Handle adapter = platform_open_adapter(path);
  if (adapter == kInvalidHandle) {
    if (verbosity >= 1) {
      console::wout(path);
      console::out("...NOT FOUND\n");
    }
    return;
  }
  if (verbosity >= 1) {
    console::wout(path);
    console::out("...FOUND\n");
  }
  ++counts.adapters_opened;
  if (stopped(adapter)) return;
  if (counts.report != nullptr) counts.report->adapters.push_back(ScanAdapter{path, false, {}, {}});

  CSMI_SAS_CNTLR_CONFIG_BUFFER config;
  if (read_adapter_information(adapter, CC_CSMI_SAS_GET_CNTLR_CONFIG, config)) {
    if (verbosity >= 1) {
      print_adapter_banner(path);
      console::out("\tBoardID: " + decimal(config.Configuration.uBoardID) + "\n");
      console::out("\tControllerFlags: " + decimal(config.Configuration.uControllerFlags) + "\n");
    }
  } else if (verbosity >= 1) {
    console::out("Getting CSMI CNTLR info failed. ");
    console::wout(path);
    console::out("\n\n");
  }
  if (stopped(adapter)) return;

  CSMI_SAS_DRIVER_INFO_BUFFER driver;
  if (!read_adapter_information(adapter, CC_CSMI_SAS_GET_DRIVER_INFO, driver)) {
    if (verbosity >= 1) {
      console::out("Getting CSMI Driver info failed. ");
      console::wout(path);
      console::out("\n\n");
    }
    platform_close(adapter);
    return;
  }
  if (verbosity >= 1) {
    const CSMI_SAS_DRIVER_INFO& d = driver.Information;
    print_adapter_banner(path);
    console::out("\tDriver: " + console::device_text(fixed_text(d.szName)) + "\n");
    console::out("\tDescription: " + console::device_text(fixed_text(d.szDescription)) + "\n");
    console::out("\tVersion: " + decimal(d.usMajorRevision) + "." + decimal(d.usMinorRevision) +
                 "\n");
    console::out("\tCSMI Version: " + decimal(d.usCSMIMajorRevision) + "." +
                 decimal(d.usCSMIMinorRevision) + "\n");
    console::out("\tRelease: " + decimal(d.usReleaseRevision) + "\n");
  }
  ++counts.adapters_answering;
  if (stopped(adapter)) return;
  if (counts.report != nullptr) {
    counts.report->adapters.back().answered = true;
    counts.report->adapters.back().driver =
        console::device_text(fixed_text(driver.Information.szName));
  }

  // A failed phy request is not reported: the walk then sees an empty table.
  CSMI_SAS_PHY_INFO_BUFFER phys;
  if (!read_phy_info(adapter, phys)) std::memset(&phys.Information, 0, sizeof phys.Information);
  cmd.handle = adapter;
  if (verbosity >= 1)
    console::printf("\n\tTotal Number of Phys: %d\n\n", phys.Information.bNumberOfPhys);

  walk_phys(cmd, phys.Information, identify, port, counts);
  platform_close(adapter);
}

}  // namespace

int scan_csmi_devices(int verbosity, ScanReport* report) {
  DeviceCommand cmd{};
  uint8_t identify[512] = {};
  set_identify_command(cmd, identify);
  cmd.timeout = kScanIdentifyTimeout;
  cmd.verbosity = verbosity;

  console::out("\tScanning for CSMI Devices\n\n");
  ScanCounts counts;
  counts.report = report;
  for (unsigned port = 0; port <= kLastPort && !platform_interrupted(); ++port)
    scan_port(port, cmd, identify, counts);
  if (report != nullptr) report->complete = !platform_interrupted();
  if (platform_interrupted()) {
    // The command in flight completed; nothing else is sent, and the list is incomplete.
    if (console::mid_line()) console::out("\n");
    console::out(kScanStoppedLine);
    console::out("\n");
    return kScanDone;
  }

  if (verbosity >= 1) {
    console::out("\n");
    console::out(kEquals);
    console::out("\n");
    if (counts.adapters_answering > 0)
      console::out("\nFound " + decimal(counts.adapters_answering) + " CSMI Controller(s) and " +
                   decimal(counts.drives) + " CSMI device(s)\n\n");
    else
      console::out("\nTested " + decimal(counts.adapters_opened) +
                   " valid controller(s) but didn't find any CSMI devices\n\n");
  }
  // CSMI is a Windows driver interface: elsewhere the hint names the system's own drive nodes.
  if (platform_csmi_supported())
    console::out(
        "To Scan the system for Physical Devices please use the following:\n\t wmic diskdrive "
        "get DeviceID,model,FirmwareRevision,InterfaceType\n\n");
  else
    console::out(
        "To Scan the system for Physical Devices please use the following:\n\t quillmark "
        "--list\nand name a drive by the /dev/sdX or /dev/sgN node it shows (lsblk -d lists "
        "them too).\n\n");
  return kScanDone;
}

unsigned walk_csmi_phys(DeviceCommand& cmd, const CsmiPhyVisitor& visit) {
  ScanCounts counts;
  counts.visit = &visit;
  for (unsigned port = 0; port <= kLastPort && !platform_interrupted(); ++port)
    scan_port(port, cmd, nullptr, counts);
  return counts.adapters_answering;
}
