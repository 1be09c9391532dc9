// The tavo program: read the command line, open the port, greet, and run the terminal
// until Ctrl-C (or an EOT during a binary download) ends the process.
#include <stdio.h>

#include "host/console.h"
#include "host/host.h"

int main(int argc, char **argv) {
  CommandLine line;
  if (!parse_command_line(argc, argv, &line)) {
    return 0;
  }
  if (line.device != nullptr && !bind_port_device(line.port_number, line.device)) {
    return 0;
  }
  start_interrupt_thread();
  console_open();
  int32_t baud = fix_up_baud(line.baud);
  if (!open_link(line.port_number, baud)) {
    host_message("Unable to open COM%d at %ld baud\n", line.port_number, (long)baud);
    fflush(stdout);
    explain_refusal(line.port_number, baud);
    end_program(0);  // rather than a return: a Ctrl-C now may be ending the process too
  }
  print_banner();
  host_message("Using COM%d at %ld baud\n", line.port_number, (long)baud);
  describe_device(line.port_number);
  fflush(stdout);
  console_raw_output();
  main_loop();
}
