// The hostile platform: every device, bridge, ATA port, CSMI driver and file answer is read
// from the fuzz input (see hostile_platform.h for the stream). A driver here may do anything a
// driver can do to the buffers the tool hands it: touch every byte the tool declared, report
// lengths that do not fit, return any status, sense, register or FIS, and answer a different
// file on every opening.
#include "hostile_platform.h"

#include <algorithm>
#include <cstring>

#include "platform/ata.h"

namespace hostile {
namespace {

// The most any single answer copies from the stream: enough for a whole phy table.
constexpr size_t kMaxStreamCopy = 4096;

class Stream {
 public:
  void reset(const uint8_t* data, size_t size) {
    data_ = data;
    size_ = size;
    pos_ = 0;
  }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
  uint32_t u32() { return u16() | static_cast<uint32_t>(u16()) << 16; }
  uint64_t u64() { return u32() | static_cast<uint64_t>(u32()) << 32; }
  void bytes(uint8_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = byte();
  }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t pos_ = 0;
};

// Loops over whole transfers and images carry no coverage: the fuzzer learns nothing from them
// and their comparisons would dominate every run. The sanitizers still check every byte.
#define QM_NO_COVERAGE __attribute__((no_sanitize("coverage")))

// A driver reads every byte of a data-out transfer or request it is handed.
QM_NO_COVERAGE void read_all(const uint8_t* data, uint32_t length) {
  volatile uint8_t sink = 0;
  for (uint32_t i = 0; i < length; ++i) sink = sink ^ data[i];
  (void)sink;
}

struct FileState {
  uint64_t position = 0;
};

struct State {
  Stream stream;
  std::vector<std::u16string> args;
  Record record;
  std::set<Handle> open_devices;
  std::map<Handle, FileState> open_files;
  Handle next_handle = 0x100;
  uint32_t last_error = 0;
  uint64_t image_size = 0;
  uint8_t image_seed = 0;
  // The file as the current pass reads it, and how much of it the tool takes as its image.
  // The file as the current pass reads it: content_size bytes of the pattern, repeated.
  uint64_t content_size = 0;
  std::vector<uint8_t> pattern;
  uint64_t image_limit = 0;
  Plan plan;
  int points = 0;
  bool interrupted = false;
  bool resend_expected = false;  // the last SCSI block was refused for its CK_COND
};

State& state() {
  static State s;
  return s;
}

Stream& stream() { return state().stream; }

bool fail(uint32_t code) {
  state().last_error = code;
  return false;
}

// An error code for a failed call: the ones the logic tells apart, or any value at all.
uint32_t error_code() {
  switch (stream().byte() % 5) {
    case 0:
      return ERROR_INVALID_FUNCTION;
    case 1:
      return ERROR_GEN_FAILURE;
    case 2:
      return ERROR_ACCESS_DENIED;
    case 3:
      return ERROR_FILE_NOT_FOUND;
    default:
      return stream().u32();
  }
}

Handle give_handle(const std::u16string& path) {
  State& s = state();
  const Handle h = s.next_handle++;
  s.open_devices.insert(h);
  s.record.handle_paths[h] = path;
  return h;
}

void note_handle_use(Handle h) {
  if (state().open_devices.count(h) == 0) state().record.foreign_handle_used = true;
}

// Every drive or adapter request, opening and pause is a point the operator's interrupt can
// come at: it comes while the planned one is in flight, which then completes.
void at_point(bool request) {
  State& s = state();
  if (s.interrupted && request && !s.resend_expected) ++s.record.requests_after_interrupt;
  if (request) s.resend_expected = false;
  if (++s.points == s.plan.interrupt_at) s.interrupted = s.record.interrupted = true;
}

// --- Benign contents ---------------------------------------------------------------------

void put_ata_text(uint8_t* field, size_t length, const char* text) {
  std::vector<char> padded(length, ' ');
  std::memcpy(padded.data(), text, std::min(length, std::strlen(text)));
  for (size_t k = 0; k < length; k += 2) {
    field[k] = static_cast<uint8_t>(padded[k + 1]);
    field[k + 1] = static_cast<uint8_t>(padded[k]);
  }
}

void put_word(uint8_t* data, int word, uint16_t value) {
  data[2 * word] = static_cast<uint8_t>(value);
  data[2 * word + 1] = static_cast<uint8_t>(value >> 8);
}

void put_qword(uint8_t* data, int index, uint64_t value) {
  for (int b = 0; b < 8; ++b) data[8 * index + b] = static_cast<uint8_t>(value >> (8 * b));
}

std::vector<uint8_t> identify_template() {
  std::vector<uint8_t> d(512, 0);
  put_ata_text(&d[20], 20, "FZ00000001");
  put_ata_text(&d[46], 8, "FZ1.00");
  put_ata_text(&d[54], 40, "HOSTILE FUZZ DRIVE");
  put_word(d.data(), 69, 0x0100);
  put_word(d.data(), 80, 0x0F00);
  put_word(d.data(), 119, 0x0010);
  put_word(d.data(), 234, 1);
  put_word(d.data(), 235, 256);
  return d;
}

std::vector<uint8_t> log_page_template() {
  std::vector<uint8_t> d(512, 0);
  put_qword(d.data(), 0, 1ull << 63);
  put_qword(d.data(), 2, (1ull << 63) | (1ull << 34) | (1ull << 35));
  return d;
}

std::vector<uint8_t> inquiry_template(bool serial_page) {
  if (serial_page) {
    const char serial[] = "FZ00000001";
    std::vector<uint8_t> d = {0x00, 0x80, 0x00, static_cast<uint8_t>(sizeof serial - 1)};
    d.insert(d.end(), serial, serial + sizeof serial - 1);
    return d;
  }
  std::vector<uint8_t> d(36, 0);
  d[2] = 0x05;
  d[3] = 0x02;
  d[4] = 31;
  std::memcpy(&d[8], "ATA     HOSTILE FUZZ    FZ10", 28);
  return d;
}

// The data a benign drive returns for an ATA data-in command.
std::vector<uint8_t> ata_data_template(uint8_t command) {
  if (command == 0xEC) return identify_template();
  if (command == 0x2F) return log_page_template();
  return {};
}

// Data-in: a driver may write every byte the tool declared. Then the benign contents, then
// what the stream asks for.
void fill_data_in(uint8_t* data, uint32_t length, const std::vector<uint8_t>& benign, bool full,
                  bool patches) {
  if (data == nullptr || length == 0) return;
  std::memset(data, 0, length);
  std::memcpy(data, benign.data(), std::min<size_t>(length, benign.size()));
  if (full) stream().bytes(data, std::min<size_t>(length, kMaxStreamCopy));
  if (patches) {
    const uint8_t n = stream().byte();
    for (uint8_t i = 0; i < n; ++i) {
      const uint16_t offset = stream().u16();
      data[offset % length] = stream().byte();
    }
  }
}

// --- Observing commands ------------------------------------------------------------------

// Compares a DOWNLOAD MICROCODE data transfer with the image of the current pass.
QM_NO_COVERAGE bool matches_image(const AtaCommand& c, const uint8_t* data, uint32_t length) {
  const State& s = state();
  if (length == 0) return true;
  if (data == nullptr) return false;
  const uint64_t padded = (s.image_limit + 511) / 512 * 512;
  const uint64_t start = uint64_t{c.block_offset()} * 512;
  if (start + length > padded) return false;
  // The file's bytes, then the zeros of the last block past its end.
  const uint64_t from_file =
      start < s.image_limit ? std::min<uint64_t>(length, s.image_limit - start) : 0;
  for (uint64_t done = 0; done < from_file;) {
    const uint64_t at = (start + done) % s.pattern.size();
    const uint64_t n = std::min<uint64_t>(from_file - done, s.pattern.size() - at);
    if (std::memcmp(data + done, s.pattern.data() + at, n) != 0) return false;
    done += n;
  }
  for (uint64_t i = from_file; i < length; ++i)
    if (data[i] != 0) return false;
  return true;
}

// Notes the pass of a command and reads its data-out bytes as a driver would: a segment is
// compared with the image on the way.
void observe(AtaCommand& c, const uint8_t* data_out) {
  State& s = state();
  c.pass = static_cast<int>(s.record.images.size());
  if (c.direction != 2 || data_out == nullptr) return;
  if (c.command == 0x92)
    c.data_matches_image = matches_image(c, data_out, c.data_length);
  else
    read_all(data_out, c.data_length);
}

void note_identify(const AtaCommand& c, const uint8_t* data) {
  Record& r = state().record;
  if (c.command != 0xEC || r.first_identify_seen || data == nullptr || c.data_length < 512) return;
  r.first_identify_seen = true;
  std::memcpy(r.first_identify, data, 512);
}

// The ATA command inside an ATA PASS-THROUGH command block, if it is one.
bool ata_from_cdb(const SCSI_PASS_THROUGH_DIRECT& h, AtaCommand& c) {
  const uint8_t* b = h.Cdb;
  if (h.CdbLength == 16 && b[0] == 0x85) {
    c.features = b[4];
    c.count = b[6];
    c.lba_low = b[8];
    c.lba_mid = b[10];
    c.lba_high = b[12];
    c.device = b[13];
    c.command = b[14];
    c.ck_cond = (b[2] & 0x20) != 0;
    return true;
  }
  if (h.CdbLength == 12 && b[0] == 0xA1) {
    c.features = b[3];
    c.count = b[4];
    c.lba_low = b[5];
    c.lba_mid = b[6];
    c.lba_high = b[7];
    c.device = b[8];
    c.command = b[9];
    return true;
  }
  return false;
}

bool scsi_status_is_failure(uint8_t status) {
  switch (status) {
    case 0x02:  // CHECK CONDITION
    case 0x08:  // BUSY
    case 0x18:  // RESERVATION CONFLICT
    case 0x28:  // TASK SET FULL
    case 0x30:  // ACA ACTIVE
    case 0x40:  // TASK ABORTED
      return true;
    default:
      return false;
  }
}

// The judgement of a SCSI answer to ATA PASS-THROUGH, read from the sense as SAT lays it out
// (an oracle of its own, not the tool's decoder): a CHECK CONDITION that only hands back the
// registers a CK_COND block asked for (RECOVERED ERROR, ATA PASS-THROUGH INFORMATION
// AVAILABLE, an ATA Status without ERR or DF) is no failure.
struct ScsiJudgement {
  bool failed = false;
  bool ck_cond_refused = false;
  int count = -1;
};

ScsiJudgement judge_scsi(const AtaCommand& c, uint8_t status, const uint8_t* sense, size_t length) {
  ScsiJudgement j;
  if (status != 0x02) {
    j.failed = scsi_status_is_failure(status);
    return j;
  }
  j.failed = true;
  if (length == 0) return j;
  // Current errors only: deferred sense (0x71, 0x73) tells of an earlier command. Sense cut
  // short reads as zeros where it ends.
  const auto at = [&](size_t i) -> uint8_t { return i < length ? sense[i] : 0; };
  const uint8_t code = sense[0] & 0x7F;
  uint8_t key = 0, asc = 0, ascq = 0;
  int ata_status = -1;
  if (code == 0x72) {
    key = at(1) & 0x0F;
    asc = at(2);
    ascq = at(3);
    const size_t end = std::min<size_t>(length, 8u + at(7));
    for (size_t d = 8; d + 2 <= end; d += 2u + sense[d + 1]) {
      if (sense[d] == 0x09 && sense[d + 1] >= 0x0C && d + 14 <= end) {
        j.count = sense[d + 5];
        ata_status = sense[d + 13];
        break;
      }
    }
  } else if (code == 0x70) {
    key = at(2) & 0x0F;
    asc = at(12);
    ascq = at(13);
    if (length >= 14 && asc == 0x00 && ascq == 0x1D) {
      j.count = sense[6];
      ata_status = sense[4];
    }
  } else {
    return j;
  }
  j.ck_cond_refused = c.ck_cond && key == 0x05 && asc == 0x24 && ascq == 0x00;
  if (key == 0x01 && asc == 0x00 && ascq == 0x1D && ata_status >= 0 &&
      (ata_status & (kAtaStatusErr | kAtaStatusDf)) == 0)
    j.failed = false;
  if (j.failed) j.count = -1;
  return j;
}

// --- CSMI ---------------------------------------------------------------------------------

constexpr uint32_t kHeader = sizeof(SRB_IO_CONTROL);
constexpr uint32_t kStpStatus = offsetof(CSMI_SAS_STP_PASSTHRU_BUFFER, Status);
constexpr uint32_t kStpData = offsetof(CSMI_SAS_STP_PASSTHRU_BUFFER, bDataBuffer);
constexpr uint32_t kSspStatus = offsetof(CSMI_SAS_SSP_PASSTHRU_BUFFER, Status);
constexpr uint32_t kSspData = offsetof(CSMI_SAS_SSP_PASSTHRU_BUFFER, bDataBuffer);

template <size_t N>
void put_text(uint8_t (&field)[N], const char* text) {
  std::memset(field, 0, N);
  std::memcpy(field, text, std::min(N - 1, std::strlen(text)));
}

void benign_phy_table(CSMI_SAS_PHY_INFO& info) {
  std::memset(&info, 0, sizeof info);
  info.bNumberOfPhys = 8;
  for (uint8_t i = 0; i < 8; ++i) {
    CSMI_SAS_PHY_ENTITY& e = info.Phy[i];
    e.Identify.bDeviceType = CSMI_SAS_END_DEVICE;
    e.Identify.bInitiatorPortProtocol = 0x0D;
    e.Identify.bPhyIdentifier = i;
    const uint8_t own[8] = {0x50, 0x06, 0x05, 0xB0, 0x00, 0x00, 0x00, static_cast<uint8_t>(i)};
    std::memcpy(e.Identify.bSASAddress, own, 8);
    e.bPortIdentifier = i;
    e.bNegotiatedLinkRate = 0x0A;
    e.Attached.bDeviceType = CSMI_SAS_END_DEVICE;
    // SATA on 0..3, STP on 4 and 5, SSP on 6, two protocols at once on 7.
    e.Attached.bTargetPortProtocol = i < 4   ? CSMI_SAS_PROTOCOL_SATA
                                     : i < 6 ? CSMI_SAS_PROTOCOL_STP
                                     : i < 7 ? CSMI_SAS_PROTOCOL_SSP
                                             : CSMI_SAS_PROTOCOL_SATA | CSMI_SAS_PROTOCOL_STP;
    benign_attached_address(i, e.Attached.bSASAddress);
  }
}

// The benign driver's answer, written into the payload of a buffer of the right size.
void benign_csmi_answer(uint32_t control_code, uint8_t* buffer, uint32_t size) {
  auto& header = *reinterpret_cast<SRB_IO_CONTROL*>(buffer);
  header.ReturnCode = CSMI_SAS_STATUS_SUCCESS;
  switch (control_code) {
    case CC_CSMI_SAS_GET_DRIVER_INFO: {
      if (size < sizeof(CSMI_SAS_DRIVER_INFO_BUFFER)) break;
      CSMI_SAS_DRIVER_INFO info{};
      put_text(info.szName, "fuzzsas");
      put_text(info.szDescription, "Hostile SAS/SATA host bus adapter");
      info.usMajorRevision = 1;
      info.usCSMIMinorRevision = 90;
      std::memcpy(buffer + kHeader, &info, sizeof info);
      return;
    }
    case CC_CSMI_SAS_GET_CNTLR_CONFIG: {
      if (size < sizeof(CSMI_SAS_CNTLR_CONFIG_BUFFER)) break;
      CSMI_SAS_CNTLR_CONFIG config{};
      config.uBoardID = 0xF0220002;
      config.uControllerFlags = 1;
      std::memcpy(buffer + kHeader, &config, sizeof config);
      return;
    }
    case CC_CSMI_SAS_GET_PHY_INFO: {
      if (size < sizeof(CSMI_SAS_PHY_INFO_BUFFER)) break;
      CSMI_SAS_PHY_INFO info;
      benign_phy_table(info);
      std::memcpy(buffer + kHeader, &info, sizeof info);
      return;
    }
    case CC_CSMI_SAS_SSP_PASSTHRU: {
      if (size < sizeof(CSMI_SAS_SSP_PASSTHRU_BUFFER)) break;
      CSMI_SAS_SSP_PASSTHRU p;
      std::memcpy(&p, buffer + kHeader, sizeof p);
      if (uint64_t{kSspData} + p.uDataLength > size) break;
      CSMI_SAS_SSP_PASSTHRU_STATUS status{};
      status.uDataBytes = p.uDataLength;
      std::memcpy(buffer + kSspStatus, &status, sizeof status);
      const std::vector<uint8_t> inquiry = inquiry_template(false);
      std::memset(buffer + kSspData, 0, p.uDataLength);
      std::memcpy(buffer + kSspData, inquiry.data(), std::min<size_t>(p.uDataLength, 36));
      return;
    }
    case CC_CSMI_SAS_STP_PASSTHRU: {
      if (size < sizeof(CSMI_SAS_STP_PASSTHRU_BUFFER)) break;
      CSMI_SAS_STP_PASSTHRU p;
      std::memcpy(&p, buffer + kHeader, sizeof p);
      if (uint64_t{kStpData} + p.uDataLength > size) break;
      CSMI_SAS_STP_PASSTHRU_STATUS status{};
      status.bConnectionStatus = CSMI_SAS_OPEN_ACCEPT;
      status.bStatusFIS[0] = 0x34;  // Register Device-to-Host
      status.bStatusFIS[2] = 0x50;
      status.uDataBytes = p.uDataLength;
      std::memcpy(buffer + kStpStatus, &status, sizeof status);
      if (p.uFlags & CSMI_SAS_STP_READ) {
        const std::vector<uint8_t> data = ata_data_template(p.bCommandFIS[2]);
        std::memset(buffer + kStpData, 0, p.uDataLength);
        std::memcpy(buffer + kStpData, data.data(), std::min<size_t>(p.uDataLength, data.size()));
      }
      return;
    }
    default:
      header.ReturnCode = CSMI_SAS_STATUS_BAD_CNTL_CODE;
      return;
  }
  header.ReturnCode = CSMI_SAS_STATUS_INVALID_PARAMETER;
}

bool stp_answer_failed(bool ok, const uint8_t* buffer) {
  if (!ok) return true;
  const auto& header = *reinterpret_cast<const SRB_IO_CONTROL*>(buffer);
  if (header.ReturnCode != CSMI_SAS_STATUS_SUCCESS) return true;
  const uint8_t* status = buffer + kStpStatus;
  if (status[0] != CSMI_SAS_OPEN_ACCEPT) return true;
  const uint8_t* fis = status + offsetof(CSMI_SAS_STP_PASSTHRU_STATUS, bStatusFIS);
  if (fis[0] == 0x34) return (fis[2] & (kAtaStatusErr | kAtaStatusDf)) != 0;
  // PIO Setup: the starting status in byte 2, the ending status (E_Status) in byte 15.
  if (fis[0] == 0x5F) return ((fis[2] | fis[15]) & (kAtaStatusErr | kAtaStatusDf)) != 0;
  return false;
}

// An image file's bytes repeat with a prime period: no whole number of blocks is a multiple
// of it below 65,521 blocks, so a segment sent from the wrong offset never matches.
constexpr size_t kPatternPeriod = 65521;

QM_NO_COVERAGE std::vector<uint8_t> image_pattern(uint8_t seed) {
  std::vector<uint8_t> pattern(kPatternPeriod);
  uint32_t x = 0x9E3779B9u ^ seed;
  for (uint8_t& b : pattern) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return pattern;
}

}  // namespace

void benign_attached_address(uint8_t phy, uint8_t (&address)[8]) {
  const uint8_t base[8] = {0x50, 0x01, 0x51, 0x4D, 0x00, 0x00, 0x02, phy};
  std::memcpy(address, base, 8);
}

void begin(std::vector<std::u16string> args, const uint8_t* data, size_t size, uint64_t image_size,
           uint8_t image_seed, Plan plan) {
  State& s = state();
  s.plan = plan;
  s.points = 0;
  s.interrupted = false;
  s.resend_expected = false;
  s.stream.reset(data, size);
  s.args = std::move(args);
  s.record = Record{};
  s.open_devices.clear();
  s.open_files.clear();
  s.next_handle = 0x100;
  s.last_error = 0;
  s.image_size = image_size;
  s.image_seed = image_seed;
  s.content_size = 0;
  s.pattern = {};
  s.image_limit = 0;
}

const Record& record() { return state().record; }

void end() {
  State& s = state();
  s.args = {};
  s.record = Record{};
  s.open_devices = {};
  s.open_files = {};
  s.pattern = {};
}

}  // namespace hostile

