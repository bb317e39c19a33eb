// Standard INQUIRY data, as the simulator's SCSI faces show a drive: the SAT bridge in front of
// an ATA drive and the SSP devices behind a CSMI adapter. They differ only in the vendor, the
// version they claim and how long the data are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/drive.h"

namespace sim {

// `width` bytes of `text` at `at`, cut or padded with spaces, as SCSI lays out ASCII fields.
void put_ascii(std::vector<uint8_t>& data, size_t at, size_t width, const std::string& text);

// Standard INQUIRY data of a direct-access device, `length` bytes (36 at the least): `version`
// in byte 2, response data format 2, `vendor` as the vendor identification, and the drive's
// model and running firmware revision as product identification and revision.
std::vector<uint8_t> standard_inquiry(const Drive& drive, const std::string& vendor,
                                      uint8_t version, size_t length);

}  // namespace sim
