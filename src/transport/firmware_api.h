// The storage firmware API of the system's driver, as a way to carry a deferred download: what
// the driver says of it (GET_INFO), one segment (DOWNLOAD) and the activation (ACTIVATE). Each
// request's outcome is a transport result, as a pass-through request's would be.
#pragma once

#include <cstdint>
#include <vector>

#include "transport/device_command.h"

// The driver's answer to GET_INFO. `answered` false: the driver refused the question or does
// not offer the API (`os_error` says which).
struct FirmwareApiInfo {
  bool answered = false;
  uint32_t os_error = 0;
  bool support_upgrade = false;
  uint8_t slot_count = 0;
  uint8_t active_slot = 0;
  uint8_t pending_slot = STORAGE_HW_FIRMWARE_INVALID_SLOT;
  uint32_t alignment = 0;  // every segment's offset and size are multiples of it
  uint32_t max_size = 0;   // the largest segment one request takes
  // The slot a download goes to: the first the driver reports writable, or
  // STORAGE_HW_FIRMWARE_INVALID_SLOT when it reports none.
  uint8_t download_slot = STORAGE_HW_FIRMWARE_INVALID_SLOT;
};

// Asks GET_INFO for the drive, with room for every slot the first answer reports.
FirmwareApiInfo query_firmware_api(DeviceCommand& cmd);

// One DOWNLOAD request: `size` bytes of the image from `data`, for byte `offset` of the image,
// into `slot`, with the FIRST_SEGMENT / LAST_SEGMENT flags as `flags` says. `scratch` holds the
// request between calls. Returns 1 or the result a pass-through request failing with the same
// system error would give.
int firmware_api_download(DeviceCommand& cmd, uint8_t slot, uint32_t flags, uint64_t offset,
                          const uint8_t* data, uint32_t size, std::vector<uint8_t>& scratch);

// One ACTIVATE request for `slot`. Results as for the download.
int firmware_api_activate(DeviceCommand& cmd, uint8_t slot);
