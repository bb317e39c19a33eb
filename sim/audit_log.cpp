// The simulated system log: the record goes to the file QUILLMARK_SIM_AUDIT_LOG names, when
// set, one line per record as the Linux log has it, and into the world for the tests.
#include <cstdio>
#include <cstdlib>

#include "platform/host.h"
#include "platform/text.h"
#include "sim/world.h"

bool platform_system_log(bool success, const LogFields& fields) {
  const std::string line = std::string(success ? "info " : "error ") + log_line(fields);
  sim::world().system_log.push_back(line);
  const char* path = std::getenv("QUILLMARK_SIM_AUDIT_LOG");
  if (path == nullptr || *path == '\0') return true;
  std::FILE* f = std::fopen(path, "ab");
  if (f == nullptr) return false;
  const bool written = std::fprintf(f, "%s\n", line.c_str()) > 0;
  return std::fclose(f) == 0 && written;
}
