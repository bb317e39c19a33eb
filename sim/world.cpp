#include "sim/world.h"

namespace sim {

World& world() {
  static World w;
  return w;
}

void reset_world() { world() = World{}; }

void note_firmware_change() {
  if (world().on_firmware_change) world().on_firmware_change();
}

LogEntry& log_entry(LogEntry::Kind kind, std::u16string_view path) {
  static LogEntry scratch;
  World& w = world();
  if (kind == LogEntry::Kind::Scsi || kind == LogEntry::Kind::Ata || kind == LogEntry::Kind::Csmi) {
    // The request itself goes on as planned: an interrupt never cuts one in half.
    if (++w.requests == w.interrupt_at_request) w.interrupted = true;
  }
  LogEntry& e = w.keep_log ? w.log.emplace_back() : (scratch = LogEntry{});
  e.kind = kind;
  // Nobody reads the scratch entry's path; copying it would cost an allocation per request.
  if (w.keep_log) e.path.assign(path);
  return e;
}

namespace {

template <typename T>
T* by_handle(std::vector<T>& items, std::intptr_t handle, std::intptr_t base) {
  const std::intptr_t index = handle - base;
  if (index < 0 || index >= kHandleRange || index >= static_cast<std::intptr_t>(items.size()))
    return nullptr;
  return &items[static_cast<size_t>(index)];
}

}  // namespace

Port* port_of(std::intptr_t handle) { return by_handle(world().ports, handle, kPortHandleBase); }

Adapter* adapter_of(std::intptr_t handle) {
  return by_handle(world().adapters, handle, kAdapterHandleBase);
}

Port& add_port(const std::u16string& path) {
  Port p;
  p.path = path;
  world().ports.push_back(std::move(p));
  return world().ports.back();
}

Adapter& add_adapter(int port) {
  Adapter a;
  a.port = port;
  world().adapters.push_back(std::move(a));
  return world().adapters.back();
}

Port* find_port(const std::u16string& path) {
  for (auto& p : world().ports)
    if (p.path == path) return &p;
  return nullptr;
}

void set_driver(Adapter& adapter, const char* name, const char* description,
                DriverVersion version) {
  CSMI_SAS_DRIVER_INFO& d = adapter.driver_info;
  set_csmi_text(d.szName, name);
  set_csmi_text(d.szDescription, description);
  d.usMajorRevision = version.major;
  d.usMinorRevision = version.minor;
  d.usBuildRevision = version.build;
  d.usReleaseRevision = version.release;
  d.usCSMIMajorRevision = 0;
  d.usCSMIMinorRevision = 90;
}

}  // namespace sim