using hostile::AtaCommand;
using hostile::state;
using hostile::stream;

// --- Process -------------------------------------------------------------------------------

bool platform_wide_args(int, char**, std::vector<std::u16string>& out) {
  out = state().args;
  return true;
}

void platform_sleep_ms(uint32_t) {
  hostile::at_point(false);
  ++state().record.sleeps;
}

uint32_t platform_get_last_error() { return state().last_error; }
// The tool runs as root, as it should: a refused open then names the policy, not the rights.
bool platform_running_as_administrator() { return true; }
void platform_set_last_error(uint32_t code) { state().last_error = code; }

// --- Devices and adapters -----------------------------------------------------------------

Handle platform_open_drive(const std::u16string& path) {
  hostile::at_point(false);
  state().record.drive_opens.push_back(path);
  if (stream().byte() & 0x01) {
    hostile::fail(hostile::error_code());
    return kInvalidHandle;
  }
  return hostile::give_handle(path);
}

bool platform_csmi_supported() { return true; }

Handle platform_open_adapter(const std::u16string& path) {
  hostile::at_point(false);
  state().record.adapter_opens.push_back(path);
  const std::u16string benign =
      u"\\\\.\\SCSI" +
      std::u16string(1, static_cast<char16_t>(u'0' + hostile::kBenignAdapterPort)) + u":";
  const uint8_t sel = stream().byte();
  const bool opens = (path == benign) != ((sel & 0x01) != 0);
  if (!opens) {
    hostile::fail((sel & 0x02) ? hostile::error_code() : ERROR_FILE_NOT_FOUND);
    return kInvalidHandle;
  }
  return hostile::give_handle(path);
}

