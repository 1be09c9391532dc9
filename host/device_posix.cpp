// Which device a COM port leads to on POSIX systems, as the library opens it
// (TAVO_COM<n>, else /dev/ttyS<n-1>): a device named on the command line bound to the
// port, and the line after "Using" that names the device.
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host/device.h"
#include "host/host.h"

int port_variable(int port_number, char *name, size_t size) {
  snprintf(name, size, "TAVO_COM%d", port_number);
  const char *value = getenv(name);
  return value != nullptr && value[0] != '\0';
}

int port_device(int port_number, char *path, size_t size) {
  char variable[32];
  if (port_variable(port_number, variable, sizeof variable)) {
    snprintf(path, size, "%s", getenv(variable));
    return 1;
  }
  snprintf(path, size, "/dev/ttyS%d", port_number - 1);
  return 0;
}

// The port whose device the command line named, 0 for none (main thread, at start-up).
static int bound_port = 0;

// The port's device is whatever TAVO_COM<n> names, so the library opens the device
// given, and "Using COMn" stays true.
int bind_port_device(int port_number, const char *device) {
  char variable[32];
  if (port_number >= 1 && port_number <= 36) {
    port_variable(port_number, variable, sizeof variable);
    setenv(variable, device, 1);
    bound_port = port_number;
  }
  return 1;
}

int port_device_from_command_line(int port_number) { return port_number == bound_port; }

void describe_device(int port_number) {
  char path[PATH_MAX], target[PATH_MAX], source[48];
  int from_variable = port_device(port_number, path, sizeof path);
  if (port_device_from_command_line(port_number)) {
    snprintf(source, sizeof source, "from the command line");
  } else if (from_variable) {
    port_variable(port_number, source, sizeof source);
  } else {
    snprintf(source, sizeof source, "the default for COM%d", port_number);
  }
  const char *resolved = realpath(path, target);
  int link = resolved != nullptr && strcmp(resolved, path) != 0;
  host_message("Device %s%s%s (%s); downloads go as %s\n", path, link ? " = " : "",
               link ? resolved : "", source, download_kind());
}
