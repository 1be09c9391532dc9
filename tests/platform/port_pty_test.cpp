// The POSIX port on a pseudo-terminal whose far side the test drives: opens, settings and
// their restore, overlapped writes, reads, purges, events and hang-up, and waits that poll
// the device on the waiting thread.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "serial/platform/posix/syscalls.h"
#include "serial/platform/posix/tty_speed.h"
#include "serial/platform/win32.h"

namespace {

const DWORD kHang = 10000;  // a bound only a hang reaches

long usec(clockid_t clock) {  // CLOCK_PROCESS_CPUTIME_ID counts every thread's CPU time
  struct timespec t;
  clock_gettime(clock, &t);
  return t.tv_sec * 1000000L + t.tv_nsec / 1000;
}

uint32_t speed(int fd) {
  uint32_t baud;
  return posix::tty_get_speed(fd, &baud) ? baud : 0;
}

class PtyPort : public ::testing::Test {
 protected:
  void SetUp() override {
    struct termios raw;
    ASSERT_EQ(openpty(&master, &slave, path, nullptr, nullptr), 0);
    setenv("TAVO_COM2", path, 1);
    tcgetattr(master, &raw);
    cfmakeraw(&raw);
    ASSERT_TRUE(tcsetattr(master, TCSANOW, &raw) == 0 && fcntl(master, F_SETFL, O_NONBLOCK) == 0);
    h = open_com("COM2");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << "error " << win32.GetLastError();
    set_timeouts(MAXDWORD);
    for (OVERLAPPED *o : {&ov, &ov2}) o->hEvent = win32.CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  void TearDown() override {
    close_port();
    for (HANDLE e : {ov.hEvent, ov2.hEvent}) win32.CloseHandle(e);
    if (master >= 0) close(master);
    close(slave);
  }
  HANDLE open_com(const char *name) {
    return win32.CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, 0);
  }
  void close_port() {
    if (h != INVALID_HANDLE_VALUE) win32.CloseHandle(h), h = INVALID_HANDLE_VALUE;
  }
  // MAXDWORD: reads end at once with what is there; 0: a read waits for all its bytes.
  void set_timeouts(DWORD interval) {
    COMMTIMEOUTS t = {interval, 0, 0, 0, 0};
    win32.SetCommTimeouts(h, &t);
  }
  // The port's queue counts; MAXDWORD in both when ClearCommError fails.
  COMSTAT queues() {
    COMSTAT st;
    if (!win32.ClearCommError(h, nullptr, &st)) st.cbInQue = st.cbOutQue = MAXDWORD;
    return st;
  }
  // Reads at the far side until n bytes have come or nothing came for ms; the count.
  size_t far_read(void *buf, size_t n, int ms) {
    size_t got = 0;
    struct pollfd pfd = {master, POLLIN, 0};
    for (ssize_t r = 1; got < n && r > 0 && poll(&pfd, 1, ms) > 0;)
      if ((r = read(master, static_cast<char *>(buf) + got, n - got)) > 0) got += size_t(r);
    return got;
  }
  bool far_write(const std::string &b) { return write(master, b.data(), b.size()) == ssize_t(b.size()); }
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
  // Starts a write of `size` letters, far more than a pseudo-terminal buffers; nobody reads it yet.
  std::vector<uint8_t> start_blocked_write(size_t size) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; i++) data[i] = uint8_t('a' + i % 26);
    DWORD put = 0;
    EXPECT_TRUE(!win32.WriteFile(h, data.data(), DWORD(size), &put, &ov) && win32.GetLastError() == ERROR_IO_PENDING);
    return data;
  }
  int master = -1, slave = -1;  // master: the far side; slave: to read the device's termios
  char path[128];
  HANDLE h = INVALID_HANDLE_VALUE;
  OVERLAPPED ov = {}, ov2 = {};  // ov2: a request beside the one on ov
  DWORD word = 0;
};

