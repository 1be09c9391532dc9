// Opening ports and their settings on pseudo-terminals: COM names, exclusive open,
// the COMMCONFIG size protocol, DCB round trips and their termios, refusals, the
// queue numbers, and the device's own settings given back at close.
#include <gtest/gtest.h>
#include <sys/file.h>

#include "pty_port.h"
#include "serial/platform/posix/tty_speed.h"

namespace {

using namespace pty_test;

class PortSettings : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty_open(&pair, 2)); }
  void TearDown() override { pty_close(&pair); }
  PtyPair pair;
};

struct NameRow {
  const char *what;
  const char *name;
  const char *env;    // TAVO_COM5 for this row, or null
  DWORD error;        // 0: the open succeeds
};

TEST_F(PortSettings, NamesAndOpenErrors) {
  const NameRow rows[] = {
      {"COMn through TAVO_COMn", "COM2", nullptr, 0},
      {"the \\\\.\\ prefix", "\\\\.\\COM2", nullptr, 0},
      {"lower case", "com2", nullptr, 0},
      {"a path", pair.path, nullptr, 0},
      {"COM5 at a missing device", "COM5", "/nonexistent/tty", ERROR_FILE_NOT_FOUND},
      {"COM5 at a file that is no tty", "COM5", "/dev/null", ERROR_FILE_NOT_FOUND},
      {"COM0", "COM0", nullptr, ERROR_FILE_NOT_FOUND},
      {"COM37", "COM37", nullptr, ERROR_FILE_NOT_FOUND},
      {"leading zero", "COM02", nullptr, ERROR_FILE_NOT_FOUND},
      {"not a port name", "LPT1", nullptr, ERROR_FILE_NOT_FOUND},
      {"empty", "", nullptr, ERROR_FILE_NOT_FOUND},
  };
  for (const NameRow &row : rows) {
    if (row.env) setenv("TAVO_COM5", row.env, 1);
    HANDLE h = open_com(row.name);
    if (row.error == 0) {
      EXPECT_NE(h, INVALID_HANDLE_VALUE) << row.what << ": error " << win32.GetLastError();
      if (h != INVALID_HANDLE_VALUE) win32.CloseHandle(h);
    } else {
      EXPECT_EQ(h, INVALID_HANDLE_VALUE) << row.what;
      EXPECT_EQ(win32.GetLastError(), row.error) << row.what;
    }
  }
}

TEST_F(PortSettings, OpenIsExclusive) {
  HANDLE h = open_com("COM2");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(open_com("COM2"), INVALID_HANDLE_VALUE) << "a second open in this process";
  EXPECT_EQ(win32.GetLastError(), ERROR_ACCESS_DENIED);
  int other = open(pair.path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (other >= 0) {  // root may open past TIOCEXCL; the lock still keeps it out
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0) << "another program honouring the lock";
    close(other);
  } else {
    EXPECT_EQ(errno, EBUSY) << "TIOCEXCL refuses other opens";
  }
  ASSERT_TRUE(win32.CloseHandle(h));
  h = open_com("COM2");
  EXPECT_NE(h, INVALID_HANDLE_VALUE) << "free again after the close";
  win32.CloseHandle(h);
}

