// Building simulated CSMI adapters for tests: an adapter with answering driver and
// controller requests, and devices attached to chosen phys.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "sim/world.h"
#include "support/helpers.h"

namespace csmi_test {

using SasAddress = std::array<uint8_t, 8>;

// The attached address the tests give phy p of adapter port n, unless a case says otherwise.
inline SasAddress address_for(int port, int phy) {
  return {
      0x50, 0x0A, 0x0B, 0x0C, 0x00, static_cast<uint8_t>(port), 0x00, static_cast<uint8_t>(phy)};
}

// An adapter whose driver and controller requests answer, with eight phys of its own and
// nothing attached to any of them.
inline sim::Adapter& add_empty_adapter(int port) {
  sim::Adapter& a = sim::add_adapter(port);
  sim::set_driver(a, "testsas", "Test SAS adapter", {4, 12, 99, 17});
  a.config.uBoardID = 305419896;  // 0x12345678
  a.config.uControllerFlags = 3;
  a.number_of_phys = 8;
  for (int phy = 0; phy < 8; ++phy) {
    a.phys[phy].Identify.bDeviceType = CSMI_SAS_END_DEVICE;
    a.phys[phy].Identify.bPhyIdentifier = static_cast<uint8_t>(phy);
  }
  return a;
}

// Puts a device on a phy: both sides identified, the given target protocol and address.
inline void attach(sim::Adapter& a, int phy, sim::PhyDevice device, uint8_t protocol,
                   const SasAddress& address) {
  CSMI_SAS_PHY_ENTITY& e = a.phys[phy];
  e.Identify.bDeviceType = CSMI_SAS_END_DEVICE;
  e.Identify.bInitiatorPortProtocol = CSMI_SAS_PROTOCOL_SATA | CSMI_SAS_PROTOCOL_STP;
  e.Identify.bPhyIdentifier = static_cast<uint8_t>(phy);
  e.Identify.bSASAddress[0] = 0x5C;
  e.Identify.bSASAddress[7] = static_cast<uint8_t>(0x80 + phy);
  e.bPortIdentifier = static_cast<uint8_t>(0x10 + phy);
  e.bNegotiatedLinkRate = 0x0A;
  e.Attached.bDeviceType = CSMI_SAS_END_DEVICE;
  e.Attached.bTargetPortProtocol = protocol;
  std::memcpy(e.Attached.bSASAddress, address.data(), 8);
  a.devices[phy] = device;
}

inline void attach_sata(sim::Adapter& a, int phy, const std::string& serial) {
  attach(a, phy, sim::PhyDevice::Sata, CSMI_SAS_PROTOCOL_SATA, address_for(a.port, phy));
  a.drives[phy].serial = serial;
}

// The IOCTL header a CSMI request starts with: its own length, signature, timeout, control
// code, a zero return code and the length of what follows it.
inline void expect_header(const Bytes& b, const char* signature, uint32_t timeout, uint32_t code) {
  ASSERT_GE(b.size(), 28u);
  EXPECT_EQ(u32_at(b, 0), 28u);
  EXPECT_EQ(0, std::memcmp(b.data() + 4, signature, 8));
  EXPECT_EQ(u32_at(b, 12), timeout);
  EXPECT_EQ(u32_at(b, 16), code);
  EXPECT_EQ(u32_at(b, 20), 0u);
  EXPECT_EQ(u32_at(b, 24), b.size() - 28);
}

}  // namespace csmi_test
