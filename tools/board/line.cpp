// The board's end of the line: byte reads with time-outs, writes that never block the
// board for good, and the monitor's text with CR LF line ends.
#include "board.h"

#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

// Used by the monitor thread only.
int master = -1;
int stop = -1;
FILE *log_file;
uint8_t buffer[512];
size_t buffered, taken;
bool stopped;

// Waits for `events` on the master or for the stop pipe; false once stopped.
bool wait_master(short events, int timeout_ms, bool *ready) {
  struct pollfd fds[2] = {{master, events, 0}, {stop, POLLIN, 0}};
  for (;;) {
    int n = poll(fds, 2, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || fds[1].revents) {
      stopped = true;
      return false;
    }
    *ready = n > 0;
    return true;
  }
}

}  // namespace

void line_attach(int master_fd, int stop_fd, FILE *log) {
  master = master_fd;
  stop = stop_fd;
  log_file = log;
}

bool line_stopped(void) { return stopped; }

int line_get(int timeout_ms) {
  while (taken == buffered) {
    bool ready;
    if (stopped || !wait_master(POLLIN, timeout_ms, &ready)) return LINE_STOPPED;
    if (!ready) return LINE_TIMEOUT;
    ssize_t n = read(master, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      // The slave side is gone for good (we hold it open, so this is unexpected).
      stopped = true;
      return LINE_STOPPED;
    }
    buffered = (size_t)n;
    taken = 0;
  }
  return buffer[taken++];
}

void line_put(const void *bytes, size_t length) {
  const uint8_t *at = (const uint8_t *)bytes;
  while (length > 0 && !stopped) {
    bool ready;
    if (!wait_master(POLLOUT, -1, &ready)) return;
    ssize_t n = write(master, at, length);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) {
      stopped = true;
      return;
    }
    at += n;
    length -= (size_t)n;
  }
}

void line_put_byte(uint8_t byte) { line_put(&byte, 1); }

void line_say(const char *format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (log_file) {
    fputs(text, log_file);
    fflush(log_file);
  }
  char out[2 * sizeof text];
  size_t n = 0;
  for (const char *c = text; *c; c++) {
    if (*c == '\n') out[n++] = '\r';
    out[n++] = *c;
  }
  line_put(out, n);
}

void line_log(const char *format, ...) {
  if (!log_file) return;
  va_list args;
  va_start(args, format);
  vfprintf(log_file, format, args);
  va_end(args);
  fflush(log_file);
}
