// The command line: port, baud rate and /B, each argument judged by its first
// characters; the 16-bit baud fix-up; the banner.
#include <ctype.h>
#include <stdio.h>

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
  return 0;
}

int parse_command_line(int argc, char **argv, CommandLine *line) {
  line->port_number = default_port_number;
  line->baud = default_baud;
  for (int i = 1; i < argc; i++) {
    if (!apply_argument(argv[i], line)) {
      print_syntax(argv[0] != nullptr ? argv[0] : "tavo");
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
  printf("TAVO version 6.0. Terminal to the target's ROM monitor: keys go to the board, "
         "its output shows here; Ctrl-C quits.\n");
}