// A character device that is no tty fails the probe's look and the open; the open port
// is busy to a second open. (A missing device and a plain file are refused end to end.)
// The exclusive open keeps out this process and any other.
TEST_F(PtyPort, RefusedOpensAndTheExclusiveOpen) {
  const struct { const char *device; DWORD look, open; } rows[] = {
      {"/dev/null", ERROR_NOT_SUPPORTED, ERROR_NOT_SUPPORTED}, {path, 0, ERROR_SHARING_VIOLATION}};
  std::string guard = getenv("TAVO_COM5");  // where the start-up guard points it
  for (const auto &row : rows) {
    SCOPED_TRACE(row.device);
    COMMCONFIG cc;
    DWORD size = sizeof cc;
    setenv("TAVO_COM5", row.device, 1);
    EXPECT_EQ(win32.GetDefaultCommConfigA("COM5", &cc, &size) ? 0 : win32.GetLastError(), row.look);
    EXPECT_TRUE(open_com("COM5") == INVALID_HANDLE_VALUE && win32.GetLastError() == row.open);
  }
  setenv("TAVO_COM5", guard.c_str(), 1);
  int other = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);  // root may open past TIOCEXCL, not past the lock
  EXPECT_TRUE(other < 0 ? errno == EBUSY : flock(other, LOCK_EX | LOCK_NB) != 0) << "another program is kept out";
  if (other >= 0) close(other);
  close_port();
  h = open_com("\\\\.\\com2");
  EXPECT_NE(h, INVALID_HANDLE_VALUE) << "free again after the close";
}

// Each row changes the DCB of 9600 8N1. What the layer takes comes back from
// GetCommState and shows in termios, but for the data size and parity a
// pseudo-terminal cannot keep (it stays at 8 bits, no parity); what is refused
// leaves the DCB and the device as they were.
TEST_F(PtyPort, SettingsRoundTripOrAreRefused) {
  const struct { const char *what; void (*change)(DCB *dcb); bool refused; } rows[] = {
      {"9600 8N1", [](DCB *) {}, false},
      {"76800 (no Bnnn code), two stop bits", [](DCB *d) { d->BaudRate = 76800; d->StopBits = TWOSTOPBITS; }, false},
      {"RTS/CTS and XON/XOFF", [](DCB *d) {
         d->fOutxCtsFlow = 1; d->fRtsControl = RTS_CONTROL_HANDSHAKE; d->fOutX = d->fInX = 1; d->XonChar = 1;
         d->XoffChar = 2; }, false},
      {"the fields Linux cannot enforce", [](DCB *d) {
         d->XonLim = 1467; d->fOutxDsrFlow = d->fDsrSensitivity = d->fTXContinueOnXoff = d->fAbortOnError = 1;
         d->fDtrControl = DTR_CONTROL_HANDSHAKE; d->ErrorChar = '?'; d->EvtChar = '\r'; }, false},
      {"7 data bits, odd parity: kept in the DCB, the device stays at 8 bits, no parity", [](DCB *d) {
         d->BaudRate = 4800; d->ByteSize = 7; d->Parity = ODDPARITY; d->fOutX = d->fInX = 1; }, false},
      {"speed 0", [](DCB *d) { d->BaudRate = 0; }, true},
      {"XON equal to XOFF with XON/XOFF on", [](DCB *d) { d->fOutX = 1; d->XonChar = d->XoffChar = 0x11; }, true},
  };
  DCB base, back;
  ASSERT_TRUE(win32.GetCommState(h, &base));
  base.BaudRate = 9600;
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    DCB dcb = base;
    struct termios t;
    row.change(&dcb);
    ASSERT_TRUE(win32.SetCommState(h, &base));
    EXPECT_EQ(win32.SetCommState(h, &dcb) ? 0 : win32.GetLastError(), row.refused ? ERROR_INVALID_PARAMETER : 0);
    if (row.refused) dcb = base;
    ASSERT_TRUE(win32.GetCommState(h, &back) && tcgetattr(slave, &t) == 0);
    EXPECT_EQ(memcmp(&back, &dcb, sizeof dcb), 0) << "GetCommState gives back the DCB in force";
    EXPECT_EQ(speed(slave), dcb.BaudRate);
    EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | CRTSCTS | CLOCAL | CREAD | HUPCL),
              tcflag_t(CS8 | CLOCAL | CREAD | (dcb.StopBits ? CSTOPB : 0) | (dcb.fOutxCtsFlow ? CRTSCTS : 0)));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT),
              tcflag_t((dcb.fOutX ? IXON : 0) | (dcb.fInX ? IXOFF : 0)));
    EXPECT_EQ((t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN)) | (t.c_oflag & OPOST), 0u) << "raw";
    EXPECT_EQ(t.c_cc[VSTART] * 256 + t.c_cc[VSTOP], dcb.XonChar * 256 + dcb.XoffChar);
  }
}

