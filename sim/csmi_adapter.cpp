// Placeholder until the simulated CSMI adapters land: no adapter opens.
#include "platform/platform.h"
#include "sim/world.h"

Handle platform_open_adapter(const std::u16string&) {
  sim::world().last_error = ERROR_FILE_NOT_FOUND;
  return kInvalidHandle;
}

bool platform_csmi_request(Handle, void*, uint32_t) {
  sim::world().last_error = ERROR_INVALID_FUNCTION;
  return false;
}
