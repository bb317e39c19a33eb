#include "csmi/csmi_request.h"

#include <cstddef>
#include <cstring>

#include "platform/console.h"
#include "platform/sat.h"

bool read_phy_info(Handle adapter, CSMI_SAS_PHY_INFO_BUFFER& buffer) {
  init_csmi_request(buffer, CSMI_SAS_SIGNATURE, CC_CSMI_SAS_GET_PHY_INFO);
  return platform_csmi_request(adapter, &buffer, sizeof buffer);
}

namespace {

constexpr uint32_t kSspFixedSize = sizeof(CSMI_SAS_SSP_PASSTHRU_BUFFER);  // 372
constexpr uint32_t kInquiryLength = 96;
constexpr uint32_t kSspRequestSize = kSspFixedSize + kInquiryLength;  // 468

}  // namespace

bool ssp_inquiry_probe(Handle adapter, const CSMI_SAS_PHY_ENTITY& entry, uint32_t& os_error) {
  // The reply area is zeroed with the rest, so the request goes out the same every time.
  uint8_t buffer[kSspRequestSize] = {};
  CSMI_SAS_SSP_PASSTHRU_BUFFER request;
  std::memset(&request, 0, sizeof request);
  fill_csmi_header(request.IoctlHeader, CSMI_SAS_SIGNATURE, kCsmiInfoTimeout,
                   CC_CSMI_SAS_SSP_PASSTHRU, kSspRequestSize);

  CSMI_SAS_SSP_PASSTHRU& p = request.Parameters;
  p.bPhyIdentifier = 0;
  p.bPortIdentifier = CSMI_SAS_IGNORE_PORT;
  p.bConnectionRate = CSMI_SAS_LINK_RATE_NEGOTIATED;
  std::memcpy(p.bDestinationSASAddress, entry.Attached.bSASAddress,
              sizeof p.bDestinationSASAddress);
  p.bCDBLength = sat::kInquiryCdbLength;
  sat::build_inquiry({false, 0, kInquiryLength}, p.bCDB);
  p.uFlags = CSMI_SAS_SSP_READ;
  p.uDataLength = kInquiryLength;
  std::memcpy(buffer, &request, offsetof(CSMI_SAS_SSP_PASSTHRU_BUFFER, bDataBuffer));

  console::printf("SAS Address: ");
  for (uint8_t b : p.bDestinationSASAddress) console::printf("0x%02x ", b);
  console::printf("\n");

  const bool ok = platform_csmi_request(adapter, buffer, sizeof buffer);
  if (!ok) os_error = platform_get_last_error();
  return ok;
}
