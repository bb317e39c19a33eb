// The operator's interrupt on Windows: Ctrl-C, Ctrl-Break and the console's close event. The
// handler runs on a thread of its own while the main thread carries on: the first event only
// sets the flag (and the event a pause waits on); the second is left to the default handler,
// which ends the process at once.
#include "platform/windows/win_interrupt.h"

namespace {

volatile LONG g_interrupted = 0;
HANDLE g_event = nullptr;

BOOL WINAPI on_console_event(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
  if (InterlockedExchange(&g_interrupted, 1) != 0) return FALSE;
  if (g_event != nullptr) SetEvent(g_event);
  // The process ends as soon as the handler of a close event returns. Holding on gives the
  // main thread the seconds the system allows to finish the command in flight and say where
  // the run stopped; the process's own exit ends this thread.
  if (type == CTRL_CLOSE_EVENT) Sleep(INFINITE);
  return TRUE;
}

}  // namespace

HANDLE win_interrupt_event() { return g_event; }

void platform_install_interrupt_handler() {
  if (g_event == nullptr) g_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool platform_interrupted() { return InterlockedCompareExchange(&g_interrupted, 0, 0) != 0; }
