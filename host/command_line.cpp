// The command line: port, baud rate, /B, a device path or network address, --help and
// --list, each argument judged by its first characters; the 16-bit baud fix-up; the
// banner.
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "host/host.h"

int binary_mode = 0;

static const int default_port_number = 2;
static const int32_t default_baud = 9600;

static int upper(char c) {
  return toupper((unsigned char)c);
}

// Only the character after "COM" counts: COM10 is COM1, and COM alone is '\0' - '0'.
static int port_from(const char *argument) {
  return argument[3] - '0';
}

// The leading decimal digits, wrapping modulo 2^32 as a 32-bit register does.
static int32_t baud_from(const char *argument) {
  uint32_t value = 0;
  for (const char *p = argument; *p >= '0' && *p <= '9'; p++) {
    value = value * 10u + (uint32_t)(*p - '0');
  }
  return (int32_t)value;
}

static void print_syntax(const char *program) {
  printf("Syntax is %s [COMn:] [baudrate]\n", program);
  printf("      eg: %s COM1: 9600\n", program);
}

static void print_help(const char *program) {
  print_syntax(program);
  printf("\n"
         "  COMn:         the port, COM1: to COM4: (default COM2:)\n"
         "  baudrate      1200, 2400, 4800, 9600 (default), 19200, 38400, 76800 or 115200\n"
         "  /B            downloads as binary records instead of text with an echo check\n"
         "  /dev/...      the port's device for this run, such as /dev/ttyUSB0 or a\n"
         "                /dev/serial/by-id/ link (it stands in for TAVO_COM<n> of the port)\n"
         "  rfc2217://HOST:PORT, tcp://HOST:PORT\n"
         "                a port on a serial server (ser2net), the same way\n"
         "  TAVO_COM<n>   environment variable naming the device (or server) of COMn\n"
         "                (default /dev/ttyS<n-1>)\n"
         "  --list        the serial devices of this machine and the COM port of each\n"
         "  --help        this text\n"
         "\n"
         "Ctrl-C quits. More in man tavo and in README.md of TAVO's sources.\n");
}

// A path: '/', then anything but B or b (that is /B), and another '/' further on.
static int is_device_path(const char *argument) {
  return argument[0] == '/' && upper(argument[1]) != 'B' && strchr(argument + 1, '/') != nullptr;
}

static int is_network_address(const char *argument) {
  return strstr(argument, "://") != nullptr;
}

// A device (or a network port) given by name.
static int take_device(const char *argument, CommandLine *line) {
  line->device = argument;
  return 1;
}

// 1 when the argument is understood (and applied), 0 when it matches no rule.
static int apply_argument(const char *argument, CommandLine *line) {
  if (upper(argument[0]) == 'D') {
    return 1;  // accepted and ignored
  }
  if (upper(argument[0]) == 'C' && upper(argument[1]) == 'O' && upper(argument[2]) == 'M') {
    line->port_number = port_from(argument);
    return 1;
  }
  if (argument[0] >= '0' && argument[0] <= '9') {
    line->baud = baud_from(argument);
    return 1;
  }
  if (argument[0] == '/' && upper(argument[1]) == 'B') {
    binary_mode = 1;
    return 1;
  }
  if (is_network_address(argument) || is_device_path(argument)) {
    return take_device(argument, line);
  }
  return 0;
}

int parse_command_line(int argc, char **argv, CommandLine *line) {
  const char *program = argv[0] != nullptr ? argv[0] : "tavo";
  line->port_number = default_port_number;
  line->baud = default_baud;
  line->device = nullptr;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--help") == 0) {
      print_help(program);
      return 0;
    }
    if (strcmp(argv[i], "--list") == 0) {
      list_serial_ports();
      return 0;
    }
    if (!apply_argument(argv[i], line)) {
      print_syntax(program);
      return 0;
    }
  }
  return 1;
}

// 38400, 115200 and 76800 as they read when wrapped to 16 bits.
int32_t fix_up_baud(int32_t baud) {
  switch (baud) {
  case -27136:
    return 38400;
  case -15872:
    return 115200;
  case 11264:
    return 76800;
  default:
    return baud;
  }
}

void print_banner(void) {
  host_message("TAVO version 6.0. Terminal to the target's ROM monitor: keys go to the board, "
         "its output shows here; Ctrl-C quits.\n");
}
