#include "platform/fis.h"

#include <cstring>

namespace fis {
namespace {

constexpr uint8_t kCommandBit = 0x80;    // byte 1 of Register H2D: a command
constexpr uint8_t kInterruptBit = 0x40;  // byte 1 of Register D2H and PIO Setup
constexpr size_t kStatus = 2;            // Status of Register D2H, initial Status of PIO Setup
constexpr size_t kEndingStatus = 15;     // E_Status of PIO Setup

// Byte 14 (Control) and bytes 15 to 19 go out as 0.
constexpr RegisterByte<InputRegisters> kHostToDevice[] = {
    {2, &InputRegisters::command},    {3, &InputRegisters::features_7_0},
    {4, &InputRegisters::lba_7_0},    {5, &InputRegisters::lba_15_8},
    {6, &InputRegisters::lba_23_16},  {7, &InputRegisters::device},
    {8, &InputRegisters::lba_31_24},  {9, &InputRegisters::lba_39_32},
    {10, &InputRegisters::lba_47_40}, {11, &InputRegisters::features_15_8},
    {12, &InputRegisters::count_7_0}, {13, &InputRegisters::count_15_8},
};

// Register D2H and PIO Setup place these alike; the Status bytes differ (kStatus,
// kEndingStatus).
constexpr RegisterByte<OutputRegisters> kDeviceToHost[] = {
    {3, &OutputRegisters::error},        {4, &OutputRegisters::lba_low},
    {5, &OutputRegisters::lba_mid},      {6, &OutputRegisters::lba_high},
    {7, &OutputRegisters::device},       {8, &OutputRegisters::lba_low_15_8},
    {9, &OutputRegisters::lba_mid_15_8}, {10, &OutputRegisters::lba_high_15_8},
    {12, &OutputRegisters::count},       {13, &OutputRegisters::count_15_8},
};

void start(uint8_t type, uint8_t flags, uint8_t* out) {
  std::memset(out, 0, kSize);
  out[0] = type;
  out[1] = flags;
}

}  // namespace

void encode_register_h2d(const InputRegisters& registers, uint8_t* out) {
  start(kTypeRegisterH2D, kCommandBit, out);
  put_registers(kHostToDevice, registers, out);
}

InputRegisters decode_register_h2d(const uint8_t* in) {
  InputRegisters registers{};
  take_registers(kHostToDevice, in, registers);
  return registers;
}

void encode_register_d2h(const OutputRegisters& registers, uint8_t* out) {
  start(kTypeRegisterD2H, kInterruptBit, out);
  put_registers(kDeviceToHost, registers, out);
  out[kStatus] = registers.status;
}

void encode_pio_setup(const OutputRegisters& registers, uint8_t initial_status, uint8_t* out) {
  start(kTypePioSetup, kInterruptBit, out);
  put_registers(kDeviceToHost, registers, out);
  out[kStatus] = initial_status;
  out[kEndingStatus] = registers.status;
}

std::optional<DeviceToHost> decode_device_to_host(const uint8_t* in) {
  if (in[0] != kTypeRegisterD2H && in[0] != kTypePioSetup) return std::nullopt;
  DeviceToHost d{};
  d.type = in[0];
  d.initial_status = in[kStatus];
  take_registers(kDeviceToHost, in, d.registers);
  d.registers.status = in[d.type == kTypePioSetup ? kEndingStatus : kStatus];
  return d;
}

}  // namespace fis