// The device's own settings come back at close when the caller has written back the
// DCB it read at open (HUPCL excepted: it stays off, so the close keeps DTR up); new
// settings the caller left stay.
TEST_F(PtyPort, RestoreAtClose) {
  close_port();
  struct termios own, after;
  auto fields = [](const struct termios &t) {  // HUPCL apart
    return std::make_tuple(t.c_iflag, t.c_oflag, t.c_lflag, t.c_cflag & ~HUPCL, std::string((const char *)t.c_cc, NCCS));
  };
  ASSERT_EQ(tcgetattr(slave, &own), 0);
  own.c_iflag = ICRNL | IXON | IXOFF | IMAXBEL, own.c_oflag = OPOST | ONLCR;
  own.c_lflag = ECHO | ICANON | ISIG | IEXTEN | ECHOE | ECHOK, own.c_cc[VSTART] = 0x05, own.c_cc[VTIME] = 3;
  own.c_cflag = (own.c_cflag & ~CSIZE) | CS8 | CREAD | CSTOPB | HUPCL;
  cfsetspeed(&own, B1200);
  for (bool write_back : {true, false}) {
    ASSERT_TRUE(tcsetattr(slave, TCSANOW, &own) == 0 && tcgetattr(slave, &own) == 0);
    h = open_com("COM2");
    DCB saved, work;
    DWORD put;
    ASSERT_TRUE(win32.GetCommState(h, &saved));
    EXPECT_TRUE(saved.BaudRate == 1200 && saved.StopBits == TWOSTOPBITS && saved.fOutX && saved.XonChar == 5);
    work = saved;
    work.BaudRate = 76800, work.fOutX = work.fInX = 0;
    ASSERT_TRUE(win32.SetCommState(h, &work));
    win32.WriteFile(h, "data", 4, &put, &ov);
    ASSERT_TRUE(!write_back || win32.SetCommState(h, &saved));
    close_port();
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_cflag & HUPCL, 0u) << write_back;
    if (write_back) EXPECT_EQ(fields(after), fields(own));
    else EXPECT_EQ(speed(slave), 76800u) << "new settings the caller left stay";
  }
}

TEST_F(PtyPort, OverlappedWriteDrainedByASlowReaderWithTheImmediateCharacterAhead) {
  std::vector<uint8_t> data = start_blocked_write(256 * 1024), got;
  DWORD put = 0;
  EXPECT_GT(queues().cbOutQue, 0u) << "bytes accepted and not yet sent";
  EXPECT_TRUE(!win32.GetOverlappedResult(h, &ov, &put, FALSE) && win32.GetLastError() == ERROR_IO_INCOMPLETE);
  ASSERT_TRUE(win32.TransmitCommChar(h, '#'));
  DWORD behind = queues().cbOutQue;
  std::thread reader([&] {  // reads in small bites, with a pause after each
    uint8_t buf[512];
    for (size_t n = 1; n > 0 && got.size() <= data.size(); usleep(200)) {
      n = far_read(buf, std::min(sizeof buf, data.size() + 1 - got.size()), int(kHang));
      got.insert(got.end(), buf, buf + n);
    }
  });
  EXPECT_TRUE(win32.GetOverlappedResult(h, &ov, &put, TRUE) && put == data.size());
  reader.join();
  auto at = std::find(got.begin(), got.end(), '#');
  ASSERT_NE(at, got.end());
  EXPECT_LE(size_t(at - got.begin()), data.size() + 1 - behind) << "ahead of the bytes still queued in the layer";
  got.erase(at);
  EXPECT_TRUE(got == data) << "every byte of the write, in order";
}

