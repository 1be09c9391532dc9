// The device path behind COMn on Windows, and the wait for its return: Windows has no
// folder to watch for a COM port, so the port is tried again every few hundred
// milliseconds (a key typed meanwhile ends the wait early, to be dropped).
#include <stdio.h>

#include "host/console.h"
#include "host/host.h"

static const int retry_ms = 250;

const char *link_device_path(int port_number) {
  static char path[32];
  snprintf(path, sizeof path, "\\\\.\\COM%d", port_number);
  return path;
}

void link_watch_begin(LinkWatch *watch, const char *path) {
  (void)path;
  watch->fd = -1;
}

void link_watch_wait(LinkWatch *watch) {
  console_wait_until(1, watch->fd, retry_ms);
}

void link_watch_end(LinkWatch *watch) {
  watch->fd = -1;
}
