// Which device a COM port leads to on Windows (the system's own COMn), and why it
// could not be opened, told from the library's reason.
#include <stdio.h>

#include "host/device.h"
#include "host/host.h"
#include "serial/sio.h"

// Device paths are a POSIX matter: on Windows the port is COMn itself.
int bind_port_device(int port_number, const char *device) {
  (void)port_number;
  host_error("tavo: %s: give the port as COM1: to COM4: on Windows\n", device);
  return 0;
}

void describe_device(int port_number) {
  host_message("Device \\\\.\\COM%d; downloads go as %s\n", port_number, download_kind());
}

void explain_device_refusal(int port_number, int reason) {
  const char *why = "could not be opened";
  switch (reason) {
  case SIO_ERR_NO_DEVICE:
    why = "no such port; Device Manager lists the COM ports of this machine";
    break;
  case SIO_ERR_ACCESS_DENIED:
  case SIO_ERR_BUSY:
    why = "in use by another program (or access denied); end that program or choose another port";
    break;
  case SIO_ERR_NOT_SERIAL:
    why = "not a serial port";
    break;
  default:
    break;
  }
  host_error("tavo: COM%d: %s\n", port_number, why);
}