bool platform_get_scsi_address(Handle handle, SCSI_ADDRESS* address) {
  hostile::note_handle_use(handle);
  const uint8_t sel = stream().byte();
  if (sel & 0x01) return hostile::fail(hostile::error_code());
  *address = SCSI_ADDRESS{8, 0, 0, 0, 0};
  if (sel & 0x02) {
    address->PortNumber = stream().byte();
    address->PathId = stream().byte();
    address->TargetId = stream().byte();
    address->Lun = stream().byte();
  }
  return true;
}

bool platform_drive_address(const std::u16string& path, SCSI_ADDRESS* address) {
  return drive_address_through_open(path, address);
}

// The system's drives: none to three names, some with a reason not to open them, or no list.
bool platform_list_drives(std::vector<PresentedDrive>& drives) {
  const uint8_t sel = stream().byte();
  if (sel & 0x01) return hostile::fail(hostile::error_code());
  for (int i = 0; i < (sel >> 1) % 4; ++i) {
    PresentedDrive d;
    d.path = u"\\\\.\\PhysicalDrive" + std::u16string(1, static_cast<char16_t>(u'0' + i));
    if (stream().byte() & 0x01) d.unusable = "no pass-through reaches it";
    drives.push_back(d);
  }
  return true;
}

bool platform_scsi_passthrough(Handle handle, ScsiPassThroughRequest* request) {
  hostile::at_point(true);
  hostile::note_handle_use(handle);
  SCSI_PASS_THROUGH_DIRECT& h = request->sptd;
  AtaCommand c;
  c.path = AtaCommand::Path::Scsi;
  c.handle = handle;
  const bool is_ata = hostile::ata_from_cdb(h, c);
  auto* data = static_cast<uint8_t*>(h.DataBuffer);
  const uint32_t length = h.DataTransferLength;
  c.direction = length == 0                       ? 0
                : h.DataIn == SCSI_IOCTL_DATA_IN  ? 1
                : h.DataIn == SCSI_IOCTL_DATA_OUT ? 2
                                                  : 0;
  c.data_length = c.direction == 0 ? 0 : length;
  if (is_ata)
    hostile::observe(c, data);
  else if (c.direction == 2 && data != nullptr)
    hostile::read_all(data, length);

  const uint8_t sel = stream().byte();
  if (sel & 0x01) {
    c.failed = true;
    if (is_ata) state().record.commands.push_back(c);
    return hostile::fail(hostile::error_code());
  }
  h.ScsiStatus = (sel & 0x02) ? stream().byte() : 0;
  if (sel & 0x04) {
    h.SenseInfoLength = stream().byte();
    stream().bytes(request->sense, std::min<size_t>(h.SenseInfoLength, sizeof request->sense));
  } else {
    h.SenseInfoLength = 0;
  }
  if (c.direction == 1) {
    std::vector<uint8_t> benign;
    if (is_ata)
      benign = hostile::ata_data_template(c.command);
    else if (h.Cdb[0] == 0x12)
      benign = hostile::inquiry_template((h.Cdb[1] & 0x01) != 0);
    hostile::fill_data_in(data, length, benign, (sel & 0x20) != 0, (sel & 0x10) != 0);
  }
  if (sel & 0x08) h.DataTransferLength = stream().u32();
  if (sel & 0x40) state().last_error = stream().u32();
  if (is_ata) {
    const hostile::ScsiJudgement j =
        hostile::judge_scsi(c, h.ScsiStatus, request->sense,
                            std::min<size_t>(h.SenseInfoLength, sizeof request->sense));
    c.failed = j.failed;
    c.ck_cond_refused = j.ck_cond_refused;
    state().resend_expected = j.ck_cond_refused;
    c.verdict = j.count;
    if (c.direction == 1) hostile::note_identify(c, data);
    state().record.commands.push_back(c);
  }
  return true;
}

