#include "sim/builtin_adapter.h"

#include <cstring>
#include <string>

#include "sim/world.h"

namespace sim {
namespace {

constexpr int kBuiltinPort = 2;
constexpr int kAdapterPhys = 8;
constexpr int kPopulatedPhys = 6;
constexpr uint8_t kStpPhy = 4;
constexpr uint8_t kSspPhy = 5;

void set_address(uint8_t (&address)[8], uint8_t last) {
  const uint8_t base[8] = {0x50, 0x01, 0x51, 0x4D, 0x00, 0x00, 0x02, last};
  std::memcpy(address, base, 8);
}

}  // namespace

void add_builtin_adapter() {
  Adapter& a = add_adapter(kBuiltinPort);

  set_driver(a, "qmsas", "Quillmark simulated SAS/SATA host bus adapter", {2, 1, 7, 3});

  a.config.uBoardID = 0x51C20002;
  a.config.usSlotNumber = 2;
  a.config.bControllerClass = 5;  // SAS
  a.config.bIoBusType = 3;        // PCI
  a.config.BusAddress.PciAddress.bBusNumber = 3;
  set_csmi_text(a.config.szSerialNumber, "QMSIMHBA0002");
  a.config.usMajorRevision = 2;
  a.config.usMinorRevision = 1;
  a.config.uControllerFlags = 0x00000001;  // a SAS host bus adapter

  a.number_of_phys = kAdapterPhys;
  for (int i = 0; i < kCsmiPhyTableSize; ++i) {
    CSMI_SAS_PHY_ENTITY& e = a.phys[i];
    e = CSMI_SAS_PHY_ENTITY{};
    if (i >= kAdapterPhys) continue;  // no such phy: nothing identified, nothing attached

    // The adapter's own side of the link.
    e.Identify.bDeviceType = CSMI_SAS_END_DEVICE;
    e.Identify.bInitiatorPortProtocol =
        CSMI_SAS_PROTOCOL_SATA | CSMI_SAS_PROTOCOL_STP | CSMI_SAS_PROTOCOL_SSP;
    set_address(e.Identify.bSASAddress, static_cast<uint8_t>(0x80 + i));
    e.Identify.bPhyIdentifier = static_cast<uint8_t>(i);
    e.bMinimumLinkRate = 0x88;          // programmed and hardware minimum 1.5 Gb/s
    e.bMaximumLinkRate = 0xAA;          // programmed and hardware maximum 6.0 Gb/s
    if (i >= kPopulatedPhys) continue;  // a phy of the adapter with no cable

    e.bPortIdentifier = static_cast<uint8_t>(i);
    e.bNegotiatedLinkRate = 0x0A;  // 6.0 Gb/s
    e.bAutoDiscover = 0x02;        // discovery complete

    e.Attached.bDeviceType = CSMI_SAS_END_DEVICE;
    e.Attached.bTargetPortProtocol = i == kStpPhy   ? CSMI_SAS_PROTOCOL_STP
                                     : i == kSspPhy ? CSMI_SAS_PROTOCOL_SSP
                                                    : CSMI_SAS_PROTOCOL_SATA;
    set_address(e.Attached.bSASAddress, static_cast<uint8_t>(i));
    e.Attached.bPhyIdentifier = 0;

    a.devices[i] = i == kStpPhy ? PhyDevice::Stp : i == kSspPhy ? PhyDevice::Ssp : PhyDevice::Sata;
    Drive d;  // the default simulated drive's model and firmware, a serial of its own
    d.serial = "QMSIMC2P" + std::to_string(i);
    a.drives[i] = d;
  }
}

}  // namespace sim
