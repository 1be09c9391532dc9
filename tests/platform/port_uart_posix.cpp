// The POSIX port on the fake UART, where a pseudo-terminal cannot show it: waits that
// the mask filters, the immediate character on a full line, low latency; and the exclusive open
// against an ordinary user's open, on a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "fakeuart/fake_uart.h"
#include "serial/platform/win32.h"
#include "serial/support.h"

namespace {

const DWORD kHang = 10000;  // a bound only a hang reaches
const char kPath[] = "/nonexistent/tavo-test/fake-uart";

class UartPort : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TAVO_COM3", kPath, 1);
    u = fake_uart_attach(kPath);
    h = win32.CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << "error " << win32.GetLastError();
    ov.hEvent = win32.CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  void TearDown() override {
    if (h != INVALID_HANDLE_VALUE) win32.CloseHandle(h);
    win32.CloseHandle(ov.hEvent);
    fake_uart_reset_all();
  }
  bool set_dcb(void (*change)(DCB *dcb)) {
    DCB dcb;
    return win32.GetCommState(h, &dcb) && (change(&dcb), win32.SetCommState(h, &dcb));
  }
  FakeUart *u = nullptr;
  HANDLE h = INVALID_HANDLE_VALUE;
  OVERLAPPED ov = {};
};

// Each row waits on a mask, brings events the mask leaves out, and sees the wait still
// pending once the layer has taken them in; the masked event then ends it, alone.
TEST_F(UartPort, AWaitEndsOnlyOnMaskedEvents) {
  using Act = std::function<void(FakeUart *)>;
  auto line = [](int bit, bool up) { return Act([=](FakeUart *f) { fake_uart_set_line(f, bit, up); }); };
  auto error = [](FakeLineError kind) { return Act([=](FakeUart *f) { fake_uart_line_error(f, kind); }); };
  auto bytes = Act([](FakeUart *f) { fake_uart_receive(f, "ab"); });
  struct Row { const char *what; DWORD mask; Act left_out; bool seen_by_modem_thread; Act masked; DWORD word; } rows[] = {
      {"CTS waited for; DSR comes", EV_CTS, line(TIOCM_DSR, true), true, line(TIOCM_CTS, true), EV_CTS},
      {"carrier waited for; CTS goes", EV_RLSD, line(TIOCM_CTS, false), true, line(TIOCM_CD, true), EV_RLSD},
      {"a ring waited for; bytes come", EV_RING, bytes, false, line(TIOCM_RNG, false), EV_RING},
      {"bytes waited for; CTS comes", EV_RXCHAR | EV_DSR, line(TIOCM_CTS, true), true, bytes, EV_RXCHAR},
      {"errors waited for; bytes come", EV_ERR, bytes, false, error(FAKE_PARITY), EV_ERR},
      {"a break waited for; a framing error comes", EV_BREAK, error(FAKE_FRAMING), false, error(FAKE_BREAK), EV_BREAK},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    // A ring is counted as it ends; its start is seen (ClearCommError) before the wait.
    if (row.mask & EV_RING) fake_uart_set_line(u, TIOCM_RNG, true), win32.ClearCommError(h, nullptr, nullptr);
    DWORD word = 0;
    ASSERT_TRUE(win32.SetCommMask(h, row.mask));
    ASSERT_TRUE(!win32.WaitCommEvent(h, &word, &ov) && win32.GetLastError() == ERROR_IO_PENDING);
    unsigned waits = fake_uart_ioctl_count(u, TIOCMIWAIT);
    COMSTAT before, st;
    ASSERT_TRUE(win32.ClearCommError(h, nullptr, &before));
    row.left_out(u);
    // Taken in: the modem thread waits again, or the bytes are in the input queue.
    EXPECT_TRUE(row.seen_by_modem_thread
                    ? wait_until([&] { return fake_uart_ioctl_count(u, TIOCMIWAIT) > waits; })
                    : wait_until([&] { return win32.ClearCommError(h, nullptr, &st) && st.cbInQue > before.cbInQue; }));
    EXPECT_EQ(win32.WaitForSingleObject(ov.hEvent, 0), WAIT_TIMEOUT) << "the wait ended on an event left out";
    row.masked(u);
    DWORD n;
    ASSERT_EQ(win32.WaitForSingleObject(ov.hEvent, kHang), WAIT_OBJECT_0);
    EXPECT_TRUE(win32.GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(word, row.word);
    win32.PurgeComm(h, PURGE_RXCLEAR);
  }
}

// Each row fills the driver's output while CTS holds it (RTS/CTS flow), sends one
// character at once, then lets CTS up: the character goes out with nothing behind it
// to push it, after what was queued or (XON and XOFF, through the driver's priority
// path) ahead of it.
TEST_F(UartPort, TheImmediateCharacterGoesOutOnAFullLine) {
  struct Row { const char *what; char c; bool ahead; } rows[] = {
      {"an ordinary character waits for room", '!', false},
      {"XON goes ahead of the queue", 0x11, true},
  };
  fake_uart_set_output_capacity(u, 16);
  ASSERT_TRUE(set_dcb([](DCB *d) { d->BaudRate = 115200, d->fOutxCtsFlow = 1, d->fRtsControl = RTS_CONTROL_HANDSHAKE; }));
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    std::string before = fake_uart_sent(u), queued(16, 'q');
    fake_uart_set_line(u, TIOCM_CTS, false);
    DWORD put = 0;
    EXPECT_TRUE(win32.WriteFile(h, queued.data(), 16, &put, &ov) ||
                (win32.GetLastError() == ERROR_IO_PENDING && win32.GetOverlappedResult(h, &ov, &put, TRUE)));
    ASSERT_EQ(put, 16u);
    EXPECT_EQ(fake_uart_output_queue(u), 16u) << "the driver's output is full";
    EXPECT_TRUE(win32.TransmitCommChar(h, row.c));
    fake_uart_set_line(u, TIOCM_CTS, true);
    std::string want = before + (row.ahead ? std::string(1, row.c) + queued : queued + row.c);
    EXPECT_TRUE(wait_until([&] { return fake_uart_sent(u).size() >= want.size(); }));
    EXPECT_EQ(fake_uart_sent(u), want);
  }
}

