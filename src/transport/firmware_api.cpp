// The storage firmware API's three requests, built byte for byte in our own definitions of the
// published structures.
#include "transport/firmware_api.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace {

// A refused request in the terms of a refused pass-through request: a driver without the
// request, a drive that failed the command the driver sent it, or a request not carried.
int api_result(bool ok, uint32_t os_error) {
  if (ok) return kResultSuccess;
  if (os_error == ERROR_INVALID_FUNCTION) return kResultNotSupported;
  if (os_error == ERROR_IO_DEVICE) return kResultDriveError;
  return kResultNotCarried;
}

// GET_INFO with an answer buffer of `slots` slot records; false when refused.
bool ask_info(DeviceCommand& cmd, uint32_t slots, std::vector<uint8_t>& answer) {
  STORAGE_HW_FIRMWARE_INFO_QUERY query{};
  query.Version = sizeof query;
  query.Size = sizeof query;
  answer.assign(
      sizeof(STORAGE_HW_FIRMWARE_INFO) + (slots - 1) * sizeof(STORAGE_HW_FIRMWARE_SLOT_INFO), 0);
  return recorded_call(cmd, [&] {
    return platform_firmware_get_info(cmd.handle, query, answer.data(),
                                      static_cast<uint32_t>(answer.size()));
  });
}

}  // namespace

FirmwareApiInfo query_firmware_api(DeviceCommand& cmd) {
  FirmwareApiInfo info;
  std::vector<uint8_t> answer;
  bool ok = ask_info(cmd, 1, answer);
  STORAGE_HW_FIRMWARE_INFO header{};
  if (ok) std::memcpy(&header, answer.data(), sizeof header);
  // The first answer tells how many slots there are; a second one holds them all.
  if (ok && header.SlotCount > 1) {
    ok = ask_info(cmd, header.SlotCount, answer);
    if (ok) std::memcpy(&header, answer.data(), sizeof header);
  }
  if (!ok) {
    info.os_error = cmd.last_os_error;
    return info;
  }
  info.answered = true;
  info.support_upgrade = header.SupportUpgrade != 0;
  info.slot_count = header.SlotCount;
  info.active_slot = header.ActiveSlot;
  info.pending_slot = header.PendingActivateSlot;
  info.alignment = header.ImagePayloadAlignment;
  info.max_size = header.ImagePayloadMaxSize;
  const size_t held = (answer.size() - offsetof(STORAGE_HW_FIRMWARE_INFO, Slot)) /
                      sizeof(STORAGE_HW_FIRMWARE_SLOT_INFO);
  for (size_t i = 0; i < header.SlotCount && i < held; ++i) {
    STORAGE_HW_FIRMWARE_SLOT_INFO slot{};
    std::memcpy(&slot, answer.data() + offsetof(STORAGE_HW_FIRMWARE_INFO, Slot) + i * sizeof slot,
                sizeof slot);
    if (slot.ReadOnly == 0) {
      info.download_slot = slot.SlotNumber;
      break;
    }
  }
  return info;
}

int firmware_api_download(DeviceCommand& cmd, uint8_t slot, uint32_t flags, uint64_t offset,
                          const uint8_t* data, uint32_t size, std::vector<uint8_t>& scratch) {
  constexpr size_t kHeader = offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, ImageBuffer);
  STORAGE_HW_FIRMWARE_DOWNLOAD request{};
  request.Version = sizeof request;
  request.Size = static_cast<uint32_t>(kHeader + size);
  request.Flags = flags;
  request.Slot = slot;
  request.Offset = offset;
  request.BufferSize = size;
  // The request is buffered: the segment travels inside it, after the header.
  scratch.assign(std::max(sizeof request, kHeader + size), 0);
  std::memcpy(scratch.data(), &request, kHeader);
  if (size != 0) std::memcpy(scratch.data() + kHeader, data, size);
  const bool ok = recorded_call(cmd, [&] {
    return platform_firmware_download(cmd.handle, scratch.data(),
                                      static_cast<uint32_t>(scratch.size()));
  });
  return api_result(ok, cmd.last_os_error);
}

int firmware_api_activate(DeviceCommand& cmd, uint8_t slot) {
  STORAGE_HW_FIRMWARE_ACTIVATE request{};
  request.Version = sizeof request;
  request.Size = sizeof request;
  request.Slot = slot;
  const bool ok =
      recorded_call(cmd, [&] { return platform_firmware_activate(cmd.handle, request); });
  return api_result(ok, cmd.last_os_error);
}
