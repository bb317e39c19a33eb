// ATA command opcodes and register bits, as the host sends them and the drive answers them.
// Shared by the logic that builds commands, the backends that carry them and the simulated
// drive that executes them.
#pragma once

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
