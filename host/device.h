// The device behind a port number and what is said about it: shared by the host's
// start-up messages, the reasons of a refused open and --list.
#pragma once

#include <stddef.h>

// The device path COMn leads to (TAVO_COM<n>, else /dev/ttyS<n-1>) into path; 1 when
// it came from the variable. POSIX systems only.
int port_device(int port_number, char *path, size_t size);
// Whether the command line named the device of COMn (it then stands in TAVO_COM<n>).
int port_device_from_command_line(int port_number);
// The variable's name (TAVO_COM<n>) into name; 1 when it is set and not empty.
int port_variable(int port_number, char *name, size_t size);

// How downloads go: "text, ..." or "binary records ...", by binary_mode.
const char *download_kind(void);

// One line on standard error on why the library could not open the device of COMn
// (reason: SIO_ERR_NO_DEVICE and the rest, SIO_FAILED when unknown). Per platform.
void explain_device_refusal(int port_number, int reason);
