// A lost link seen from tavo: saying that the port is lost, waiting for its device
// to come back (keys typed meanwhile are dropped) and reopening it with the same
// settings.
#include <stdio.h>

#include "host/console.h"
#include "host/host.h"

// Main thread only: whether this loss has been announced, and the keys it dropped.
static int loss_announced = 0;
static int keys_dropped = 0;

void link_announce_loss(void) {
  if (loss_announced) {
    return;
  }
  loss_announced = 1;
  int number = link_port_number();
  host_message("COM%d (%s) is lost: waiting for it to come back (Ctrl-C quits)\n", number,
               link_device_path(number));
}

// Keys typed while the port is lost are meant for a board that has gone: they are
// read and dropped, and the first one says so.
static void drop_keys(void) {
  while (console_key_waiting()) {
    console_read_key();
    if (!keys_dropped) {
      keys_dropped = 1;
      host_message("Keys typed while COM%d is lost are not sent\n", link_port_number());
    }
  }
}

// One look at the device path: 1 once the port is open again. The flag comes down
// first, so that a loss of the new port is not lost with it.
static int try_reopen(void) {
  link_lost.store(0, std::memory_order_seq_cst);
  if (reopen_link()) {
    return 1;
  }
  link_lost.store(1, std::memory_order_seq_cst);
  return 0;
}

void await_link_return(void) {
  link_announce_loss();
  close_link();  // the lost port's threads end, its device handle goes
  const char *path = link_device_path(link_port_number());
  for (;;) {
    drop_keys();
    LinkWatch watch;
    link_watch_begin(&watch, path);
    int back = try_reopen();
    if (!back) {
      link_watch_wait(&watch);
    }
    link_watch_end(&watch);
    if (back) {
      break;
    }
  }
  loss_announced = 0;
  keys_dropped = 0;
  int number = link_port_number();
  host_message("COM%d (%s) is back: reopened at %ld baud\n", number, path, (long)link_baud());
}