// A driver that offers low latency (a USB adapter's) has it on while the port is open
// and gets its own setting back at close; one that has it on already is left alone.
TEST_F(UartPort, LowLatencyWhileOpenTheDriversOwnSettingBack) {
  win32.CloseHandle(h), h = INVALID_HANDLE_VALUE;
  for (int own : {0, int(ASYNC_LOW_LATENCY)}) {
    SCOPED_TRACE(own ? "on already" : "off");
    fake_uart_set_serial_flags(u, own | ASYNC_SKIP_TEST);
    unsigned sets = fake_uart_ioctl_count(u, TIOCSSERIAL);
    h = win32.CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(fake_uart_serial_flags(u), ASYNC_LOW_LATENCY | ASYNC_SKIP_TEST) << "on while open, other flags kept";
    win32.CloseHandle(h), h = INVALID_HANDLE_VALUE;
    EXPECT_EQ(fake_uart_serial_flags(u), own | ASYNC_SKIP_TEST) << "the device's own setting back";
    EXPECT_EQ(fake_uart_ioctl_count(u, TIOCSSERIAL) - sets, own ? 0u : 2u);
  }
}

// Another program of an ordinary user cannot open a port this process holds: TIOCEXCL
// refuses it (root may open past TIOCEXCL; the lock keeps this process's own opens out).
TEST(ExclusiveOpen, RefusesAnOrdinaryUser) {
  if (geteuid() != 0 && getuid() != 0) GTEST_SKIP() << "skipped: running as an ordinary user already";
  int master, slave;
  char path[128];
  ASSERT_EQ(openpty(&master, &slave, path, nullptr, nullptr), 0);
  const uid_t nobody = 65534;
  ASSERT_EQ(chmod(path, 0666), 0);
  setenv("TAVO_COM4", path, 1);
  HANDLE h = win32.CreateFileA("COM4", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  pid_t child = fork();
  if (child == 0) {  // the other program: an ordinary user, no lock taken
    if (setgid(nobody) != 0 || setuid(nobody) != 0) _exit(3);
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    _exit(fd < 0 && errno == EBUSY ? 0 : fd < 0 ? 2 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  win32.CloseHandle(h);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 3) {
    close(master), close(slave);
    GTEST_SKIP() << "skipped: cannot become an ordinary user here";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << " (1: the open got through)";
  int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_GE(fd, 0) << "the close lifts TIOCEXCL";
  if (fd >= 0) close(fd);
  close(master), close(slave);
}

}  // namespace
