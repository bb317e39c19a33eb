// One run per drive on Windows: a named mutex in the Global\ namespace, named after the drive
// (its SCSI address, or its adapter and SAS address), so that every session on the machine
// meets it. The system releases the mutex when the process ends however it ends; an abandoned
// mutex is free. Beside it, a small named mapping holds the holder's process id for the run
// that finds the drive taken.
#include <string>

#include "platform/platform.h"
#include "platform/text.h"

namespace {

struct Claim {
  HANDLE mutex;
  HANDLE holder;  // the mapping with the holder's process id, or null
};

std::u16string object_name(std::string_view key, const char* what) {
  return u"Global\\Quillmark-" + utf8_to_utf16(what) + u"-" + utf8_to_utf16(key);
}

LPCWSTR wide(const std::u16string& text) { return reinterpret_cast<LPCWSTR>(text.c_str()); }

HANDLE publish_holder(const std::u16string& name) {
  HANDLE map = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(DWORD),
                                  wide(name));
  if (map == nullptr) return nullptr;
  if (void* view = MapViewOfFile(map, FILE_MAP_WRITE, 0, 0, sizeof(DWORD))) {
    *static_cast<volatile DWORD*>(view) = GetCurrentProcessId();
    UnmapViewOfFile(view);
  }
  return map;
}

uint32_t read_holder(const std::u16string& name) {
  HANDLE map = OpenFileMappingW(FILE_MAP_READ, FALSE, wide(name));
  if (map == nullptr) return 0;
  uint32_t pid = 0;
  if (void* view = MapViewOfFile(map, FILE_MAP_READ, 0, 0, sizeof(DWORD))) {
    pid = *static_cast<volatile DWORD*>(view);
    UnmapViewOfFile(view);
  }
  CloseHandle(map);
  return pid;
}

}  // namespace

DriveClaim platform_claim_drive(std::string_view key, uint32_t wait_ms) {
  DriveClaim c;
  const DWORD saved_error = GetLastError();
  HANDLE mutex = CreateMutexW(nullptr, FALSE, wide(object_name(key, "drive")));
  if (mutex == nullptr) {
    c.reason = "CreateMutexW error " + std::to_string(GetLastError());
    SetLastError(saved_error);
    return c;
  }
  const DWORD waited = WaitForSingleObject(mutex, wait_ms);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    c.outcome = ClaimOutcome::Claimed;
    c.handle =
        reinterpret_cast<Handle>(new Claim{mutex, publish_holder(object_name(key, "holder"))});
  } else if (waited == WAIT_TIMEOUT) {
    c.outcome = ClaimOutcome::Busy;
    c.holder_pid = read_holder(object_name(key, "holder"));
    CloseHandle(mutex);
  } else {
    c.reason = "WaitForSingleObject error " + std::to_string(GetLastError());
    CloseHandle(mutex);
  }
  // The claim is no system call of the drive's: the error the transports read stays theirs.
  SetLastError(saved_error);
  return c;
}

void platform_release_drive(Handle claim) {
  auto* c = reinterpret_cast<Claim*>(claim);
  if (c == nullptr) return;
  ReleaseMutex(c->mutex);
  CloseHandle(c->mutex);
  if (c->holder != nullptr) CloseHandle(c->holder);
  delete c;
}