bool platform_ata_passthrough(Handle handle, ATA_PASS_THROUGH_DIRECT* request,
                              uint32_t* bytes_returned) {
  hostile::at_point(true);
  hostile::note_handle_use(handle);
  AtaCommand c;
  c.path = AtaCommand::Path::Ata;
  c.handle = handle;
  const uint8_t* cur = request->CurrentTaskFile;
  c.features = cur[0];
  c.count = cur[1];
  c.lba_low = cur[2];
  c.lba_mid = cur[3];
  c.lba_high = cur[4];
  c.device = cur[5];
  c.command = cur[6];
  auto* data = static_cast<uint8_t*>(request->DataBuffer);
  const uint32_t length = request->DataTransferLength;
  const bool in = (request->AtaFlags & ATA_FLAGS_DATA_IN) != 0;
  const bool out = (request->AtaFlags & ATA_FLAGS_DATA_OUT) != 0;
  c.direction = length == 0 || in == out ? 0 : in ? 1 : 2;
  c.data_length = c.direction == 0 ? 0 : length;
  hostile::observe(c, data);

  const uint8_t sel = stream().byte();
  if (sel & 0x01) {
    c.failed = true;
    state().record.commands.push_back(c);
    return hostile::fail(hostile::error_code());
  }
  // A benign drive gives DOWNLOAD MICROCODE no verdict (Count 0); other commands echo it.
  uint8_t registers[7] = {
      0,   c.command == 0x92 ? uint8_t{0} : c.count, c.lba_low, c.lba_mid, c.lba_high, c.device,
      0x50};
  if (sel & 0x02) stream().bytes(registers, sizeof registers);
  std::memcpy(request->CurrentTaskFile, registers, sizeof registers);
  request->CurrentTaskFile[7] = 0;
  if (sel & 0x40)
    stream().bytes(request->PreviousTaskFile, sizeof request->PreviousTaskFile);
  else
    std::memset(request->PreviousTaskFile, 0, sizeof request->PreviousTaskFile);
  if (c.direction == 1)
    hostile::fill_data_in(data, length, hostile::ata_data_template(c.command), (sel & 0x20) != 0,
                          (sel & 0x10) != 0);
  if (sel & 0x04) request->DataTransferLength = stream().u32();
  const uint32_t returned = (sel & 0x08) ? stream().u32() : sizeof(ATA_PASS_THROUGH_DIRECT);
  if (bytes_returned != nullptr) *bytes_returned = returned;
  if (sel & 0x80) state().last_error = stream().u32();
  c.failed = (registers[6] & (kAtaStatusErr | kAtaStatusDf)) != 0;
  if (!c.failed) c.verdict = registers[1];
  if (c.direction == 1) hostile::note_identify(c, data);
  state().record.commands.push_back(c);
  return true;
}

