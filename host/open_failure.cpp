// What the user sees after "Unable to open COM%d at %ld baud": one line on standard
// error with the reason in the user's terms and what to do about it. The port number
// and the baud rate are judged here; the device's reasons per platform.
#include <stdio.h>

#include "host/device.h"
#include "host/host.h"

const char *download_kind(void) {
  return binary_mode ? "binary records (/B), each acknowledged by the board"
                     : "text, each character checked against its echo";
}

static void explain_baud(int32_t baud) {
  char rates[128];
  size_t used = 0;
  for (size_t i = 0; i < sizeof baud_rates / sizeof baud_rates[0]; i++) {
    used += (size_t)snprintf(rates + used, sizeof rates - used, "%s%ld", i == 0 ? "" : ", ",
                             (long)baud_rates[i]);
  }
  host_error("tavo: %ld baud is not offered; the rates are %s\n", (long)baud, rates);
}

void explain_refusal(int port_number, int32_t baud) {
  if (link_refusal == LINK_BAD_PORT) {
    host_error("tavo: COM%d is not a port tavo opens; give COM1: to COM4:, or a device path "
               "(tavo /dev/ttyUSB0 115200)\n", port_number);
  } else if (link_refusal == LINK_BAD_BAUD) {
    explain_baud(baud);
  } else {
    explain_device_refusal(port_number, link_refusal);
  }
}
