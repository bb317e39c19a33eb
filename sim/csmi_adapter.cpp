// Simulated CSMI host bus adapters: "\\.\SCSIn:" opens the adapter on port n, and CSMI
// requests are answered from the adapter's record (driver information, controller
// configuration, the phy table) or carried to what sits behind a phy: SATA and STP drives
// take ATA commands through STP pass-through, SSP devices answer INQUIRY through SSP
// pass-through. Every request is logged as it arrived.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/world.h"

namespace {

constexpr int kMaxAdapterPort = 0xFFFF;

constexpr uint32_t kHeaderSize = sizeof(SRB_IO_CONTROL);
constexpr uint32_t kStpFixedSize = sizeof(CSMI_SAS_STP_PASSTHRU_BUFFER);
constexpr uint32_t kStpDataOffset = offsetof(CSMI_SAS_STP_PASSTHRU_BUFFER, bDataBuffer);
constexpr uint32_t kSspFixedSize = sizeof(CSMI_SAS_SSP_PASSTHRU_BUFFER);
constexpr uint32_t kSspDataOffset = offsetof(CSMI_SAS_SSP_PASSTHRU_BUFFER, bDataBuffer);
constexpr uint8_t kFisPioSetup = 0x5F;

constexpr uint32_t ERROR_INVALID_HANDLE_CODE = 6;
constexpr uint32_t ERROR_INVALID_PARAMETER_CODE = 87;

std::u16string adapter_path(int port) {
  const std::string digits = std::to_string(port);
  return u"\\\\.\\SCSI" + std::u16string(digits.begin(), digits.end()) + u":";
}

// The port of "\\.\SCSI<n>:" with n written as Windows names it (no sign, no leading zero),
// or -1 for any other name.
int parse_adapter_path(const std::u16string& path) {
  const std::u16string prefix = u"\\\\.\\SCSI";
  if (path.size() < prefix.size() + 2 || path.compare(0, prefix.size(), prefix) != 0 ||
      path.back() != u':')
    return -1;
  const std::u16string digits = path.substr(prefix.size(), path.size() - prefix.size() - 1);
  if (digits.size() > 5 || (digits.size() > 1 && digits[0] == u'0')) return -1;
  int port = 0;
  for (char16_t c : digits) {
    if (c < u'0' || c > u'9') return -1;
    port = port * 10 + (c - u'0');
  }
  return port <= kMaxAdapterPort ? port : -1;
}

// The index in the world's adapters of the first adapter on the port, or -1.
int find_adapter(int port) {
  const auto& adapters = sim::world().adapters;
  for (size_t i = 0; i < adapters.size(); ++i)
    if (adapters[i].port == port) return static_cast<int>(i);
  return -1;
}

bool is_ata_phy(sim::PhyDevice d) { return d == sim::PhyDevice::Sata || d == sim::PhyDevice::Stp; }

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
int route_stp(const sim::Adapter& a, const CSMI_SAS_STP_PASSTHRU& p) {
  int found = -1;
  for (int i = 0; i < 32; ++i) {
    if (!is_ata_phy(a.devices[i])) continue;
    if (std::memcmp(a.phys[i].Attached.bSASAddress, p.bDestinationSASAddress, 8) != 0) continue;
    if (found < 0 || a.phys[i].Identify.bPhyIdentifier == p.bPhyIdentifier) found = i;
    if (a.phys[i].Identify.bPhyIdentifier == p.bPhyIdentifier) break;
  }
  return found;
}

void answer_stp(sim::Adapter& a, std::vector<uint8_t>& buf, SRB_IO_CONTROL& header) {
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
  sim::TaskFile tf;
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

  sim::DataDir dir = sim::DataDir::None;
  if (p.uFlags & CSMI_SAS_STP_READ)
    dir = sim::DataDir::In;
  else if (p.uFlags & CSMI_SAS_STP_WRITE)
    dir = sim::DataDir::Out;
  const uint32_t length = dir == sim::DataDir::None ? 0 : p.uDataLength;
  uint8_t* data = buf.data() + kStpDataOffset;
  std::vector<uint8_t> in_data;
  if (dir == sim::DataDir::In) {
    in_data.assign(length, 0);
    data = in_data.data();
  }
  const sim::AtaOutput out = sim::execute_ata(a.drives[phy], tf, dir, data, length);
  if (dir == sim::DataDir::In)
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

// Standard INQUIRY data of an SSP device: a direct-access disk.
std::vector<uint8_t> inquiry_data(const sim::Drive& d) {
  std::vector<uint8_t> data(96, 0);
  data[2] = 0x06;  // SPC-4
  data[3] = 0x02;  // response data format
  data[4] = 91;    // additional length
  auto put = [&](size_t at, size_t width, const std::string& text) {
    for (size_t i = 0; i < width; ++i) data[at + i] = i < text.size() ? text[i] : ' ';
  };
  put(8, 8, "QMSIM");
  put(16, 16, d.model);
  put(32, 4, d.firmware);
  return data;
}

void answer_ssp(sim::Adapter& a, std::vector<uint8_t>& buf, SRB_IO_CONTROL& header) {
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
  for (int i = 0; i < 32 && phy < 0; ++i)
    if (a.devices[i] == sim::PhyDevice::Ssp &&
        std::memcmp(a.phys[i].Attached.bSASAddress, p.bDestinationSASAddress, 8) == 0)
      phy = i;
  if (phy < 0) {
    header.ReturnCode = CSMI_SAS_STATUS_FAILED;
    return;
  }

  CSMI_SAS_SSP_PASSTHRU_STATUS status{};
  status.bConnectionStatus = CSMI_SAS_OPEN_ACCEPT;
  if (p.bCDB[0] == 0x12 && (p.uFlags & CSMI_SAS_SSP_READ)) {
    const std::vector<uint8_t> data = inquiry_data(a.drives[phy]);
    const uint32_t allocation = p.bCDB[4] | (p.bCDB[3] << 8);
    const uint32_t n = std::min<uint32_t>({allocation, p.uDataLength, 96});
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

Handle platform_open_adapter(const std::u16string& path) {
  auto& w = sim::world();
  sim::log_entry(sim::LogEntry::Kind::OpenAdapter).path = path;

  const int port = parse_adapter_path(path);
  const int index = port < 0 ? -1 : find_adapter(port);
  if (index < 0) {
    w.last_error = ERROR_FILE_NOT_FOUND;
    return kInvalidHandle;
  }
  if (w.adapters[index].faults.open_error != 0) {
    w.last_error = w.adapters[index].faults.open_error;
    return kInvalidHandle;
  }
  w.last_error = 0;
  return sim::kAdapterHandleBase + index;
}

bool platform_csmi_request(Handle handle, void* buffer, uint32_t size) {
  auto& w = sim::world();
  sim::Adapter* a = sim::adapter_of(handle);
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);

  sim::LogEntry& e = sim::log_entry(sim::LogEntry::Kind::Csmi);
  e.path = a ? adapter_path(a->port) : std::u16string();
  e.request.assign(bytes, bytes + size);

  if (a == nullptr) {
    w.last_error = ERROR_INVALID_HANDLE_CODE;
    return false;
  }
  if (size < kHeaderSize) {
    w.last_error = ERROR_INVALID_PARAMETER_CODE;
    return false;
  }

  std::vector<uint8_t> buf(bytes, bytes + size);
  SRB_IO_CONTROL header;
  std::memcpy(&header, buf.data(), sizeof header);
  const uint32_t code = header.ControlCode;
  const sim::AdapterFaults& f = a->faults;

  if (f.os_fail_control_code != 0 && f.os_fail_control_code == code) {
    w.last_error = f.os_fail_error;
    return false;
  }
  if (code == CC_CSMI_SAS_GET_PHY_INFO && f.phy_info_fails) {
    w.last_error = f.os_fail_error;
    return false;
  }

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
        std::memcpy(buf.data() + kHeaderSize, &a->driver_info, sizeof a->driver_info);
        if (f.driver_info_error != 0) w.last_error = f.driver_info_error;
        break;
      case CC_CSMI_SAS_GET_CNTLR_CONFIG:
        if (!header_fits(header, size, sizeof(CSMI_SAS_CNTLR_CONFIG), CSMI_ALL_SIGNATURE)) {
          header.ReturnCode = CSMI_SAS_STATUS_INVALID_PARAMETER;
          break;
        }
        std::memcpy(buf.data() + kHeaderSize, &a->config, sizeof a->config);
        if (f.cntlr_config_error != 0) w.last_error = f.cntlr_config_error;
        break;
      case CC_CSMI_SAS_GET_PHY_INFO: {
        if (!header_fits(header, size, sizeof(CSMI_SAS_PHY_INFO), CSMI_SAS_SIGNATURE)) {
          header.ReturnCode = CSMI_SAS_STATUS_INVALID_PARAMETER;
          break;
        }
        CSMI_SAS_PHY_INFO info{};
        info.bNumberOfPhys = a->number_of_phys;
        std::copy(a->phys.begin(), a->phys.end(), info.Phy);
        std::memcpy(buf.data() + kHeaderSize, &info, sizeof info);
        break;
      }
      case CC_CSMI_SAS_SSP_PASSTHRU:
        if (!header_fits(header, size, sizeof(CSMI_SAS_SSP_PASSTHRU), CSMI_SAS_SIGNATURE))
          header.ReturnCode = CSMI_SAS_STATUS_INVALID_PARAMETER;
        else
          answer_ssp(*a, buf, header);
        break;
      case CC_CSMI_SAS_STP_PASSTHRU:
        if (!header_fits(header, size, sizeof(CSMI_SAS_STP_PASSTHRU), CSMI_SAS_SIGNATURE))
          header.ReturnCode = CSMI_SAS_STATUS_INVALID_PARAMETER;
        else
          answer_stp(*a, buf, header);
        break;
      default:
        header.ReturnCode = CSMI_SAS_STATUS_BAD_CNTL_CODE;
        break;
    }
  }
  std::memcpy(buf.data(), &header, sizeof header);
  std::memcpy(buffer, buf.data(), size);
  // A request the driver completed leaves the thread's error code as it was.
  return true;
}
