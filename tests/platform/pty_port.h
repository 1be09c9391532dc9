// Test support for the platform layer: COM2 open on a pseudo-terminal whose far side
// the test drives, with two overlapped records and helpers for waits and queues.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "serial/platform/win32.h"

const DWORD kHang = 10000;  // a bound only a hang reaches

class PtyPort : public ::testing::Test {
 protected:
  // The other COM names lead nowhere (the start-up guard of every test program).
  void SetUp() override {
    struct termios raw;
    ASSERT_EQ(openpty(&master, &slave, path, nullptr, nullptr), 0);
    setenv("TAVO_COM2", path, 1);
    tcgetattr(master, &raw);
    cfmakeraw(&raw);
    ASSERT_TRUE(tcsetattr(master, TCSANOW, &raw) == 0 && fcntl(master, F_SETFL, O_NONBLOCK) == 0);
    h = open_com("COM2");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << "error " << win32.GetLastError();
    set_timeouts(MAXDWORD, 0, 0);
    ov.hEvent = win32.CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ov2.hEvent = win32.CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  void TearDown() override {
    close_port();
    win32.CloseHandle(ov.hEvent);
    win32.CloseHandle(ov2.hEvent);
    if (master >= 0) close(master);
    close(slave);
  }
  HANDLE open_com(const char *name) {
    return win32.CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                             nullptr);
  }
  void set_timeouts(DWORD interval, DWORD multiplier, DWORD constant) {
    COMMTIMEOUTS t = {interval, multiplier, constant, 0, 0};
    win32.SetCommTimeouts(h, &t);
  }
  // The port's queue counts; MAXDWORD in both when ClearCommError fails.
  COMSTAT queues() {
    COMSTAT st;
    DWORD errors;
    if (!win32.ClearCommError(h, &errors, &st)) st.cbInQue = st.cbOutQue = MAXDWORD;
    return st;
  }
  void close_port() {
    if (h != INVALID_HANDLE_VALUE) win32.CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
  }
  // Reads at the far side until n bytes have come or nothing came for ms; the count.
  size_t far_read(void *buf, size_t n, int ms) {
    size_t got = 0;
    struct pollfd pfd = {master, POLLIN, 0};
    for (ssize_t r = 1; got < n && r > 0 && poll(&pfd, 1, ms) > 0;)
      if ((r = read(master, static_cast<char *>(buf) + got, n - got)) > 0) got += size_t(r);
    return got;
  }
  bool far_write(const std::string &bytes) {
    return write(master, bytes.data(), bytes.size()) == ssize_t(bytes.size());
  }
  // Starts a WaitCommEvent on `ov`; true when it is pending.
  bool start_wait() {
    word = 0xDEAD;
    return !win32.WaitCommEvent(h, &word, &ov) && win32.GetLastError() == ERROR_IO_PENDING;
  }
  // The event word of the wait once it ends; 0xEEEEEEEE when it does not end within
  // ms, 0xFFFFFFFF when it ends with an error.
  DWORD finish_wait(DWORD ms = kHang) {
    DWORD n;
    if (win32.WaitForSingleObject(ov.hEvent, ms) != WAIT_OBJECT_0) return 0xEEEEEEEE;
    return win32.GetOverlappedResult(h, &ov, &n, FALSE) ? word : 0xFFFFFFFF;
  }
  // Waits on EV_RXCHAR (the mask stays so) until the input queue holds n bytes.
  bool wait_received(DWORD n) {
    win32.SetCommMask(h, EV_RXCHAR);
    for (DWORD have; (have = queues().cbInQue) < n;)
      if (have == MAXDWORD || (start_wait() && finish_wait() == 0xEEEEEEEE)) return false;
    return true;
  }
  int master = -1, slave = -1;  // master: the far side; slave: to read the device's termios
  char path[128];
  HANDLE h = INVALID_HANDLE_VALUE;
  OVERLAPPED ov = {}, ov2 = {};  // ov2: a request beside the one on ov
  DWORD word = 0;
};
