// The program's own lines (every message, the transfer progress): as they are on a
// file, a pipe or a terminal that still turns LF into CR LF; on the console made raw,
// each LF comes with its CR, and a message that finds the target's output in mid-line
// starts on a fresh line. Standard output on a terminal is line-buffered, so a line
// goes out as it ends, in order with the screen's writes, as before.
#include <stdarg.h>
#include <stdio.h>

#include "host/console.h"
#include "host/host.h"

static const size_t message_limit = 1024;

static void put_on_raw_screen(FILE *stream, const char *text) {
  if (console_mid_line()) {
    fputs("\r\n", stream);
  }
  for (const char *c = text; *c != '\0'; c++) {
    if (*c == '\n') {
      fputc('\r', stream);
    }
    fputc(*c, stream);
  }
  console_line_started();
}

static void put_message(FILE *stream, const char *format, va_list arguments) {
  if (!console_raw_screen(stream)) {
    vfprintf(stream, format, arguments);
    return;
  }
  char text[message_limit];
  vsnprintf(text, sizeof text, format, arguments);
  put_on_raw_screen(stream, text);
}

void host_message(const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  put_message(stdout, format, arguments);
  va_end(arguments);
}

void host_error(const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  put_message(stderr, format, arguments);
  va_end(arguments);
}
