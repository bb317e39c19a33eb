// Pieces shared by target resolution and the scan: the information request set-up, the phy table
// query, and the SSP probe the scan sends to SAS targets.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/platform.h"
#include "transport/csmi_header.h"

// Timeout of the information and SSP requests, in seconds.
inline constexpr uint32_t kCsmiInfoTimeout = 60;

// A fixed-size information request: zero-filled, its header filled for `control_code`.
template <typename Buffer>
void init_csmi_request(Buffer& buffer, const char (&signature)[8], uint32_t control_code) {
  std::memset(&buffer, 0, sizeof buffer);
  fill_csmi_header(buffer.IoctlHeader, signature, kCsmiInfoTimeout, control_code, sizeof buffer);
}

// CC_CSMI_SAS_GET_PHY_INFO into a zero-filled buffer. Returns the OS success flag; the
// ReturnCode is left to the caller.
bool read_phy_info(Handle adapter, CSMI_SAS_PHY_INFO_BUFFER& buffer);

// A standard INQUIRY through CSMI SSP pass-through to the entry's attached address. Prints
// the destination address; returns the OS success flag and, on failure, stores the OS error.
bool ssp_inquiry_probe(Handle adapter, const CSMI_SAS_PHY_ENTITY& entry, uint32_t& os_error);
