// Opening ports and their settings on pseudo-terminals: COM names, exclusive open,
// the COMMCONFIG size demand, DCB round trips and their termios, refusals, and the
// device's own settings given back at close.
#include <sys/file.h>

#include "pty_port.h"
#include "serial/platform/posix/tty_speed.h"

namespace {

uint32_t speed(int fd) {
  uint32_t baud = 0;
  return posix::tty_get_speed(fd, &baud) ? baud : 0;
}

TEST_F(PtyPort, NamesExclusiveOpenAndConfigSize) {
  close_port();
  setenv("TAVO_COM6", "/dev/null", 1);  // a file that is no tty
  const struct {
    const char *name;
    DWORD error;  // 0: the open succeeds
  } rows[] = {{"COM2", 0}, {"\\\\.\\com2", 0}, {path, 0}, {"COM5", ERROR_FILE_NOT_FOUND},
              {"COM6", ERROR_FILE_NOT_FOUND}, {"COM0", ERROR_FILE_NOT_FOUND}, {"COM37", ERROR_FILE_NOT_FOUND},
              {"COM02", ERROR_FILE_NOT_FOUND}, {"LPT1", ERROR_FILE_NOT_FOUND}};
  for (const auto &row : rows) {
    HANDLE got = open_com(row.name);
    EXPECT_EQ(got == INVALID_HANDLE_VALUE ? win32.GetLastError() : 0, row.error) << row.name;
    if (got != INVALID_HANDLE_VALUE) win32.CloseHandle(got);
  }
  h = open_com("COM2");
  EXPECT_EQ(open_com("COM2"), INVALID_HANDLE_VALUE) << "a second open in this process";
  EXPECT_EQ(win32.GetLastError(), ERROR_ACCESS_DENIED);
  int other = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);  // root may open past TIOCEXCL, not past the lock
  EXPECT_TRUE(other < 0 ? errno == EBUSY : flock(other, LOCK_EX | LOCK_NB) != 0) << "another program is kept out";
  if (other >= 0) close(other);
  close_port();
  h = open_com("COM2");
  EXPECT_NE(h, INVALID_HANDLE_VALUE) << "free again after the close";
  COMMCONFIG cc;
  DWORD size = 10;
  EXPECT_TRUE(!win32.GetCommConfig(h, &cc, &size) && win32.GetLastError() == ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, 52u) << "the size to retry with";
  EXPECT_TRUE(win32.GetDefaultCommConfigA("COM2", &cc, &size) && win32.GetCommConfig(h, &cc, &size));
}

