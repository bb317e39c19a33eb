// The storage firmware API of the Windows storage stack (ntddstor.h): the requests a driver
// that offers it takes for a firmware download in segments and for the activation. mingw-w64
// ships the three control codes but not these structures, so ours are used on every platform,
// under the published names, and checked against the published x86-64 layout.
#pragma once

#include <cstddef>
#include <cstdint>

// wire.h brings the Windows headers that hold the control codes (winioctl.h).
#include "platform/wire.h"

#ifndef _WIN32
inline constexpr uint32_t IOCTL_STORAGE_FIRMWARE_GET_INFO = 0x2D1C00;
inline constexpr uint32_t IOCTL_STORAGE_FIRMWARE_DOWNLOAD = 0x2DDC04;
inline constexpr uint32_t IOCTL_STORAGE_FIRMWARE_ACTIVATE = 0x2DDC08;
#endif

inline constexpr uint32_t STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER = 0x00000001;
inline constexpr uint32_t STORAGE_HW_FIRMWARE_REQUEST_FLAG_LAST_SEGMENT = 0x00000002;
inline constexpr uint32_t STORAGE_HW_FIRMWARE_REQUEST_FLAG_FIRST_SEGMENT = 0x00000004;
inline constexpr uint32_t STORAGE_HW_FIRMWARE_REQUEST_FLAG_SWITCH_TO_EXISTING_FIRMWARE = 0x80000000;
inline constexpr uint8_t STORAGE_HW_FIRMWARE_INVALID_SLOT = 0xFF;
inline constexpr size_t STORAGE_HW_FIRMWARE_REVISION_LENGTH = 16;

// IOCTL_STORAGE_FIRMWARE_GET_INFO's input: Version and Size both the structure's size.
struct STORAGE_HW_FIRMWARE_INFO_QUERY {
  uint32_t Version;
  uint32_t Size;
  uint32_t Flags;
  uint32_t Reserved;
};

struct STORAGE_HW_FIRMWARE_SLOT_INFO {
  uint32_t Version;
  uint32_t Size;
  uint8_t SlotNumber;
  uint8_t ReadOnly : 1;
  uint8_t Reserved0 : 7;
  uint8_t Reserved1[6];
  uint8_t Revision[STORAGE_HW_FIRMWARE_REVISION_LENGTH];
};

// GET_INFO's output: the header and SlotCount slot records, the first one inside the header.
struct STORAGE_HW_FIRMWARE_INFO {
  uint32_t Version;
  uint32_t Size;
  uint8_t SupportUpgrade : 1;
  uint8_t Reserved0 : 7;
  uint8_t SlotCount;
  uint8_t ActiveSlot;
  uint8_t PendingActivateSlot;
  uint8_t FirmwareShared;
  uint8_t Reserved[3];
  uint32_t ImagePayloadAlignment;
  uint32_t ImagePayloadMaxSize;
  STORAGE_HW_FIRMWARE_SLOT_INFO Slot[1];
};

// IOCTL_STORAGE_FIRMWARE_DOWNLOAD's input: the header, then BufferSize bytes of the image for
// Offset (bytes) on, in the same buffer (the request is METHOD_BUFFERED).
struct STORAGE_HW_FIRMWARE_DOWNLOAD {
  uint32_t Version;
  uint32_t Size;
  uint32_t Flags;
  uint8_t Slot;
  uint8_t Reserved[3];
  uint64_t Offset;
  uint64_t BufferSize;
  uint8_t ImageBuffer[1];
};

struct STORAGE_HW_FIRMWARE_ACTIVATE {
  uint32_t Version;
  uint32_t Size;
  uint32_t Flags;
  uint8_t Slot;
  uint8_t Reserved0[3];
};

static_assert(sizeof(STORAGE_HW_FIRMWARE_INFO_QUERY) == 16);
static_assert(offsetof(STORAGE_HW_FIRMWARE_INFO_QUERY, Flags) == 8);
static_assert(sizeof(STORAGE_HW_FIRMWARE_SLOT_INFO) == 32);
static_assert(offsetof(STORAGE_HW_FIRMWARE_SLOT_INFO, SlotNumber) == 8);
static_assert(offsetof(STORAGE_HW_FIRMWARE_SLOT_INFO, Revision) == 16);
static_assert(sizeof(STORAGE_HW_FIRMWARE_INFO) == 56);
static_assert(offsetof(STORAGE_HW_FIRMWARE_INFO, SlotCount) == 9);
static_assert(offsetof(STORAGE_HW_FIRMWARE_INFO, PendingActivateSlot) == 11);
static_assert(offsetof(STORAGE_HW_FIRMWARE_INFO, ImagePayloadAlignment) == 16);
static_assert(offsetof(STORAGE_HW_FIRMWARE_INFO, ImagePayloadMaxSize) == 20);
static_assert(offsetof(STORAGE_HW_FIRMWARE_INFO, Slot) == 24);
static_assert(sizeof(STORAGE_HW_FIRMWARE_DOWNLOAD) == 40);
static_assert(offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, Slot) == 12);
static_assert(offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, Offset) == 16);
static_assert(offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, BufferSize) == 24);
static_assert(offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, ImageBuffer) == 32);
static_assert(sizeof(STORAGE_HW_FIRMWARE_ACTIVATE) == 16);
static_assert(offsetof(STORAGE_HW_FIRMWARE_ACTIVATE, Slot) == 12);
static_assert(IOCTL_STORAGE_FIRMWARE_GET_INFO == 0x2D1C00);
static_assert(IOCTL_STORAGE_FIRMWARE_DOWNLOAD == 0x2DDC04);
static_assert(IOCTL_STORAGE_FIRMWARE_ACTIVATE == 0x2DDC08);
