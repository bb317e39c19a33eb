// The simulated storahci's storage firmware API: GET_INFO answered by the driver, DOWNLOAD and
// ACTIVATE carried to the drive as DOWNLOAD MICROCODE 0x0E and 0x0F. Each returns 0 or the
// system error code the request fails with.
#pragma once

#include <cstdint>

#include "sim/world.h"

namespace sim {

uint32_t firmware_get_info(Port& port, const STORAGE_HW_FIRMWARE_INFO_QUERY& query, void* info,
                           uint32_t size);
uint32_t firmware_download(Port& port, const uint8_t* request, uint32_t size);
uint32_t firmware_activate(Port& port, const STORAGE_HW_FIRMWARE_ACTIVATE& request);

// Whether the driver refuses this ATA command by pass-through, and with which code (0: it
// carries it).
uint32_t passthrough_refusal(const Port& port, uint8_t ata_command);

}  // namespace sim
