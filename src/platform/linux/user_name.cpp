// The user a run is for: the real user's account name, and under sudo the account that asked.
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/host.h"

std::string platform_user_name() {
  std::string name;
  char buffer[1024];
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
    name = found->pw_name;
  else
    name = "uid " + std::to_string(getuid());
  const char* asked = std::getenv("SUDO_USER");
  if (asked != nullptr && *asked != '\0' && name != asked)
    name += " (sudo from " + std::string(asked) + ")";
  return name;
}