bool platform_csmi_request(Handle handle, void* buffer_in, uint32_t size) {
  hostile::at_point(true);
  hostile::note_handle_use(handle);
  auto* buffer = static_cast<uint8_t*>(buffer_in);
  if (size < hostile::kHeader) return hostile::fail(ERROR_INVALID_PARAMETER);
  uint32_t control_code = 0;
  std::memcpy(&control_code, buffer + offsetof(SRB_IO_CONTROL, ControlCode), 4);
  const bool stp = control_code == CC_CSMI_SAS_STP_PASSTHRU && size >= hostile::kStpData;
  // A driver reads the request it is handed (an STP request's data as the command's data).
  hostile::read_all(buffer, stp ? hostile::kStpData : size);
  AtaCommand c;
  c.path = AtaCommand::Path::Stp;
  c.handle = handle;
  uint8_t* data = nullptr;
  if (stp) {
    CSMI_SAS_STP_PASSTHRU p;
    std::memcpy(&p, buffer + hostile::kHeader, sizeof p);
    const uint8_t* fis = p.bCommandFIS;
    c.command = fis[2];
    c.features = fis[3];
    c.lba_low = fis[4];
    c.lba_mid = fis[5];
    c.lba_high = fis[6];
    c.device = fis[7];
    c.count = fis[12];
    c.phy_identifier = p.bPhyIdentifier;
    c.port_identifier = p.bPortIdentifier;
    std::memcpy(c.destination, p.bDestinationSASAddress, 8);
    const bool read = (p.uFlags & CSMI_SAS_STP_READ) != 0;
    const bool write = (p.uFlags & CSMI_SAS_STP_WRITE) != 0;
    const uint32_t room = size - hostile::kStpData;
    c.data_length = std::min(p.uDataLength, room);
    c.direction = c.data_length == 0 || read == write ? 0 : read ? 1 : 2;
    if (c.direction == 0) c.data_length = 0;
    data = buffer + hostile::kStpData;
    hostile::observe(c, data);
  }

  const uint8_t sel = stream().byte();
  bool ok = true;
  if (sel & 0x01) {
    ok = false;
    state().last_error = hostile::error_code();
  } else {
    hostile::benign_csmi_answer(control_code, buffer, size);
    auto& header = *reinterpret_cast<SRB_IO_CONTROL*>(buffer);
    if (sel & 0x02) header.ReturnCode = stream().byte();
    if (sel & 0x04) state().last_error = stream().u32();
    // The data area of an STP read, or the whole payload of any other request.
    if (sel & 0x40) {
      if (stp)
        stream().bytes(data, std::min<size_t>(c.data_length, hostile::kMaxStreamCopy));
      else
        stream().bytes(buffer + hostile::kHeader,
                       std::min<size_t>(size - hostile::kHeader, hostile::kMaxStreamCopy));
    }
    if (stp && size >= sizeof(CSMI_SAS_STP_PASSTHRU_BUFFER)) {
      if (sel & 0x10) buffer[hostile::kStpStatus] = stream().byte();
      if (sel & 0x20)
        stream().bytes(
            buffer + hostile::kStpStatus + offsetof(CSMI_SAS_STP_PASSTHRU_STATUS, bStatusFIS), 20);
    }
    if (sel & 0x08) {
      const uint8_t n = stream().byte();
      for (uint8_t i = 0; i < n; ++i) {
        const uint16_t offset = stream().u16();
        buffer[offset % size] = stream().byte();
      }
    }
  }

  if (control_code == CC_CSMI_SAS_GET_PHY_INFO && size >= sizeof(CSMI_SAS_PHY_INFO_BUFFER) && ok) {
    CSMI_SAS_PHY_INFO table;
    std::memcpy(&table, buffer + hostile::kHeader, sizeof table);
    state().record.phy_tables[handle] = table;
  }
  if (stp) {
    c.failed = hostile::stp_answer_failed(ok, buffer);
    // Register Device-to-Host and PIO Setup FISes carry the Count in byte 12.
    const uint8_t* fis =
        buffer + hostile::kStpStatus + offsetof(CSMI_SAS_STP_PASSTHRU_STATUS, bStatusFIS);
    if (!c.failed && size >= sizeof(CSMI_SAS_STP_PASSTHRU_BUFFER) &&
        (fis[0] == 0x34 || fis[0] == 0x5F))
      c.verdict = fis[12];
    // The tool takes the data of a successful read from the data area.
    if (c.direction == 1 && !c.failed) hostile::note_identify(c, data);
    state().record.commands.push_back(c);
  }
  return ok;
}

