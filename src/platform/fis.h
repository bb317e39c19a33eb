// The SATA frames (FISes) a CSMI STP pass-through request carries: the Register Host-to-Device
// FIS that takes the command to the drive, and the Register Device-to-Host or PIO Setup FIS
// that brings its registers back. No system calls, so the CSMI transport and the simulated
// adapter share one reading of every byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/ata.h"

namespace fis {

inline constexpr size_t kSize = 20;  // bCommandFIS and bStatusFIS

// FIS types (byte 0).
inline constexpr uint8_t kTypeRegisterH2D = 0x27;
inline constexpr uint8_t kTypeRegisterD2H = 0x34;
inline constexpr uint8_t kTypePioSetup = 0x5F;

// Register Host-to-Device with the C bit set (a command, not a Device Control update),
// port multiplier port 0. Every register byte goes out, whatever the command's width: the
// frame has room for all of them. `out` has room for kSize bytes.
void encode_register_h2d(const InputRegisters& registers, uint8_t* out);
InputRegisters decode_register_h2d(const uint8_t* in);

// A Register Device-to-Host FIS with the I bit set.
void encode_register_d2h(const OutputRegisters& registers, uint8_t* out);
// A PIO Setup FIS: the same register bytes, with `initial_status` as the Status the data
// phase begins with and the registers' Status as E_Status, the one the command ends with.
void encode_pio_setup(const OutputRegisters& registers, uint8_t initial_status, uint8_t* out);

// What a status FIS tells. `registers.status` is the Status the command ended with (E_Status
// of a PIO Setup FIS); `initial_status` is the PIO Setup FIS's own Status byte, or the same
// Status for a Device-to-Host FIS.
struct DeviceToHost {
  uint8_t type;
  OutputRegisters registers;
  uint8_t initial_status;
  friend bool operator==(const DeviceToHost&, const DeviceToHost&) = default;
};
// The registers of a Device-to-Host or PIO Setup FIS; nullopt for any other type, among them
// the all-zero FIS of a driver that returns no registers.
std::optional<DeviceToHost> decode_device_to_host(const uint8_t* in);

}  // namespace fis
