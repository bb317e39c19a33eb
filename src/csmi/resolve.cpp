// Resolving a "/C:" target: open the adapter, read its phy table, pick the phy (typed, or
// found by its attached SAS address) and leave its table entry in the record for the STP
// transport.
#include <cstring>
#include <string>

#include "csmi/csmi.h"
#include "csmi/csmi_request.h"
#include "platform/console.h"

namespace {

bool is_served_protocol(uint8_t protocol) {
  return protocol == CSMI_SAS_PROTOCOL_SATA || protocol == CSMI_SAS_PROTOCOL_STP ||
         protocol == CSMI_SAS_PROTOCOL_SSP;
}

void print_phy_not_valid(int32_t index) {
  console::out("Device Opened but Phy " + std::to_string(index) + " not valid.\n");
}

// The entry whose attached device has the SAS address and a protocol the tool serves, or -1.
// Every entry is looked at; with several matches the last one wins.
int32_t find_phy(const DeviceCommand& cmd, const CSMI_SAS_PHY_ENTITY* table,
                 const uint8_t* address) {
  int32_t found = -1;
  for (int32_t i = 0; i < kCsmiPhyTableSize; ++i) {
    const CSMI_SAS_PHY_ENTITY& e = table[i];
    if (e.Identify.bDeviceType == CSMI_SAS_NO_DEVICE_ATTACHED ||
        e.Attached.bDeviceType == CSMI_SAS_NO_DEVICE_ATTACHED ||
        !is_served_protocol(e.Attached.bTargetPortProtocol) ||
        std::memcmp(e.Attached.bSASAddress, address, 8) != 0)
      continue;
    found = i;
    if (cmd.verbosity >= 1)
      console::out("SAS Address for Phy: " + std::to_string(i) + " match.\n\n");
  }
  return found;
}

}  // namespace

int open_csmi_target(DeviceCommand& cmd, CsmiTarget& target) {
  cmd.handle = platform_open_adapter(target.adapter_path);
  cmd.last_os_error = platform_get_last_error();
  if (cmd.handle == kInvalidHandle) {
    console::out("Error: Opening Device ");
    console::wout(console::typed_text(target.adapter_path));
    console::out("\n");
    return kResultNotCarried;
  }
  // Nothing goes to the adapter once the operator has asked the run to stop.
  if (platform_interrupted()) return kResultNotCarried;

  CSMI_SAS_PHY_INFO_BUFFER info;
  if (!read_phy_info(cmd.handle, info)) {
    console::out("Could not get CSMI phy information for ");
    console::wout(console::typed_text(target.adapter_path));
    console::out("\n");
    return kResultNotCarried;
  }
  const CSMI_SAS_PHY_ENTITY* table = info.Information.Phy;

  // "/l" trusts the typed SAS address and skips the phy checks. Only the address form
  // gives one: a phy-form target is selected and checked as usual.
  if (cmd.l_switch != 0 && target.phy_index < 0) {
    std::memcpy(cmd.phy.Attached.bSASAddress, target.sas_address, 8);
    std::memcpy(cmd.phy.Identify.bSASAddress, target.sas_address, 8);
    return kResultSuccess;
  }

  if (target.phy_index < 0) {
    target.phy_index = find_phy(cmd, table, target.sas_address);
    if (target.phy_index < 0) {
      console::out("Device Opened but SAS Address does not match any attached phy \n");
      return kResultNotCarried;
    }
  }

  const int32_t index = target.phy_index;
  if (index >= kCsmiPhyTableSize) {  // names no table entry
    print_phy_not_valid(index);
    return kResultNotCarried;
  }
  const CSMI_SAS_PHY_ENTITY& entry = table[index];
  if (entry.Identify.bDeviceType == CSMI_SAS_NO_DEVICE_ATTACHED ||
      entry.Attached.bDeviceType == CSMI_SAS_NO_DEVICE_ATTACHED) {
    print_phy_not_valid(index);
    return kResultNotCarried;
  }

  const uint8_t protocol = entry.Attached.bTargetPortProtocol;
  const std::string phy = std::to_string(index);
  switch (protocol) {
    case CSMI_SAS_PROTOCOL_SATA:
      if (cmd.verbosity >= 1)
        console::out("CSMI_SAS_PROTOCOL_SATA supported for Phy: " + phy + "\n\n");
      cmd.phy = entry;
      return kResultSuccess;
    case CSMI_SAS_PROTOCOL_STP:
      if (cmd.verbosity >= 1)
        console::out("CSMI_SAS_PROTOCOL_STP supported for Phy: " + phy + "\n\n");
      cmd.phy = entry;
      return kResultSuccess;
    case CSMI_SAS_PROTOCOL_SSP:
      // SAS drives take SCSI commands, not the ATA ones this tool sends.
      if (cmd.verbosity >= 1)
        console::out("CSMI_SAS_PROTOCOL_SSP supported for Phy: " + phy + "\n");
      return kResultNotCarried;
    default:
      console::out("Uknown Protocol " + std::to_string(protocol) + " for Phy: " + phy + "\n");
      return kResultNotCarried;
  }
}
