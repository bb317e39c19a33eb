// What every target does when a property does not hold: say which, and stop the process, so
// that libFuzzer keeps the input as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void require(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "\n*** property violated: %s\n", property);
  std::fflush(stderr);
  std::abort();
}