// Each row changes the DCB of 9600 8N1. What the layer takes comes back from
// GetCommState and shows in termios; what a pseudo-terminal cannot keep is refused
// and leaves the DCB and the device as they were.
TEST_F(PtyPort, SettingsRoundTripOrAreRefused) {
  const struct {
    const char *what;
    void (*change)(DCB *dcb);
    bool refused;
  } rows[] = {
      {"9600 8N1", [](DCB *) {}, false},
      {"76800, a rate without a Bnnn code", [](DCB *d) { d->BaudRate = 76800; }, false},
      {"115200 two stop bits", [](DCB *d) { d->BaudRate = 115200; d->StopBits = TWOSTOPBITS; }, false},
      {"RTS/CTS", [](DCB *d) { d->fOutxCtsFlow = 1; d->fRtsControl = RTS_CONTROL_HANDSHAKE; }, false},
      {"XON/XOFF", [](DCB *d) { d->fOutX = d->fInX = 1; d->XonChar = 1; d->XoffChar = 2; }, false},
      {"the fields Linux cannot enforce", [](DCB *d) {
         d->XonLim = 1467; d->fOutxDsrFlow = d->fDsrSensitivity = d->fTXContinueOnXoff = d->fAbortOnError = 1;
         d->fDtrControl = DTR_CONTROL_HANDSHAKE; d->ErrorChar = '?'; d->EvtChar = '\r'; }, false},
      {"7 data bits: a pseudo-terminal forces 8", [](DCB *d) { d->BaudRate = 4800; d->ByteSize = 7; }, true},
      {"even parity: a pseudo-terminal has none", [](DCB *d) { d->BaudRate = 4800; d->Parity = EVENPARITY; }, true},
      {"speed 0", [](DCB *d) { d->BaudRate = 0; }, true},
      {"XON equal to XOFF with XON/XOFF on", [](DCB *d) { d->fOutX = 1; d->XonChar = d->XoffChar = 0x11; }, true},
  };
  DCB base, back;
  ASSERT_TRUE(win32.GetCommState(h, &base));
  base.BaudRate = 9600;
  for (const auto &row : rows) {
    DCB dcb = base;
    struct termios t;
    row.change(&dcb);
    ASSERT_TRUE(win32.SetCommState(h, &base));
    EXPECT_EQ(win32.SetCommState(h, &dcb) ? 0 : win32.GetLastError(), row.refused ? ERROR_INVALID_PARAMETER : 0)
        << row.what;
    if (row.refused) dcb = base;
    ASSERT_TRUE(win32.GetCommState(h, &back) && tcgetattr(slave, &t) == 0) << row.what;
    EXPECT_EQ(memcmp(&back, &dcb, sizeof dcb), 0) << row.what << ": GetCommState gives back the DCB in force";
    EXPECT_EQ(speed(slave), dcb.BaudRate) << row.what;
    EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | CRTSCTS | CLOCAL | CREAD | HUPCL),
              tcflag_t(CS8 | CLOCAL | CREAD | (dcb.StopBits ? CSTOPB : 0) | (dcb.fOutxCtsFlow ? CRTSCTS : 0)))
        << row.what;
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT),
              tcflag_t((dcb.fOutX ? IXON : 0) | (dcb.fInX ? IXOFF : 0))) << row.what;
    EXPECT_EQ((t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN)) | (t.c_oflag & OPOST), 0u) << row.what << ": raw";
    EXPECT_EQ(t.c_cc[VSTART] * 256 + t.c_cc[VSTOP], dcb.XonChar * 256 + dcb.XoffChar) << row.what;
  }
}

// The device's own settings come back at close when the caller has written back the
// DCB it read at open (HUPCL excepted: it stays off, so the close keeps DTR up); new
// settings the caller left stay.
TEST_F(PtyPort, RestoreAtClose) {
  close_port();
  struct termios own, after;
  ASSERT_EQ(tcgetattr(slave, &own), 0);
  own.c_iflag = ICRNL | IXON | IXOFF | IMAXBEL;
  own.c_oflag = OPOST | ONLCR;
  own.c_lflag = ECHO | ICANON | ISIG | IEXTEN | ECHOE | ECHOK;
  own.c_cflag = (own.c_cflag & ~CSIZE) | CS8 | CREAD | CSTOPB | HUPCL;
  own.c_cc[VSTART] = 0x05;
  own.c_cc[VTIME] = 3;
  cfsetspeed(&own, B1200);
  for (bool write_back : {true, false}) {
    ASSERT_TRUE(tcsetattr(slave, TCSANOW, &own) == 0 && tcgetattr(slave, &own) == 0);
    h = open_com("COM2");
    DCB saved, work;
    DWORD put;
    ASSERT_TRUE(win32.GetCommState(h, &saved));
    EXPECT_TRUE(saved.BaudRate == 1200 && saved.StopBits == TWOSTOPBITS && saved.fOutX && saved.XonChar == 5);
    work = saved;
    work.BaudRate = 76800;
    work.fOutX = work.fInX = 0;
    ASSERT_TRUE(win32.SetCommState(h, &work));
    win32.WriteFile(h, "data", 4, &put, &ov);
    ASSERT_TRUE(!write_back || win32.SetCommState(h, &saved));
    close_port();
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_cflag & HUPCL, 0u) << write_back;
    if (write_back)
      EXPECT_TRUE(after.c_iflag == own.c_iflag && after.c_oflag == own.c_oflag && after.c_lflag == own.c_lflag &&
                  after.c_cflag == (own.c_cflag & ~HUPCL) && memcmp(after.c_cc, own.c_cc, sizeof own.c_cc) == 0)
          << std::oct << after.c_iflag << " " << after.c_oflag << " " << after.c_lflag << " " << after.c_cflag;
    else
      EXPECT_EQ(speed(slave), 76800u) << "new settings the caller left stay";
  }
}

}  // namespace