TEST_F(PtyPort, WriteAbandonedByPurgeSendsNothingMore) {
  std::vector<uint8_t> data = start_blocked_write(1024 * 1024);
  ASSERT_TRUE(win32.PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR));
  ASSERT_EQ(win32.WaitForSingleObject(ov.hEvent, kHang), WAIT_OBJECT_0) << "the purge ends the write";
  DWORD put = 0;
  EXPECT_TRUE(!win32.GetOverlappedResult(h, &ov, &put, FALSE) && win32.GetLastError() == ERROR_OPERATION_ABORTED);
  EXPECT_LT(put, data.size());
  EXPECT_LE(far_read(data.data(), data.size(), 200), put) << "nothing beyond what the driver had taken";
  EXPECT_EQ(queues().cbOutQue, 0u);
  ASSERT_TRUE(win32.WriteFile(h, "ok", 2, &put, &ov)) << "the port writes normally afterwards";
  EXPECT_TRUE(far_read(data.data(), 2, int(kHang)) == 2 && memcmp(data.data(), "ok", 2) == 0);
}

// Reads that end at once (the library's) count every byte the device holds, beyond the
// 16-byte queue, and a purge drops them.
TEST_F(PtyPort, ReadsAndPurges) {
  char buf[64] = {};
  DWORD got = 0;
  ASSERT_TRUE(win32.SetupComm(h, 16, 0) && far_write(std::string(40, 'm')) && wait_received(40));
  EXPECT_TRUE(win32.ReadFile(h, buf, sizeof buf, &got, &ov) && std::string(buf, got) == std::string(40, 'm'));
  ASSERT_TRUE(far_write("12345") && wait_received(5) && win32.PurgeComm(h, PURGE_RXCLEAR));
  EXPECT_TRUE(win32.ReadFile(h, buf, sizeof buf, &got, &ov) && got == 0) << "received bytes purged";
}

TEST_F(PtyPort, ReceivedBytesAreAnEdgeOutputDrainsAndAMaskChangeEndsTheWait) {
  ASSERT_TRUE(win32.SetCommMask(h, EV_RXCHAR) && start_wait() && far_write("ab"));
  EXPECT_EQ(finish_wait(), DWORD(EV_RXCHAR));
  ASSERT_TRUE(start_wait());
  EXPECT_EQ(finish_wait(200), 0xEEEEEEEE) << "two unread bytes, already reported, do not end the next wait";
  ASSERT_TRUE(far_write("c"));
  EXPECT_EQ(finish_wait(), DWORD(EV_RXCHAR)) << "a new byte does";
  char buf[8];
  DWORD got = 0;
  EXPECT_TRUE(win32.ReadFile(h, buf, sizeof buf, &got, &ov) && std::string(buf, got) == "abc");
  ASSERT_TRUE(win32.SetCommMask(h, EV_TXEMPTY) && start_wait());
  win32.WriteFile(h, "hello", 5, &got, &ov2);
  EXPECT_EQ(finish_wait(), DWORD(EV_TXEMPTY)) << "the output drained";
  ASSERT_TRUE(start_wait() && win32.SetCommMask(h, 0));
  EXPECT_EQ(finish_wait(), 0u) << "SetCommMask ends a pending wait with an empty word";
  ASSERT_TRUE(start_wait()) << "with an empty mask a wait stays pending (no spinning)";
  EXPECT_EQ(finish_wait(100), 0xEEEEEEEE);
  ASSERT_TRUE(win32.SetCommMask(h, EV_RXCHAR));
  EXPECT_EQ(finish_wait(), 0u) << "until the mask changes";
}

