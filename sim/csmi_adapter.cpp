// The simulated CSMI driver answering requests for its adapter (see csmi_adapter.h).
#include "sim/csmi_adapter.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "platform/fis.h"
#include "platform/sat.h"
#include "sim/inquiry.h"

namespace sim {
namespace {

constexpr uint32_t kHeaderSize = sizeof(SRB_IO_CONTROL);
constexpr uint32_t kStpFixedSize = sizeof(CSMI_SAS_STP_PASSTHRU_BUFFER);
constexpr uint32_t kStpDataOffset = offsetof(CSMI_SAS_STP_PASSTHRU_BUFFER, bDataBuffer);
constexpr uint32_t kSspFixedSize = sizeof(CSMI_SAS_SSP_PASSTHRU_BUFFER);
constexpr uint32_t kSspDataOffset = offsetof(CSMI_SAS_SSP_PASSTHRU_BUFFER, bDataBuffer);

bool is_ata_phy(PhyDevice d) { return d == PhyDevice::Sata || d == PhyDevice::Stp; }

// The phy an STP request reaches: the ATA device with the destination address, the one on
// the named phy when the address sits on several. -1 when none answers to the address.
// The status FIS of a completed command: a Register Device-to-Host FIS, unless a fault asks
// for a PIO Setup FIS, a FIS of another type or none at all (all zero).
void put_status_fis(const AdapterFaults& f, const OutputRegisters& out, uint8_t* s) {
  if (f.status_fis_type == fis::kTypePioSetup) {
    const int initial = f.pio_setup_start_status;
    fis::encode_pio_setup(out, initial >= 0 ? static_cast<uint8_t>(initial) : out.status, s);
    return;
  }
  fis::encode_register_d2h(out, s);
  if (f.status_fis_type == 0) std::memset(s, 0, fis::kSize);
  if (f.status_fis_type > 0) s[0] = static_cast<uint8_t>(f.status_fis_type);
}

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
  uint32_t moved = 0;
  const OutputRegisters out =
      execute_ata(a.drives[phy], fis::decode_register_h2d(p.bCommandFIS), dir, data, length, moved);
  if (dir == DataDir::In)
    std::copy_n(in_data.begin(), std::min(moved, length), buf.begin() + kStpDataOffset);

  CSMI_SAS_STP_PASSTHRU_STATUS status{};
  status.bConnectionStatus = CSMI_SAS_OPEN_ACCEPT;
  put_status_fis(a.faults, out, status.bStatusFIS);
  status.uDataBytes = moved;
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
  const auto inquiry = sat::parse_inquiry(p.bCDB, sizeof p.bCDB);
  if (inquiry && (p.uFlags & CSMI_SAS_SSP_READ)) {
    // A direct-access disk of its own make, claiming SPC-4, with the full 96 bytes.
    const std::vector<uint8_t> data = standard_inquiry(a.drives[phy], "QMSIM", 0x06, 96);
    const uint32_t allocation = inquiry->allocation_length;
    const uint32_t n =
        std::min<uint32_t>({allocation, p.uDataLength, static_cast<uint32_t>(data.size())});
    std::copy_n(data.begin(), n, buf.begin() + kSspDataOffset);
    status.bDataPresent = 1;  // data
    status.uDataBytes = n;
  } else {
    status.bStatus = sat::kStatusCheckCondition;  // only INQUIRY is known
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
