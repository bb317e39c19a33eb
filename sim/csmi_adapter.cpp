// The simulated CSMI driver answering requests for its adapter (see csmi_adapter.h).
#include "sim/csmi_adapter.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "sim/inquiry.h"

namespace sim {
namespace {

constexpr uint32_t kHeaderSize = sizeof(SRB_IO_CONTROL);
constexpr uint32_t kStpFixedSize = sizeof(CSMI_SAS_STP_PASSTHRU_BUFFER);
constexpr uint32_t kStpDataOffset = offsetof(CSMI_SAS_STP_PASSTHRU_BUFFER, bDataBuffer);
constexpr uint32_t kSspFixedSize = sizeof(CSMI_SAS_SSP_PASSTHRU_BUFFER);
constexpr uint32_t kSspDataOffset = offsetof(CSMI_SAS_SSP_PASSTHRU_BUFFER, bDataBuffer);
constexpr uint8_t kFisPioSetup = 0x5F;

bool is_ata_phy(PhyDevice d) { return d == PhyDevice::Sata || d == PhyDevice::Stp; }

// Commands whose task file the drive reads as 48-bit: the FIS does not say, the opcode does.
bool is_ext_command(uint8_t command) {
  switch (command) {
    case 0x24:  // READ SECTORS EXT
    case 0x25:  // READ DMA EXT
    case 0x27:  // READ NATIVE MAX ADDRESS EXT
    case 0x2F:  // READ LOG EXT
    case 0x34:  // WRITE SECTORS EXT
    case 0x35:  // WRITE DMA EXT
    case 0x3F:  // WRITE LOG EXT
    case 0x47:  // READ LOG DMA EXT
    case 0x57:  // WRITE LOG DMA EXT
      return true;
    default:
      return false;
  }
}

// The phy an STP request reaches: the ATA device with the destination address, the one on
// the named phy when the address sits on several. -1 when none answers to the address.
int route_stp(const Adapter& a, const CSMI_SAS_STP_PASSTHRU& p) {
  int found = -1;
  for (int i = 0; i < kCsmiPhyTableSize; ++i) {
    if (!is_ata_phy(a.devices[i])) continue;
    if (std::memcmp(a.phys[i].Attached.bSASAddress, p.bDestinationSASAddress, 8) != 0) continue;
    if (found < 0 || a.phys[i].Identify.bPhyIdentifier == p.bPhyIdentifier) found = i;
    if (a.phys[i].Identify.bPhyIdentifier == p.bPhyIdentifier) break;
  }
  return found;
}

void answer_stp(Adapter& a, std::vector<uint8_t>& buf, SRB_IO_CONTROL& header) {
  if (buf.size() < kStpFixedSize) {
    header.ReturnCode = CSMI_SAS_STATUS_INVALID_PARAMETER;
    return;
  }
  CSMI_SAS_STP_PASSTHRU p;
  std::memcpy(&p, buf.data() + kHeaderSize, sizeof p);
  if (uint64_t{kStpDataOffset} + p.uDataLength > buf.size()) {
    header.ReturnCode = CSMI_SAS_STATUS_INVALID_PARAMETER;
    return;
  }
  const int phy = route_stp(a, p);
  if (phy < 0) {
    header.ReturnCode = CSMI_SAS_STATUS_FAILED;
    return;
  }
  if (a.faults.stp_connection_status != CSMI_SAS_OPEN_ACCEPT) {
    // The connection was refused: the request completes, but the frame never reached the
    // drive and no status FIS came back.
    CSMI_SAS_STP_PASSTHRU_STATUS refused{};
    refused.bConnectionStatus = a.faults.stp_connection_status;
    std::memcpy(buf.data() + offsetof(CSMI_SAS_STP_PASSTHRU_BUFFER, Status), &refused,
                sizeof refused);
    return;
  }

  const uint8_t* fis = p.bCommandFIS;
  TaskFile tf;
  tf.command = fis[2];
  tf.features = fis[3];
  tf.lba_low = fis[4];
  tf.lba_mid = fis[5];
  tf.lba_high = fis[6];
  tf.device = fis[7];
  tf.lba_low_hi = fis[8];
  tf.lba_mid_hi = fis[9];
  tf.lba_high_hi = fis[10];
  tf.features_hi = fis[11];
  tf.count = fis[12];
  tf.count_hi = fis[13];
  tf.ext = is_ext_command(tf.command);

  DataDir dir = DataDir::None;
  if (p.uFlags & CSMI_SAS_STP_READ)
    dir = DataDir::In;
  else if (p.uFlags & CSMI_SAS_STP_WRITE)
    dir = DataDir::Out;
  const uint32_t length = dir == DataDir::None ? 0 : p.uDataLength;
  uint8_t* data = buf.data() + kStpDataOffset;
  std::vector<uint8_t> in_data;
  if (dir == DataDir::In) {
    in_data.assign(length, 0);
    data = in_data.data();
  }
  const AtaOutput out = execute_ata(a.drives[phy], tf, dir, data, length);
  if (dir == DataDir::In)
    std::copy_n(in_data.begin(), std::min(out.bytes_transferred, length),
                buf.begin() + kStpDataOffset);

  // Register Device-to-Host FIS from the drive's output registers.
  CSMI_SAS_STP_PASSTHRU_STATUS status{};
  status.bConnectionStatus = CSMI_SAS_OPEN_ACCEPT;
  uint8_t* s = status.bStatusFIS;
  s[0] = 0x34;
  s[1] = 0x40;  // interrupt
  s[2] = out.status;
  s[3] = out.error;
  s[4] = out.lba_low;
  s[5] = out.lba_mid;
  s[6] = out.lba_high;
  s[7] = out.device;
  s[12] = out.count;
  if (a.faults.status_fis_type == 0) {
    std::memset(s, 0, sizeof status.bStatusFIS);
  } else if (a.faults.status_fis_type > 0) {
    s[0] = static_cast<uint8_t>(a.faults.status_fis_type);
  }
  if (s[0] == kFisPioSetup) {
    s[15] = out.status;  // E_Status
    if (a.faults.pio_setup_start_status >= 0)
      s[2] = static_cast<uint8_t>(a.faults.pio_setup_start_status);
  }
  status.uDataBytes = out.bytes_transferred;
  std::memcpy(buf.data() + offsetof(CSMI_SAS_STP_PASSTHRU_BUFFER, Status), &status, sizeof status);
}

void answer_ssp(Adapter& a, std::vector<uint8_t>& buf, SRB_IO_CONTROL& header) {
  if (buf.size() < kSspFixedSize) {
    header.ReturnCode = CSMI_SAS_STATUS_INVALID_PARAMETER;
    return;
  }
  CSMI_SAS_SSP_PASSTHRU p;
  std::memcpy(&p, buf.data() + kHeaderSize, sizeof p);
  if (uint64_t{kSspDataOffset} + p.uDataLength > buf.size()) {
    header.ReturnCode = CSMI_SAS_STATUS_INVALID_PARAMETER;
    return;
  }
  int phy = -1;
  for (int i = 0; i < kCsmiPhyTableSize && phy < 0; ++i)
    if (a.devices[i] == PhyDevice::Ssp &&
        std::memcmp(a.phys[i].Attached.bSASAddress, p.bDestinationSASAddress, 8) == 0)
      phy = i;
  if (phy < 0) {
    header.ReturnCode = CSMI_SAS_STATUS_FAILED;
    return;
  }

  CSMI_SAS_SSP_PASSTHRU_STATUS status{};
  status.bConnectionStatus = CSMI_SAS_OPEN_ACCEPT;
  if (p.bCDB[0] == 0x12 && (p.uFlags & CSMI_SAS_SSP_READ)) {
    // A direct-access disk of its own make, claiming SPC-4, with the full 96 bytes.
    const std::vector<uint8_t> data = standard_inquiry(a.drives[phy], "QMSIM", 0x06, 96);
    const uint32_t allocation = p.bCDB[4] | (p.bCDB[3] << 8);
    const uint32_t n =
        std::min<uint32_t>({allocation, p.uDataLength, static_cast<uint32_t>(data.size())});
    std::copy_n(data.begin(), n, buf.begin() + kSspDataOffset);
    status.bDataPresent = 1;  // data
    status.uDataBytes = n;
  } else {
    status.bStatus = 0x02;  // CHECK CONDITION: only INQUIRY is known
  }
  std::memcpy(buf.data() + offsetof(CSMI_SAS_SSP_PASSTHRU_BUFFER, Status), &status, sizeof status);
}

bool header_fits(const SRB_IO_CONTROL& h, size_t size, uint32_t payload,
                 const char (&signature)[8]) {
  return size >= kHeaderSize + payload && h.HeaderLength == kHeaderSize &&
         h.Length == size - kHeaderSize &&
         std::memcmp(h.Signature, signature, sizeof h.Signature) == 0;
}

}  // namespace

CsmiCompletion answer_csmi(Adapter& adapter, void* buffer, uint32_t size) {
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
  std::vector<uint8_t> buf(bytes, bytes + size);
  SRB_IO_CONTROL header;
  std::memcpy(&header, buf.data(), sizeof header);
  const uint32_t code = header.ControlCode;
  const AdapterFaults& f = adapter.faults;

  if (f.os_fail_control_code != 0 && f.os_fail_control_code == code) return {f.os_fail_error, 0};
  if (code == CC_CSMI_SAS_GET_PHY_INFO && f.phy_info_fails) return {f.os_fail_error, 0};

  CsmiCompletion done;
  header.ReturnCode = CSMI_SAS_STATUS_SUCCESS;
  if (f.return_code_control_code != 0 && f.return_code_control_code == code) {
    header.ReturnCode = f.return_code;
  } else {
    switch (code) {
      case CC_CSMI_SAS_GET_DRIVER_INFO:
        if (!header_fits(header, size, sizeof(CSMI_SAS_DRIVER_INFO), CSMI_ALL_SIGNATURE)) {
          header.ReturnCode = CSMI_SAS_STATUS_INVALID_PARAMETER;
          break;
        }
        std::memcpy(buf.data() + kHeaderSize, &adapter.driver_info, sizeof adapter.driver_info);
        done.last_error = f.driver_info_error;
        break;
      case CC_CSMI_SAS_GET_CNTLR_CONFIG:
        if (!header_fits(header, size, sizeof(CSMI_SAS_CNTLR_CONFIG), CSMI_ALL_SIGNATURE)) {
          header.ReturnCode = CSMI_SAS_STATUS_INVALID_PARAMETER;
          break;
        }
        std::memcpy(buf.data() + kHeaderSize, &adapter.config, sizeof adapter.config);
        done.last_error = f.cntlr_config_error;
        break;
      case CC_CSMI_SAS_GET_PHY_INFO: {
        if (!header_fits(header, size, sizeof(CSMI_SAS_PHY_INFO), CSMI_SAS_SIGNATURE)) {
          header.ReturnCode = CSMI_SAS_STATUS_INVALID_PARAMETER;
          break;
        }
        CSMI_SAS_PHY_INFO info{};
        info.bNumberOfPhys = adapter.number_of_phys;
        std::copy(adapter.phys.begin(), adapter.phys.end(), info.Phy);
        std::memcpy(buf.data() + kHeaderSize, &info, sizeof info);
        break;
      }
      case CC_CSMI_SAS_SSP_PASSTHRU:
        if (!header_fits(header, size, sizeof(CSMI_SAS_SSP_PASSTHRU), CSMI_SAS_SIGNATURE))
          header.ReturnCode = CSMI_SAS_STATUS_INVALID_PARAMETER;
        else
          answer_ssp(adapter, buf, header);
        break;
      case CC_CSMI_SAS_STP_PASSTHRU:
        if (!header_fits(header, size, sizeof(CSMI_SAS_STP_PASSTHRU), CSMI_SAS_SIGNATURE))
          header.ReturnCode = CSMI_SAS_STATUS_INVALID_PARAMETER;
        else
          answer_stp(adapter, buf, header);
        break;
      default:
        header.ReturnCode = CSMI_SAS_STATUS_BAD_CNTL_CODE;
        break;
    }
  }
  std::memcpy(buf.data(), &header, sizeof header);
  std::memcpy(buffer, buf.data(), size);
  return done;
}

}  // namespace sim