TEST_F(PtyPort, HangUpEndsPendingRequestsAndLaterCallsFailWithoutSpinning) {
  set_timeouts(0);
  char buf[4];
  DWORD got = 0;
  ASSERT_TRUE(win32.SetCommMask(h, EV_RXCHAR) && start_wait() && !win32.ReadFile(h, buf, sizeof buf, &got, &ov2));
  close(master), master = -1;
  EXPECT_EQ(finish_wait(), 0xFFFFFFFF) << "the pending wait ends with an error";
  ASSERT_EQ(win32.WaitForSingleObject(ov2.hEvent, kHang), WAIT_OBJECT_0);
  EXPECT_FALSE(win32.GetOverlappedResult(h, &ov2, &got, FALSE)) << "the pending read too";
  EXPECT_EQ(queues().cbInQue, MAXDWORD) << "later calls fail";
  set_timeouts(MAXDWORD);
  EXPECT_FALSE(win32.ReadFile(h, buf, sizeof buf, &got, &ov2) || win32.TransmitCommChar(h, 'x'));
  // A new wait blocks until the mask changes (an event loop calling it does not spin).
  long cpu0 = usec(CLOCK_PROCESS_CPUTIME_ID);
  ASSERT_TRUE(start_wait());
  EXPECT_EQ(finish_wait(300), 0xEEEEEEEE);
  EXPECT_LT(usec(CLOCK_PROCESS_CPUTIME_ID) - cpu0, 30000) << "CPU spent while waiting on a hung-up port";
  ASSERT_TRUE(win32.SetCommMask(h, 0));
  EXPECT_EQ(finish_wait(), 0u);
}

// A thread blocked in GetOverlappedResult on the comm-event wait polls the device
// itself; the I/O thread leaves the input to it meanwhile and must take it back for
// whatever waits the other way afterwards. The pauses let a thread reach its poll().
TEST_F(PtyPort, InlineWaitsEndAndHandTheInputBack) {
  BOOL ok = FALSE;  // the inline waiter's result, read after the join
  std::thread waiter;
  auto wait_inline = [&] {
    if (!win32.SetCommMask(h, EV_RXCHAR) || !start_wait()) return false;
    waiter = std::thread([&] { DWORD n; ok = win32.GetOverlappedResult(h, &ov, &n, TRUE); });
    usleep(20000);
    return true;
  };
  set_timeouts(0);
  char buf[4];
  DWORD got = 0;
  for (bool then_read : {false, true}) {
    SCOPED_TRACE(then_read ? "then a read waiting for its bytes" : "then a wait on the request's event");
    ASSERT_TRUE(wait_inline());
    EXPECT_TRUE(far_write("a"));
    waiter.join();
    EXPECT_TRUE(ok && word == EV_RXCHAR);
    ASSERT_TRUE(win32.ReadFile(h, buf, 1, &got, &ov2) && got == 1 && buf[0] == 'a');
    OVERLAPPED *next = then_read ? &ov2 : &ov;
    ASSERT_TRUE(then_read ? !win32.ReadFile(h, buf, 1, &got, &ov2) : start_wait());
    usleep(20000);
    ASSERT_TRUE(far_write("b") && win32.WaitForSingleObject(next->hEvent, kHang) == WAIT_OBJECT_0);
    EXPECT_TRUE(win32.GetOverlappedResult(h, next, &got, FALSE) &&
                (then_read ? got == 1 && buf[0] == 'b' : word == EV_RXCHAR));
    win32.PurgeComm(h, PURGE_RXCLEAR);
  }
  // A full input queue is not polled for input; a purge that empties it lets the
  // inline waiter take the next byte. (A wait that does not end is ended by the mask.)
  ASSERT_TRUE(win32.SetupComm(h, 8, 0) && far_write("12345678") && wait_received(8));
  usleep(20000);  // the I/O thread moves the last of them into the queue
  ASSERT_TRUE(wait_inline());
  EXPECT_TRUE(win32.PurgeComm(h, PURGE_RXCLEAR) && far_write("z"));
  bool ended = win32.WaitForSingleObject(ov.hEvent, kHang) == WAIT_OBJECT_0;
  if (!ended) win32.SetCommMask(h, EV_RXCHAR);
  waiter.join();
  EXPECT_TRUE(ended && word == EV_RXCHAR) << "the byte after the purge ends the wait";
  win32.PurgeComm(h, PURGE_RXCLEAR);
  // Another thread ends an inline wait: SetCommMask with an empty word, CloseHandle
  // with an error (and the close does not hang on it).
  for (bool closing : {false, true}) {
    SCOPED_TRACE(closing ? "CloseHandle" : "SetCommMask");
    ASSERT_TRUE(wait_inline());
    if (closing) close_port();
    else EXPECT_TRUE(win32.SetCommMask(h, EV_RXCHAR));
    waiter.join();
    EXPECT_EQ(ok, closing ? FALSE : TRUE);
    EXPECT_EQ(word, 0u);
  }
}

}  // namespace