// The storage firmware API is not played: the sequence takes the pass-through path, which is
// the one the hostile answers exercise.
bool platform_firmware_get_info(Handle, const STORAGE_HW_FIRMWARE_INFO_QUERY&, void*, uint32_t) {
  return hostile::fail(ERROR_INVALID_FUNCTION);
}
bool platform_firmware_download(Handle, const void*, uint32_t) {
  return hostile::fail(ERROR_INVALID_FUNCTION);
}
bool platform_firmware_activate(Handle, const STORAGE_HW_FIRMWARE_ACTIVATE&) {
  return hostile::fail(ERROR_INVALID_FUNCTION);
}
std::vector<std::string> platform_drive_in_use(Handle) { return {}; }

bool platform_close(Handle handle) {
  hostile::note_handle_use(handle);
  state().open_devices.erase(handle);
  if (stream().byte() & 0x01) return hostile::fail(ERROR_INVALID_HANDLE);
  return true;
}

// --- The firmware image file ---------------------------------------------------------------

Handle platform_file_open(const std::u16string&, std::string& error_text) {
  hostile::State& s = state();
  s.record.images.push_back(hostile::ImageOpen{});
  s.image_limit = 0;
  const uint8_t sel = stream().byte();
  if (sel & 0x01) {
    error_text = "refused by the hostile file system";
    hostile::fail(hostile::error_code());
    return kInvalidHandle;
  }
  // A file that changes between two readings: another size, other bytes.
  // Small, so that a changing file does not make every run slow.
  if (sel & 0x02) {
    s.image_size = stream().u16();
    s.image_seed = stream().byte();
  }
  if ((sel & 0x02) || s.pattern.empty()) s.pattern = hostile::image_pattern(s.image_seed);
  s.content_size = s.image_size;
  s.record.images.back().opened = true;
  s.record.images.back().content_size = s.content_size;
  const Handle h = s.next_handle++;
  s.open_files[h] = hostile::FileState{};
  return h;
}

