// A second process that holds something (a lock, a socket name) for a test, as another run
// would: POSIX only.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

// Forks a child that runs take() and, when that returns true, keeps what it took until
// end_holder. Its process id, or -1 when it could not take it.
template <typename Take>
pid_t start_holder(Take take) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t child = fork();
  if (child == 0) {
    if (!take() || write(ready[1], "x", 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char byte = 0;
  const bool up = child > 0 && read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  return up ? child : -1;
}

inline void end_holder(pid_t holder) {
  if (holder <= 0) return;
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
}
