// Ctrl-C on Windows: a console control handler, which Windows runs on a thread of its
// own, runs on_interrupt; a second Ctrl-C while it runs restores the console and ends
// the process at once, as the default handling would.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <signal.h>

#include <atomic>

#include "host/console.h"
#include "host/host.h"

// The exit status of a process that Ctrl-C ends by default.
#define STATUS_ENDED_BY_CTRL_C 0xC000013Au

static std::atomic<int> interrupted{0};  // control handler threads only

static BOOL WINAPI on_console_control(DWORD control) {
  if (control != CTRL_C_EVENT && control != CTRL_BREAK_EVENT) {
    return FALSE;  // closing the console, logging off: the default handling
  }
  if (interrupted.exchange(1) != 0) {
    console_restore();
    ExitProcess(STATUS_ENDED_BY_CTRL_C);
  }
  on_interrupt(SIGINT);
}

void start_interrupt_thread(void) {
  SetConsoleCtrlHandler(nullptr, FALSE);  // a Ctrl-C ignored by whoever started us counts again
  SetConsoleCtrlHandler(on_console_control, TRUE);
}
