// The queries sent at fixed points of a run whose answers nothing depends on: the INQUIRY
// pair right after the opening, and the vendor IDENTIFY variant before the first download.
#include <algorithm>
#include <cstring>

#include "identify/identify.h"
#include "platform/ata.h"
#include "platform/sat.h"

namespace {

constexpr uint16_t kInquiryLength = 252;
constexpr uint8_t kVpdUnitSerialNumber = 0x80;

}  // namespace

void read_scsi_identity(DeviceCommand& cmd) {
  uint8_t data[kInquiryLength] = {};
  ScsiPassThroughRequest request;
  init_scsi_request(request, cmd);
  SCSI_PASS_THROUGH_DIRECT& h = request.sptd;
  h.CdbLength = sat::kInquiryCdbLength;
  h.DataIn = SCSI_IOCTL_DATA_IN;
  h.DataTransferLength = kInquiryLength;
  h.DataBuffer = data;
  sat::build_inquiry({false, 0, kInquiryLength}, h.Cdb);

  if (!send_scsi_request(cmd, request) || platform_interrupted()) return;

  // The serial-number page goes out in the request as the first completion left it: its
  // transfer and sense lengths are what the driver reported back, but never more than the
  // buffer and the sense area hold, whatever a driver claims.
  std::memset(data, 0, sizeof data);
  sat::build_inquiry({true, kVpdUnitSerialNumber, kInquiryLength}, h.Cdb);
  h.DataTransferLength = std::min<uint32_t>(h.DataTransferLength, sizeof data);
  h.SenseInfoLength =
      static_cast<uint8_t>(std::min<size_t>(h.SenseInfoLength, sizeof request.sense));
  resend_scsi_request(cmd, request);
}

int read_vendor_identify(DeviceCommand& cmd) {
  uint8_t data[512] = {};
  set_identify_command(cmd, data);
  cmd.regs.features_7_0 = kAtaVendorIdentifyFeatures;
  cmd.regs.lba_7_0 = static_cast<uint8_t>(kAtaVendorIdentifyLba);
  cmd.regs.lba_15_8 = static_cast<uint8_t>(kAtaVendorIdentifyLba >> 8);
  cmd.regs.lba_23_16 = static_cast<uint8_t>(kAtaVendorIdentifyLba >> 16);
  return issue_command(cmd);
}

bool holds_vendor_identify(const DeviceCommand& cmd) {
  const uint32_t lba = cmd.regs.lba_7_0 | (cmd.regs.lba_15_8 << 8) | (cmd.regs.lba_23_16 << 16);
  return cmd.regs.command == kAtaIdentifyDevice &&
         cmd.regs.features_7_0 == kAtaVendorIdentifyFeatures && lba == kAtaVendorIdentifyLba;
}
