// The storage side of the simulated platform: physical drives opened by path, their SCSI
// address, SCSI pass-through through a SAT bridge, ATA pass-through through an ATA port,
// CSMI adapters opened as "\\.\SCSIn:" and their requests handed to the adapter's driver
// (csmi_adapter.h), and closing. Every request is logged as it arrived, before any fault or
// check, so that tests see exactly what the tool put on the wire; every failure sets the
// thread's error code and nothing else.
#include "platform/storage.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/sat.h"
#include "platform/task_file.h"
#include "sim/csmi_adapter.h"
#include "sim/firmware_driver.h"
#include "sim/sat_bridge.h"
#include "sim/world.h"

namespace {

constexpr int kMaxAdapterPort = 0xFFFF;

std::u16string adapter_path(const sim::Adapter& adapter) {
  return csmi_adapter_path(static_cast<uint32_t>(adapter.port));
}

// The port of "\\.\SCSI<n>:" with n written as Windows names it (no sign, no leading zero),
// or -1 for any other name.
int parse_adapter_path(const std::u16string& path) {
  const std::u16string_view prefix = kAdapterPathPrefix;
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

template <typename T>
std::vector<uint8_t> bytes_of(const T& value) {
  std::vector<uint8_t> v(sizeof(T));
  std::memcpy(v.data(), &value, sizeof(T));
  return v;
}

std::u16string_view path_of(const sim::Port* port) {
  return port != nullptr ? std::u16string_view(port->path) : std::u16string_view();
}

void keep_data_out(sim::LogEntry& e, const void* buffer, uint32_t length) {
  e.data_pointer = buffer;
  if (!sim::world().log_data || buffer == nullptr || length == 0) return;
  const auto* p = static_cast<const uint8_t*>(buffer);
  e.data_out.assign(p, p + length);
}

bool fail(uint32_t code) {
  platform_set_last_error(code);
  return false;
}

// The checks the operating system makes before a request reaches any device.
uint32_t scsi_request_error(const SCSI_PASS_THROUGH_DIRECT& h) {
  if (h.Length != sizeof(SCSI_PASS_THROUGH_DIRECT)) return ERROR_INVALID_PARAMETER;
  if (h.CdbLength == 0 || h.CdbLength > sizeof h.Cdb) return ERROR_INVALID_PARAMETER;
  if (h.DataIn > SCSI_IOCTL_DATA_UNSPECIFIED) return ERROR_INVALID_PARAMETER;
  if (h.DataTransferLength != 0 && h.DataBuffer == nullptr) return ERROR_INVALID_PARAMETER;
  if (h.SenseInfoLength != 0 &&
      (h.SenseInfoOffset < sizeof(SCSI_PASS_THROUGH_DIRECT) ||
       h.SenseInfoOffset + h.SenseInfoLength > sizeof(ScsiPassThroughRequest)))
    return ERROR_INVALID_PARAMETER;
  return 0;
}

uint32_t ata_request_error(const ATA_PASS_THROUGH_DIRECT& r) {
  if (r.Length != sizeof(ATA_PASS_THROUGH_DIRECT)) return ERROR_INVALID_PARAMETER;
  const bool in = (r.AtaFlags & ATA_FLAGS_DATA_IN) != 0;
  const bool out = (r.AtaFlags & ATA_FLAGS_DATA_OUT) != 0;
  if (in && out) return ERROR_INVALID_PARAMETER;
  if ((in || out) && r.DataTransferLength != 0 && r.DataBuffer == nullptr)
    return ERROR_INVALID_PARAMETER;
  return 0;
}

// The ATA port: the task files in, the drive's output registers back in CurrentTaskFile.
void ata_port_execute(sim::Port& port, ATA_PASS_THROUGH_DIRECT& r) {
  const InputRegisters in = task_file::decode_input(r);

  sim::DataDir dir = sim::DataDir::None;
  if (r.AtaFlags & ATA_FLAGS_DATA_IN) dir = sim::DataDir::In;
  if (r.AtaFlags & ATA_FLAGS_DATA_OUT) dir = sim::DataDir::Out;
  uint8_t* buffer = dir == sim::DataDir::None ? nullptr : static_cast<uint8_t*>(r.DataBuffer);
  const uint32_t length = buffer != nullptr ? r.DataTransferLength : 0;

  uint32_t moved = 0;
  const OutputRegisters out = sim::execute_ata(port.drive, in, dir, buffer, length, moved);
  task_file::encode_output(out, r);
  r.DataTransferLength = std::min(moved, length);
}

}  // namespace

Handle platform_open_drive(const std::u16string& path) {
  auto& ports = sim::world().ports;
  sim::log_entry(sim::LogEntry::Kind::OpenDrive, path);
  for (size_t i = 0; i < ports.size(); ++i) {
    if (ports[i].path != path) continue;
    if (ports[i].faults.open_error != 0) {
      fail(ports[i].faults.open_error);
      return kInvalidHandle;
    }
    return sim::kPortHandleBase + static_cast<Handle>(i);
  }
  fail(ERROR_FILE_NOT_FOUND);
  return kInvalidHandle;
}

bool platform_get_scsi_address(Handle handle, SCSI_ADDRESS* address) {
  sim::Port* port = sim::port_of(handle);
  sim::LogEntry& e = sim::log_entry(sim::LogEntry::Kind::GetAddress, path_of(port));
  e.request = bytes_of(*address);
  if (port == nullptr) return fail(ERROR_INVALID_HANDLE);
  if (port->faults.address_error != 0) return fail(port->faults.address_error);
  *address = port->address;
  address->Length = sizeof(SCSI_ADDRESS);
  return true;
}

bool platform_drive_address(const std::u16string& path, SCSI_ADDRESS* address) {
  return drive_address_through_open(path, address);
}

bool platform_scsi_passthrough(Handle handle, ScsiPassThroughRequest* request) {
  sim::Port* port = sim::port_of(handle);
  sim::LogEntry& e = sim::log_entry(sim::LogEntry::Kind::Scsi, path_of(port));
  e.request = bytes_of(*request);
  const SCSI_PASS_THROUGH_DIRECT& h = request->sptd;
  keep_data_out(e, h.DataBuffer, h.DataIn == SCSI_IOCTL_DATA_OUT ? h.DataTransferLength : 0);
  if (port == nullptr) return fail(ERROR_INVALID_HANDLE);
  if (port->faults.scsi_error != 0) return fail(port->faults.scsi_error);
  if (const uint32_t code = scsi_request_error(h); code != 0) return fail(code);
  if (sat::PassThrough pt; sat::parse_ata_passthrough(h.Cdb, h.CdbLength, pt))
    if (const uint32_t code = sim::passthrough_refusal(*port, pt.registers.command); code != 0)
      return fail(code);
  if (port->faults.timeout) return fail(ERROR_SEM_TIMEOUT);
  sim::sat_execute(*port, *request);
  if (port->faults.reported_transfer_length >= 0)
    request->sptd.DataTransferLength = static_cast<uint32_t>(port->faults.reported_transfer_length);
  if (port->faults.reported_sense_length >= 0)
    request->sptd.SenseInfoLength = static_cast<uint8_t>(port->faults.reported_sense_length);
  return true;
}

bool platform_ata_passthrough(Handle handle, ATA_PASS_THROUGH_DIRECT* request,
                              uint32_t* bytes_returned) {
  if (bytes_returned != nullptr) *bytes_returned = 0;
  sim::Port* port = sim::port_of(handle);
  sim::LogEntry& e = sim::log_entry(sim::LogEntry::Kind::Ata, path_of(port));
  e.request = bytes_of(*request);
  const bool out = (request->AtaFlags & ATA_FLAGS_DATA_OUT) != 0;
  keep_data_out(e, request->DataBuffer, out ? request->DataTransferLength : 0);
  if (port == nullptr) return fail(ERROR_INVALID_HANDLE);
  if (port->faults.ata_error != 0) return fail(port->faults.ata_error);
  if (const uint32_t code = ata_request_error(*request); code != 0) return fail(code);
  if (const uint32_t code =
          sim::passthrough_refusal(*port, task_file::decode_input(*request).command);
      code != 0)
    return fail(code);
  if (port->faults.timeout) return fail(ERROR_SEM_TIMEOUT);
  ata_port_execute(*port, *request);
  if (bytes_returned != nullptr) *bytes_returned = sizeof(ATA_PASS_THROUGH_DIRECT);
  return true;
}

bool platform_firmware_get_info(Handle handle, const STORAGE_HW_FIRMWARE_INFO_QUERY& query,
                                void* info, uint32_t size) {
  sim::Port* port = sim::port_of(handle);
  sim::log_entry(sim::LogEntry::Kind::FirmwareInfo, path_of(port)).request = bytes_of(query);
  if (port == nullptr) return fail(ERROR_INVALID_HANDLE);
  const uint32_t code = sim::firmware_get_info(*port, query, info, size);
  return code == 0 || fail(code);
}

bool platform_firmware_download(Handle handle, const void* request, uint32_t size) {
  sim::Port* port = sim::port_of(handle);
  sim::LogEntry& e = sim::log_entry(sim::LogEntry::Kind::FirmwareDownload, path_of(port));
  const auto* bytes = static_cast<const uint8_t*>(request);
  constexpr size_t kHeader = offsetof(STORAGE_HW_FIRMWARE_DOWNLOAD, ImageBuffer);
  if (bytes != nullptr) e.request.assign(bytes, bytes + std::min<size_t>(size, kHeader));
  if (bytes != nullptr && size > kHeader) keep_data_out(e, bytes + kHeader, size - kHeader);
  if (port == nullptr) return fail(ERROR_INVALID_HANDLE);
  const uint32_t code = sim::firmware_download(*port, bytes, size);
  return code == 0 || fail(code);
}

bool platform_firmware_activate(Handle handle, const STORAGE_HW_FIRMWARE_ACTIVATE& request) {
  sim::Port* port = sim::port_of(handle);
  sim::log_entry(sim::LogEntry::Kind::FirmwareActivate, path_of(port)).request = bytes_of(request);
  if (port == nullptr) return fail(ERROR_INVALID_HANDLE);
  const uint32_t code = sim::firmware_activate(*port, request);
  return code == 0 || fail(code);
}

std::vector<std::string> platform_drive_in_use(Handle drive) {
  const sim::Port* port = sim::port_of(drive);
  if (port == nullptr || !port->holds_system_volume) return {};
  return {"the system volume C:"};
}

bool platform_csmi_supported() { return sim::world().csmi_supported; }

Handle platform_open_adapter(const std::u16string& path) {
  sim::log_entry(sim::LogEntry::Kind::OpenAdapter, path);
  const int port = parse_adapter_path(path);
  const int index = port < 0 || !sim::world().csmi_supported ? -1 : find_adapter(port);
  if (index < 0) {
    fail(ERROR_FILE_NOT_FOUND);
    return kInvalidHandle;
  }
  if (const uint32_t code = sim::world().adapters[index].faults.open_error; code != 0) {
    fail(code);
    return kInvalidHandle;
  }
  platform_set_last_error(0);
  return sim::kAdapterHandleBase + index;
}

bool platform_csmi_request(Handle handle, void* buffer, uint32_t size) {
  sim::Adapter* adapter = sim::adapter_of(handle);
  sim::LogEntry& e =
      sim::log_entry(sim::LogEntry::Kind::Csmi, adapter != nullptr ? adapter_path(*adapter) : u"");
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  e.request.assign(bytes, bytes + size);
  if (adapter == nullptr) return fail(ERROR_INVALID_HANDLE);
  if (size < sizeof(SRB_IO_CONTROL)) return fail(ERROR_INVALID_PARAMETER);
  const sim::CsmiCompletion done = sim::answer_csmi(*adapter, buffer, size);
  if (done.os_error != 0) return fail(done.os_error);
  // A request the driver completed leaves the thread's error code as it was, unless a fault
  // says otherwise.
  if (done.last_error != 0) platform_set_last_error(done.last_error);
  return true;
}

bool platform_close(Handle handle) {
  sim::Port* port = sim::port_of(handle);
  const sim::Adapter* adapter = port == nullptr ? sim::adapter_of(handle) : nullptr;
  sim::log_entry(sim::LogEntry::Kind::Close,
                 adapter != nullptr ? adapter_path(*adapter) : path_of(port));
  if (port != nullptr) {
    if (port->faults.close_error != 0) return fail(port->faults.close_error);
    return true;
  }
  if (adapter != nullptr) return true;
  return fail(ERROR_INVALID_HANDLE);
}

bool platform_list_drives(std::vector<PresentedDrive>& drives) {
  const sim::World& w = sim::world();
  if (w.list_drives_error != 0) return fail(w.list_drives_error);
  for (const sim::Port& p : w.ports) drives.push_back({p.path, {}, {}});
  return true;
}
