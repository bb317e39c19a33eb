// The checks are the ones the documentation of the three requests names: the structure's
// version and size, a segment's offset and size in multiples of ImagePayloadAlignment and at
// most ImagePayloadMaxSize, a slot the driver reported and may write.
#include "sim/firmware_driver.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/ata.h"

namespace sim {
namespace {

constexpr uint32_t kBlock = 512;

bool writable_slot(const FirmwareDriver& d, uint8_t slot) {
  return slot < d.slot_count && slot >= d.read_only_slots;
}

// One DOWNLOAD MICROCODE the driver sends the drive: ERROR_IO_DEVICE when the drive fails it.
uint32_t to_drive(Drive& drive, uint8_t mode, uint32_t blocks, uint32_t offset_blocks,
                  const uint8_t* data) {
  InputRegisters in{};
  in.features_7_0 = mode;
  set_download_block_count(in, blocks);
  set_download_block_offset(in, offset_blocks);
  in.device = kAtaDeviceLba;
  in.command = kAtaDownloadMicrocode;
  uint32_t moved = 0;
  const DataDir dir = data != nullptr ? DataDir::Out : DataDir::None;
  // The drive only reads a data-out buffer.
  const OutputRegisters out = execute_ata(drive, in, dir, const_cast<uint8_t*>(data),
                                          data != nullptr ? blocks * kBlock : 0, moved);
  return (out.status & kAtaStatusErr) != 0 ? ERROR_IO_DEVICE : 0;
}

}  // namespace

uint32_t firmware_get_info(Port& port, const STORAGE_HW_FIRMWARE_INFO_QUERY& query, void* info,
                           uint32_t size) {
  const FirmwareDriver& d = port.driver;
  if (!d.offered) return ERROR_INVALID_FUNCTION;
  if (d.get_info_error != 0) return d.get_info_error;
  if (query.Version != sizeof query || query.Size != sizeof query) return ERROR_INVALID_PARAMETER;
  if (info == nullptr || size < sizeof(STORAGE_HW_FIRMWARE_INFO)) return ERROR_INVALID_PARAMETER;
  STORAGE_HW_FIRMWARE_INFO header{};
  header.Version = sizeof header;
  header.Size = static_cast<uint32_t>(sizeof header + (std::max<uint8_t>(d.slot_count, 1) - 1) *
                                                          sizeof(STORAGE_HW_FIRMWARE_SLOT_INFO));
  header.SupportUpgrade = d.support_upgrade ? 1 : 0;
  header.SlotCount = d.slot_count;
  header.ActiveSlot = d.active_slot;
  header.PendingActivateSlot = d.pending_slot;
  header.ImagePayloadAlignment = d.alignment;
  header.ImagePayloadMaxSize = d.max_size;
  auto* bytes = static_cast<uint8_t*>(info);
  std::memset(bytes, 0, size);
  std::memcpy(bytes, &header, offsetof(STORAGE_HW_FIRMWARE_INFO, Slot));
  // As many slot records as the buffer holds; the header's Size tells the room all need.
  const size_t room =
      (size - offsetof(STORAGE_HW_FIRMWARE_INFO, Slot)) / sizeof(STORAGE_HW_FIRMWARE_SLOT_INFO);
  for (size_t i = 0; i < d.slot_count && i < room; ++i) {
    STORAGE_HW_FIRMWARE_SLOT_INFO slot{};
    slot.Version = sizeof slot;
    slot.Size = sizeof slot;
    slot.SlotNumber = static_cast<uint8_t>(i);
    slot.ReadOnly = i < d.read_only_slots ? 1 : 0;
    if (i == d.active_slot)
      std::memcpy(slot.Revision, port.drive.firmware.data(),
                  std::min(port.drive.firmware.size(), sizeof slot.Revision));
    std::memcpy(bytes + offsetof(STORAGE_HW_FIRMWARE_INFO, Slot) + i * sizeof slot, &slot,
                sizeof slot);
  }
  return 0;
}

uint32_t firmware_download(Port& port, const uint8_t* request, uint32_t size) {
  const FirmwareDriver& d = port.driver;
  if (!d.offered) return ERROR_INVALID_FUNCTION;
  constexpr size_t kHeader = offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, ImageBuffer);
  STORAGE_HW_FIRMWARE_DOWNLOAD r{};
  if (request == nullptr || size < sizeof r) return ERROR_INVALID_PARAMETER;
  std::memcpy(&r, request, sizeof r);
  if (r.Version != sizeof r || r.Size > size || r.BufferSize == 0 ||
      r.Size < kHeader + r.BufferSize)
    return ERROR_INVALID_PARAMETER;
  const uint32_t align = std::max<uint32_t>(d.alignment, 1);
  if (r.Offset % align != 0 || r.BufferSize % align != 0 || r.BufferSize > d.max_size)
    return ERROR_INVALID_PARAMETER;
  if (!writable_slot(d, r.Slot)) return ERROR_INVALID_PARAMETER;
  // An ATA drive takes whole blocks only.
  if (r.Offset % kBlock != 0 || r.BufferSize % kBlock != 0) return ERROR_INVALID_PARAMETER;
  return to_drive(port.drive, kAtaDmDeferred, static_cast<uint32_t>(r.BufferSize / kBlock),
                  static_cast<uint32_t>(r.Offset / kBlock), request + kHeader);
}

uint32_t firmware_activate(Port& port, const STORAGE_HW_FIRMWARE_ACTIVATE& request) {
  const FirmwareDriver& d = port.driver;
  if (!d.offered) return ERROR_INVALID_FUNCTION;
  if (d.activate_error != 0) return d.activate_error;
  if (request.Version != sizeof request || request.Size != sizeof request)
    return ERROR_INVALID_PARAMETER;
  if (request.Slot >= d.slot_count) return ERROR_INVALID_PARAMETER;
  return to_drive(port.drive, kAtaDmActivate, 0, 0, nullptr);
}

uint32_t passthrough_refusal(const Port& port, uint8_t ata_command) {
  return ata_command == kAtaDownloadMicrocode ? port.driver.passthrough_download_error : 0;
}

}  // namespace sim
