// Ending the program: on_interrupt, which Ctrl-C runs on a thread of its own, closes
// the port and ends with status 1; end_program lets only one thread end the process.
#include <stdio.h>
#include <stdlib.h>

#include <mutex>

#include "host/console.h"
#include "host/host.h"

static std::mutex ending;  // the first end_program call holds it until the process is gone

// Streams are flushed and the console restored by hand, and the process ends without
// running static destructors: after an EOT the port is still open and the library's
// threads still run, and must not meet destroyed library or platform state.
void end_program(int status) {
  ending.lock();
  fflush(nullptr);
  console_restore();
  _Exit(status);
}

void on_interrupt(int signal_number) {
  (void)signal_number;
  host_message("QUITTING\n");
  fflush(stdout);
  close_link_for_good();
  end_program(1);
}
