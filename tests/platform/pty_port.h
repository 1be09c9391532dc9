// Test support for the platform layer's device half: a pseudo-terminal pair whose
// slave side a COM name maps to, and helpers to open the port and drive the far side.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "serial/platform/win32.h"

namespace pty_test {

const DWORD kHang = 10000;  // a bound only a hang reaches

struct PtyPair {
  int master;  // the far side: what the port sends arrives here
  int slave;   // kept open by the test, to read the device's termios
  char path[128];
};

// Points every COM name at a path that does not exist, so that no test reaches a
// real serial port, then COM<com> at a new pseudo-terminal.
inline bool pty_open(PtyPair *pair, int com) {
  char var[24], none[64];
  for (int n = 1; n <= 36; n++) {
    snprintf(var, sizeof var, "TAVO_COM%d", n);
    snprintf(none, sizeof none, "/nonexistent/tavo-com%d", n);
    setenv(var, none, 1);
  }
  if (openpty(&pair->master, &pair->slave, pair->path, nullptr, nullptr) != 0) return false;
  struct termios raw;
  tcgetattr(pair->master, &raw);
  cfmakeraw(&raw);
  tcsetattr(pair->master, TCSANOW, &raw);
  fcntl(pair->master, F_SETFL, fcntl(pair->master, F_GETFL) | O_NONBLOCK);
  snprintf(var, sizeof var, "TAVO_COM%d", com);
  setenv(var, pair->path, 1);
  return true;
}

inline void pty_close(PtyPair *pair) {
  if (pair->master >= 0) close(pair->master);
  if (pair->slave >= 0) close(pair->slave);
  pair->master = pair->slave = -1;
}

inline HANDLE open_com(const char *name) {
  return win32.CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Reads from the far side until n bytes have come or ms have passed; the count read.
inline size_t far_read(const PtyPair *pair, void *buf, size_t n, int ms) {
  size_t got = 0;
  while (got < n) {
    struct pollfd pfd = {pair->master, POLLIN, 0};
    if (poll(&pfd, 1, ms) <= 0) break;
    ssize_t r = read(pair->master, static_cast<char *>(buf) + got, n - got);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

// Reads what the far side has, waiting up to ms for the first byte; the count read.
inline size_t far_read_some(const PtyPair *pair, void *buf, size_t n, int ms) {
  struct pollfd pfd = {pair->master, POLLIN, 0};
  if (poll(&pfd, 1, ms) <= 0) return 0;
  ssize_t r = read(pair->master, buf, n);
  return r > 0 ? static_cast<size_t>(r) : 0;
}

inline bool far_write(const PtyPair *pair, const void *buf, size_t n) {
  return write(pair->master, buf, n) == static_cast<ssize_t>(n);
}

// An overlapped record with a fresh manual-reset event.
inline OVERLAPPED new_overlapped() {
  OVERLAPPED ov;
  memset(&ov, 0, sizeof ov);
  ov.hEvent = win32.CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return ov;
}

inline void set_timeouts(HANDLE h, DWORD interval, DWORD multiplier, DWORD constant) {
  COMMTIMEOUTS t = {interval, multiplier, constant, 0, 0};
  win32.SetCommTimeouts(h, &t);
}

// Waits until the port's input queue holds at least n bytes, on EV_RXCHAR (the mask
// becomes EV_RXCHAR); false if they do not come within kHang.
inline bool wait_received(HANDLE h, DWORD n) {
  win32.SetCommMask(h, EV_RXCHAR);
  OVERLAPPED ov = new_overlapped();
  bool ok = false;
  for (;;) {
    COMSTAT st;
    DWORD errors, word = 0, count;
    if (!win32.ClearCommError(h, &errors, &st)) break;
    if (st.cbInQue >= n) {
      ok = true;
      break;
    }
    if (!win32.WaitCommEvent(h, &word, &ov) && win32.GetLastError() == ERROR_IO_PENDING &&
        win32.WaitForSingleObject(ov.hEvent, kHang) != WAIT_OBJECT_0) {
      win32.SetCommMask(h, 0);
      break;
    }
    win32.GetOverlappedResult(h, &ov, &count, TRUE);
  }
  win32.CloseHandle(ov.hEvent);
  return ok;
}

}  // namespace pty_test