int64_t platform_file_size(Handle file) {
  hostile::State& s = state();
  if (s.open_files.count(file) == 0) {
    s.record.foreign_handle_used = true;
    return -1;
  }
  int64_t size = static_cast<int64_t>(s.content_size);
  if (stream().byte() & 0x01) size = static_cast<int64_t>(stream().u64());
  s.record.images.back().reported_size = size;
  // What the tool can take as its image: the size it was told, if it can read that much.
  s.image_limit = size >= 0 ? std::min<uint64_t>(static_cast<uint64_t>(size), s.content_size) : 0;
  s.record.images.back().image_size = s.image_limit;
  return size;
}

int64_t platform_file_read(Handle file, void* buffer, int64_t size) {
  hostile::State& s = state();
  auto it = s.open_files.find(file);
  if (it == s.open_files.end()) {
    s.record.foreign_handle_used = true;
    return 0;
  }
  if (size <= 0) return 0;
  const uint64_t left = s.content_size - it->second.position;
  uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(size), left);
  if (stream().byte() & 0x01) n = std::min<uint64_t>(n, stream().byte());
  auto* out = static_cast<uint8_t*>(buffer);
  for (uint64_t done = 0; done < n;) {
    const uint64_t at = (it->second.position + done) % s.pattern.size();
    const uint64_t piece = std::min<uint64_t>(n - done, s.pattern.size() - at);
    std::memcpy(out + done, s.pattern.data() + at, piece);
    done += piece;
  }
  it->second.position += n;
  return static_cast<int64_t>(n);
}

