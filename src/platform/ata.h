// ATA command opcodes and register bits, as the host sends them and the drive answers them.
// Shared by the logic that builds commands, the backends that carry them and the simulated
// drive that executes them.
#pragma once

#include <cstddef>
#include <cstdint>

// Command opcodes.
inline constexpr uint8_t kAtaIdentifyDevice = 0xEC;
inline constexpr uint8_t kAtaReadLogExt = 0x2F;
inline constexpr uint8_t kAtaDownloadMicrocode = 0x92;

// DOWNLOAD MICROCODE sub-commands (the Features register).
inline constexpr uint8_t kAtaDmSegmented = 0x03;
inline constexpr uint8_t kAtaDmImmediate = 0x07;
inline constexpr uint8_t kAtaDmDeferred = 0x0E;
inline constexpr uint8_t kAtaDmActivate = 0x0F;

// What the Count output register says after a segment of mode 0x03: the drive expects more
// data, or has received the whole image. Any other value says neither.
inline constexpr uint8_t kAtaDmExpectsMore = 0x01;
inline constexpr uint8_t kAtaDmTransferComplete = 0x02;

// The vendor IDENTIFY variant: IDENTIFY DEVICE with this Features value and this 28-bit LBA.
inline constexpr uint8_t kAtaVendorIdentifyFeatures = 0x0B;
inline constexpr uint32_t kAtaVendorIdentifyLba = 0x2097DB;

// Status register bits.
inline constexpr uint8_t kAtaStatusErr = 0x01;
inline constexpr uint8_t kAtaStatusDrq = 0x08;
inline constexpr uint8_t kAtaStatusDf = 0x20;
inline constexpr uint8_t kAtaStatusBsy = 0x80;

// The Status of a command completed without error (DRDY and DSC), and of one the drive
// aborted (the same with ERR), with the Error register's ABRT bit.
inline constexpr uint8_t kAtaStatusReady = 0x50;
inline constexpr uint8_t kAtaStatusAborted = 0x51;
inline constexpr uint8_t kAtaErrorAbort = 0x04;

// The Device register's LBA bit: the LBA registers hold a block address (or, for DOWNLOAD
// MICROCODE, the block count and offset), not a cylinder, head and sector.
inline constexpr uint8_t kAtaDeviceLba = 0x40;

// The input registers of one command: for each 16-bit register the bits-15:8 byte (the
// previous half, sent only with a 48-bit command) comes right before the bits-7:0 byte, then
// Device and Command. This is also the order of bytes 3 to 14 of SAT's ATA PASS-THROUGH (16).
struct InputRegisters {
  uint8_t features_15_8;
  uint8_t features_7_0;
  uint8_t count_15_8;
  uint8_t count_7_0;
  uint8_t lba_31_24;
  uint8_t lba_7_0;
  uint8_t lba_39_32;
  uint8_t lba_15_8;
  uint8_t lba_47_40;
  uint8_t lba_23_16;
  uint8_t device;
  uint8_t command;
  friend bool operator==(const InputRegisters&, const InputRegisters&) = default;
};
static_assert(sizeof(InputRegisters) == 12);

// Where DOWNLOAD MICROCODE carries its numbers: the block count in Count (7:0) (low byte) and
// LBA (7:0) (high byte), the block offset in LBA (15:8) (low) and LBA (23:16) (high). Each
// setter writes its two registers and no other.
inline void set_download_block_count(InputRegisters& r, uint32_t blocks) {
  r.count_7_0 = static_cast<uint8_t>(blocks);
  r.lba_7_0 = static_cast<uint8_t>(blocks >> 8);
}
inline void set_download_block_offset(InputRegisters& r, uint32_t offset) {
  r.lba_15_8 = static_cast<uint8_t>(offset);
  r.lba_23_16 = static_cast<uint8_t>(offset >> 8);
}
inline uint32_t download_block_count(const InputRegisters& r) {
  return uint32_t{r.count_7_0} | uint32_t{r.lba_7_0} << 8;
}
inline uint32_t download_block_offset(const InputRegisters& r) {
  return uint32_t{r.lba_15_8} | uint32_t{r.lba_23_16} << 8;
}

// The drive's output registers: Error, Count, LBA low, mid and high, Device, Status, and the
// bits-15:8 halves a 48-bit command may return (0 where the answer carries none).
struct OutputRegisters {
  uint8_t error;
  uint8_t count;
  uint8_t lba_low;
  uint8_t lba_mid;
  uint8_t lba_high;
  uint8_t device;
  uint8_t status;
  uint8_t count_15_8;
  uint8_t lba_low_15_8;
  uint8_t lba_mid_15_8;
  uint8_t lba_high_15_8;
  friend bool operator==(const OutputRegisters&, const OutputRegisters&) = default;
};

// Where one register sits in the bytes of a wire format. Each codec states its format as one
// table of these and writes and reads through that same table, so that a register moves on a
// wire by one line.
template <typename Registers>
struct RegisterByte {
  size_t offset;
  uint8_t Registers::*field;
};

template <typename Registers, size_t N>
void put_registers(const RegisterByte<Registers> (&layout)[N], const Registers& registers,
                   uint8_t* bytes) {
  for (const RegisterByte<Registers>& b : layout) bytes[b.offset] = registers.*b.field;
}

template <typename Registers, size_t N>
void take_registers(const RegisterByte<Registers> (&layout)[N], const uint8_t* bytes,
                    Registers& registers) {
  for (const RegisterByte<Registers>& b : layout) registers.*b.field = bytes[b.offset];
}
