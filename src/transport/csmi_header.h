// The header every CSMI request starts with, filled the same way by the STP transport and by
// the discovery requests.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/platform.h"

// Fills a request header for a buffer of total_size bytes (header included). The timeout goes
// out as given: no default replaces 0 here.
inline void fill_csmi_header(SRB_IO_CONTROL& header, const char (&signature)[8], uint32_t timeout,
                             uint32_t control_code, uint32_t total_size) {
  header.HeaderLength = sizeof(SRB_IO_CONTROL);
  std::memcpy(header.Signature, signature, sizeof header.Signature);
  header.Timeout = timeout;
  header.ControlCode = control_code;
  header.ReturnCode = 0;
  header.Length = total_size - sizeof(SRB_IO_CONTROL);
}