void platform_file_close(Handle file) {
  if (state().open_files.erase(file) == 0) state().record.foreign_handle_used = true;
}

// --- Console: the targets capture it; nothing reaches the terminal -------------------------

void platform_console_write(ConsoleStream, std::string_view) {}
void platform_console_write_wide(ConsoleStream, std::u16string_view) {}
std::string_view platform_console_hline(ConsoleStream) { return "\xE2\x94\x80"; }
// Time stands still: nothing the console holds back is due before the end of its line.
uint64_t platform_console_clock_ms() { return 0; }

// --- Claims and interruption, as the run's plan has them ----------------------------------

DriveClaim platform_claim_drive(std::string_view, uint32_t) {
  DriveClaim c;
  switch (state().plan.claim) {
    case hostile::Claim::Granted:
      c.outcome = ClaimOutcome::Claimed;
      c.handle = 1;
      break;
    case hostile::Claim::Busy:
      c.outcome = ClaimOutcome::Busy;
      c.holder_pid = 4242;
      state().record.claim_busy = true;
      break;
    case hostile::Claim::Unavailable:
      c.reason = "no lock folder";
      break;
  }
  return c;
}
void platform_release_drive(Handle) {}
void platform_install_interrupt_handler() {}
bool platform_interrupted() { return state().interrupted; }

// --- The system log: out of reach, which the run must shrug off ---------------------------

bool platform_system_log(bool, const LogFields&) { return false; }