TEST_F(PortSettings, CommConfigSizeProtocol) {
  COMMCONFIG cc;
  DWORD size = 10;
  EXPECT_FALSE(win32.GetDefaultCommConfigA("COM2", &cc, &size)) << "too small";
  EXPECT_EQ(win32.GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(size, 52u) << "the size to retry with";
  size = 52;
  cc.dwSize = 52;
  EXPECT_TRUE(win32.GetDefaultCommConfigA("COM2", &cc, &size)) << "an existing tty, not open";
  size = 52;
  EXPECT_FALSE(win32.GetDefaultCommConfigA("COM7", &cc, &size)) << "a missing device";
  setenv("TAVO_COM7", "/dev/null", 1);
  EXPECT_FALSE(win32.GetDefaultCommConfigA("COM7", &cc, &size)) << "a device that is no tty";

  HANDLE h = open_com("COM2");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  size = 20;
  EXPECT_FALSE(win32.GetCommConfig(h, &cc, &size));
  EXPECT_EQ(size, 52u);
  size = 52;
  ASSERT_TRUE(win32.GetCommConfig(h, &cc, &size));
  EXPECT_EQ(cc.dwSize, 52u);
  DCB dcb;
  ASSERT_TRUE(win32.GetCommState(h, &dcb));
  EXPECT_EQ(memcmp(&cc.dcb, &dcb, sizeof dcb), 0) << "the DCB inside is the device's";
  cc.dcb.BaudRate = 76800;
  EXPECT_FALSE(win32.SetCommConfig(h, &cc, 20)) << "a record too small";
  ASSERT_TRUE(win32.SetCommConfig(h, &cc, size));
  ASSERT_TRUE(win32.GetCommState(h, &dcb));
  EXPECT_EQ(dcb.BaudRate, 76800u);
  win32.CloseHandle(h);
}

struct DcbRow {
  const char *what;
  DWORD baud;
  BYTE stop;
  bool cts;      // fOutxCtsFlow + RTS_CONTROL_HANDSHAKE
  bool xon_xoff; // fOutX + fInX
  bool odd_fields;  // the fields Linux cannot enforce, all set to unusual values
};

TEST_F(PortSettings, DcbRoundTripsAndTermios) {
  const DcbRow rows[] = {
      {"9600 8N1", 9600, ONESTOPBIT, false, false, false},
      {"76800, a rate without a Bnnn code", 76800, ONESTOPBIT, false, false, false},
      {"250000, another", 250000, ONESTOPBIT, false, false, false},
      {"115200 two stop bits", 115200, TWOSTOPBITS, false, false, false},
      {"1200 RTS/CTS", 1200, ONESTOPBIT, true, false, false},
      {"38400 XON/XOFF", 38400, ONESTOPBIT, false, true, false},
      {"19200 with the unenforced fields set", 19200, ONESTOPBIT, false, false, true},
  };
  HANDLE h = open_com("COM2");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  for (const DcbRow &row : rows) {
    DCB dcb;
    ASSERT_TRUE(win32.GetCommState(h, &dcb));
    dcb.BaudRate = row.baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = row.stop;
    dcb.fOutxCtsFlow = row.cts;
    dcb.fRtsControl = row.cts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = dcb.fInX = row.xon_xoff;
    dcb.XonChar = row.xon_xoff ? 0x01 : 0x11;
    dcb.XoffChar = row.xon_xoff ? 0x02 : 0x13;
    if (row.odd_fields) {
      dcb.XonLim = 1467;
      dcb.XoffLim = 820;
      dcb.fOutxDsrFlow = 1;
      dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
      dcb.fDsrSensitivity = 1;
      dcb.fTXContinueOnXoff = 1;
      dcb.fAbortOnError = 1;
      dcb.fErrorChar = 1;
      dcb.ErrorChar = '?';
      dcb.EofChar = 0x1A;
      dcb.EvtChar = '\r';
    }
    ASSERT_TRUE(win32.SetCommState(h, &dcb)) << row.what << ": error " << win32.GetLastError();
    DCB back;
    ASSERT_TRUE(win32.GetCommState(h, &back));
    EXPECT_EQ(memcmp(&back, &dcb, sizeof dcb), 0) << row.what << ": GetCommState gives back what was set";

    struct termios t;
    ASSERT_EQ(tcgetattr(pair.slave, &t), 0);
    uint32_t speed = 0;
    ASSERT_TRUE(posix::tty_get_speed(pair.slave, &speed));
    EXPECT_EQ(speed, row.baud) << row.what;
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8)) << row.what;
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, row.stop == TWOSTOPBITS) << row.what;
    EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, row.cts) << row.what;
    EXPECT_EQ((t.c_iflag & IXON) != 0, row.xon_xoff) << row.what;
    EXPECT_EQ((t.c_iflag & IXOFF) != 0, row.xon_xoff) << row.what;
    EXPECT_EQ(t.c_cc[VSTART], static_cast<cc_t>(dcb.XonChar)) << row.what;
    EXPECT_EQ(t.c_cc[VSTOP], static_cast<cc_t>(dcb.XoffChar)) << row.what;
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u) << row.what << ": raw";
    EXPECT_EQ(t.c_oflag & OPOST, 0u) << row.what << ": raw";
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | BRKINT), 0u) << row.what << ": raw";
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD | HUPCL), static_cast<tcflag_t>(CLOCAL | CREAD)) << row.what;
    EXPECT_EQ(t.c_cc[VMIN], 1) << row.what;
  }
  win32.CloseHandle(h);
}

