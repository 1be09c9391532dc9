// Ctrl-C and the other ending signals on POSIX systems: SIGINT, SIGTERM, SIGHUP and
// SIGQUIT are blocked in every thread but one, which waits for them with sigwait and
// then runs on_interrupt (SIGINT) or on_ending_signal; from then on a second one
// restores the console and ends the process at once.
#include <pthread.h>
#include <signal.h>

#include "host/console.h"
#include "host/host.h"

static const int ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The signals waited for; written before the thread starts, then only read.
static sigset_t waited;

// A signal other than SIGINT that was ignored when the program started (nohup) stays
// ignored; SIGINT always counts, since Ctrl-C is how tavo ends.
static void choose_signals(void) {
  sigemptyset(&waited);
  for (int signal_number : ending_signals) {
    struct sigaction found;
    if (signal_number != SIGINT && sigaction(signal_number, nullptr, &found) == 0 &&
        found.sa_handler == SIG_IGN) {
      continue;
    }
    sigaddset(&waited, signal_number);
  }
}

// From now on these signals are no longer waited for: they restore the console and
// end the process, and this thread is the one that takes them.
static void disarm(void) {
  for (int signal_number : ending_signals) {
    if (sigismember(&waited, signal_number)) {
      console_exit_on_signal(signal_number);
    }
  }
  pthread_sigmask(SIG_UNBLOCK, &waited, nullptr);
}

static void *wait_for_interrupt(void *unused) {
  (void)unused;
  int signal_number = 0;
  while (sigwait(&waited, &signal_number) != 0) {
  }
  disarm();
  if (signal_number == SIGINT) {
    on_interrupt(signal_number);
  }
  on_ending_signal(signal_number);
}

void start_interrupt_thread(void) {
  signal(SIGINT, SIG_DFL);  // a SIGINT ignored by whoever started us would never arrive
  choose_signals();
  pthread_sigmask(SIG_BLOCK, &waited, nullptr);
  pthread_t thread;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_create(&thread, &attributes, wait_for_interrupt, nullptr);
  pthread_attr_destroy(&attributes);
}
