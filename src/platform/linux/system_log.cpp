// The system log on Linux: syslog(3), which journald and every syslog daemon take in.
#include <syslog.h>

#include "platform/host.h"
#include "platform/text.h"

bool platform_system_log(bool success, const LogFields& fields) {
  const std::string line = log_line(fields);
  // The tool opens no other log, so the ident is set and dropped around this one record.
  openlog("quillmark", LOG_PID, LOG_USER);
  syslog(success ? LOG_NOTICE : LOG_ERR, "%s", line.c_str());
  closelog();
  // syslog(3) reports nothing: a missing daemon loses the record without a word.
  return true;
}