struct RefusedRow {
  const char *what;
  void (*change)(DCB *dcb);
};

TEST_F(PortSettings, RefusedSettingsLeaveTheDeviceAsItWas) {
  const RefusedRow rows[] = {
      {"7 data bits: a pseudo-terminal forces 8", [](DCB *d) { d->ByteSize = 7; }},
      {"even parity: a pseudo-terminal has none", [](DCB *d) { d->Parity = EVENPARITY; }},
      {"1.5 stop bits with 8 data bits: no such line", [](DCB *d) { d->StopBits = ONE5STOPBITS; }},
      {"9 data bits", [](DCB *d) { d->ByteSize = 9; }},
      {"speed 0", [](DCB *d) { d->BaudRate = 0; }},
      {"XON equal to XOFF with XON/XOFF on", [](DCB *d) { d->fOutX = 1; d->XonChar = d->XoffChar = 0x11; }},
  };
  HANDLE h = open_com("COM2");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DCB good;
  ASSERT_TRUE(win32.GetCommState(h, &good));
  good.BaudRate = 57600;
  ASSERT_TRUE(win32.SetCommState(h, &good));
  for (const RefusedRow &row : rows) {
    DCB dcb = good;
    dcb.BaudRate = 4800;
    row.change(&dcb);
    EXPECT_FALSE(win32.SetCommState(h, &dcb)) << row.what;
    EXPECT_EQ(win32.GetLastError(), ERROR_INVALID_PARAMETER) << row.what;
    DCB back;
    ASSERT_TRUE(win32.GetCommState(h, &back));
    EXPECT_EQ(memcmp(&back, &good, sizeof good), 0) << row.what << ": the DCB in force is unchanged";
    uint32_t speed = 0;
    ASSERT_TRUE(posix::tty_get_speed(pair.slave, &speed));
    EXPECT_EQ(speed, 57600u) << row.what << ": the device is unchanged";
  }
  win32.CloseHandle(h);
}

TEST_F(PortSettings, QueueNumbers) {
  HANDLE h = open_com("COM2");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  COMMPROP prop;
  ASSERT_TRUE(win32.GetCommProperties(h, &prop));
  EXPECT_EQ(prop.dwMaxRxQueue, 0u) << "no limit: the library asks for its default";
  EXPECT_EQ(prop.dwMaxTxQueue, 0u);
  EXPECT_EQ(prop.dwCurrentRxQueue, 4096u) << "before SetupComm";
  EXPECT_EQ(prop.dwCurrentTxQueue, 4096u);
  ASSERT_TRUE(win32.SetupComm(h, 8192, 4096));
  ASSERT_TRUE(win32.GetCommProperties(h, &prop));
  EXPECT_EQ(prop.dwCurrentRxQueue, 8192u) << "the input queue as sized";
  EXPECT_EQ(prop.dwCurrentTxQueue, 4096u);
  win32.CloseHandle(h);
}

bool same_termios(const struct termios &a, const struct termios &b, std::string *diff) {
  char text[160];
  snprintf(text, sizeof text, "iflag %o/%o oflag %o/%o cflag %o/%o lflag %o/%o", a.c_iflag, b.c_iflag, a.c_oflag,
           b.c_oflag, a.c_cflag, b.c_cflag, a.c_lflag, b.c_lflag);
  *diff = text;
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
         memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && cfgetispeed(&a) == cfgetispeed(&b) &&
         cfgetospeed(&a) == cfgetospeed(&b);
}

