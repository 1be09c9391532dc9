// Ctrl-C on POSIX systems: SIGINT is blocked in every thread but one, which waits for
// it with sigwait and then runs on_interrupt; from then on a second SIGINT restores the
// console and ends the process at once.
#include <pthread.h>
#include <signal.h>

#include "host/console.h"
#include "host/host.h"

static void interrupt_set(sigset_t *set) {
  sigemptyset(set);
  sigaddset(set, SIGINT);
}

// From now on SIGINT is no longer waited for: it restores the console and ends the
// process, and this thread is the one that takes it.
static void disarm(void) {
  console_exit_on_signal(SIGINT);
  sigset_t set;
  interrupt_set(&set);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

static void *wait_for_interrupt(void *unused) {
  (void)unused;
  sigset_t set;
  interrupt_set(&set);
  int signal_number = 0;
  while (sigwait(&set, &signal_number) != 0) {
  }
  disarm();
  on_interrupt(signal_number);
}

void start_interrupt_thread(void) {
  sigset_t set;
  interrupt_set(&set);
  signal(SIGINT, SIG_DFL);  // a SIGINT ignored by whoever started us would never arrive
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  pthread_t thread;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_create(&thread, &attributes, wait_for_interrupt, nullptr);
  pthread_attr_destroy(&attributes);
}