// The device's own settings (a terminal's cooked mode at 1200 baud, two stop bits,
// XON/XOFF with odd characters, HUPCL off) before the open equal those after the close
// when the caller has written back the DCB it read at open.
TEST_F(PortSettings, RestoreAtClose) {
  struct termios own;
  ASSERT_EQ(tcgetattr(pair.slave, &own), 0);
  own.c_iflag = ICRNL | IXON | IXOFF | IMAXBEL;
  own.c_oflag = OPOST | ONLCR;
  own.c_lflag = ECHO | ICANON | ISIG | IEXTEN | ECHOE | ECHOK;
  own.c_cflag = (own.c_cflag & ~(CSIZE | HUPCL)) | CS8 | CREAD | CSTOPB;
  own.c_cc[VSTART] = 0x05;
  own.c_cc[VSTOP] = 0x06;
  own.c_cc[VMIN] = 0;
  own.c_cc[VTIME] = 3;
  cfsetspeed(&own, B1200);
  ASSERT_EQ(tcsetattr(pair.slave, TCSANOW, &own), 0);
  struct termios before, after;
  ASSERT_EQ(tcgetattr(pair.slave, &before), 0);

  HANDLE h = open_com("COM2");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DCB saved;
  ASSERT_TRUE(win32.GetCommState(h, &saved));
  EXPECT_EQ(saved.BaudRate, 1200u);
  EXPECT_EQ(saved.StopBits, TWOSTOPBITS);
  EXPECT_TRUE(saved.fOutX && saved.fInX);
  EXPECT_EQ(saved.XonChar, 0x05);
  DCB work = saved;
  work.BaudRate = 76800;
  work.StopBits = ONESTOPBIT;
  work.fOutX = work.fInX = 0;
  work.XonChar = 0x11;
  work.XoffChar = 0x13;
  ASSERT_TRUE(win32.SetCommState(h, &work));
  DWORD put;
  OVERLAPPED ov = new_overlapped();
  win32.WriteFile(h, "data", 4, &put, &ov);
  ASSERT_TRUE(win32.SetCommState(h, &saved)) << "the caller writes the device's DCB back";
  ASSERT_TRUE(win32.CloseHandle(h));
  ASSERT_EQ(tcgetattr(pair.slave, &after), 0);
  std::string diff;
  EXPECT_TRUE(same_termios(before, after, &diff)) << diff;
  win32.CloseHandle(ov.hEvent);
}

// HUPCL is the one exception: the layer leaves it off, so that the close does not drop
// DTR; and settings the caller did not write back stay in force after the close.
TEST_F(PortSettings, CloseLeavesHupclOffAndKeepsNewSettings) {
  struct termios own, after;
  ASSERT_EQ(tcgetattr(pair.slave, &own), 0);
  own.c_cflag |= HUPCL;
  ASSERT_EQ(tcsetattr(pair.slave, TCSANOW, &own), 0);
  HANDLE h = open_com("COM2");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DCB saved;
  ASSERT_TRUE(win32.GetCommState(h, &saved));
  ASSERT_TRUE(win32.SetCommState(h, &saved));
  ASSERT_TRUE(win32.CloseHandle(h));
  ASSERT_EQ(tcgetattr(pair.slave, &after), 0);
  EXPECT_EQ(after.c_cflag & HUPCL, 0u);
  EXPECT_EQ(after.c_cflag | HUPCL, own.c_cflag) << "all else as before";
  EXPECT_EQ(after.c_lflag, own.c_lflag);

  h = open_com("COM2");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DCB dcb = saved;
  dcb.BaudRate = 76800;
  ASSERT_TRUE(win32.SetCommState(h, &dcb));
  ASSERT_TRUE(win32.CloseHandle(h));
  uint32_t speed = 0;
  ASSERT_TRUE(posix::tty_get_speed(pair.slave, &speed));
  EXPECT_EQ(speed, 76800u) << "new settings the caller left stay";
}

TEST_F(PortSettings, DeviceWithoutModemLines) {
  HANDLE h = open_com("COM2");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  const DWORD funcs[] = {SETDTR, CLRDTR, SETRTS, CLRRTS};
  for (DWORD f : funcs) {
    EXPECT_FALSE(win32.EscapeCommFunction(h, f)) << "function " << f;
    EXPECT_EQ(win32.GetLastError(), ERROR_NOT_SUPPORTED) << "function " << f;
  }
  DWORD status = 0;
  EXPECT_FALSE(win32.GetCommModemStatus(h, &status));
  EXPECT_EQ(win32.GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_FALSE(win32.EscapeCommFunction(h, 77)) << "not a function";
  EXPECT_EQ(win32.GetLastError(), ERROR_INVALID_PARAMETER);
  win32.CloseHandle(h);
}

}  // namespace
