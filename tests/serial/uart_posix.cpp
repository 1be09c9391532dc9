// The library on the fake UART: what DTR and RTS do through configures, opens and
// closes, and the modem-line and line-status events a real serial port raises, which
// a pseudo-terminal cannot.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>

#include "fakeuart/fake_uart.h"
#include "serial/support.h"

namespace {

const char kPath[] = "/nonexistent/tavo-test/fake-uart";

FakeUart *open_fake_port(PortEventHandler handler = nullptr) {
  setenv("TAVO_COM1", kPath, 1);
  FakeUart *u = fake_uart_attach(kPath);
  SioOpen(0);
  EXPECT_TRUE(SioIsOpen(0)) << "the fake UART did not open";
  if (handler) SioSetEventHandler(0, handler);
  return u;
}

void close_fake_port() {
  close_all();
  fake_uart_reset_all();
}

}  // namespace

// Each row configures twice (two framings) with a flow control and line options. The
// lines end as the row says; a line the row keeps up is never lowered on the way, not
// at open, by a configure or at close; under RTS/CTS nothing but the driver moves RTS.
TEST(Uart, DtrAndRtsThroughConfiguresOpenAndClose) {
  const int kDtr = TIOCM_DTR, kRts = TIOCM_RTS;
  struct Row { const char *what; uint8_t flow, options; int up; } rows[] = {
      {"no flow control, lines as the device had them", 0x00, 0x00, kDtr | kRts},
      {"no flow control, both raised", 0x00, 0x03, kDtr | kRts},
      {"DTR lowered", 0x00, 0x06, kRts},
      {"RTS lowered", 0x00, 0x09, kDtr},
      {"both lowered", 0x00, 0x0C, 0},
      {"RTS/CTS: RTS is the driver's", 0x10, 0x03, kDtr | kRts},
      {"RTS/CTS with RTS to be lowered: still the driver's", 0x10, 0x09, kDtr | kRts},
      {"DTR/DSR: DTR stays raised", 0x20, 0x03, kDtr | kRts},
      {"XON/XOFF and RTS/CTS", 0x90, 0x00, kDtr | kRts},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    FakeUart *u = open_fake_port();
    SioConfigureEx(0, 9600, 8, 1, 'N', row.flow, row.options);
    SioConfigureEx(0, 115200, 7, 2, 'E', row.flow, row.options);
    EXPECT_EQ(fake_uart_lines(u) & (kDtr | kRts), row.up);
    EXPECT_EQ(fake_uart_rts_meddling(u), 0u);
    SioClose(0);
    std::vector<int> history = fake_uart_line_history(u);
    ASSERT_FALSE(history.empty());
    EXPECT_EQ(history[0], kDtr | kRts) << "a tty open raises both";
    for (int lines : history) EXPECT_EQ(lines & row.up, row.up) << "a line kept up was lowered";
    EXPECT_EQ(fake_uart_lines(u) & row.up, row.up) << "the close leaves them up";
    close_fake_port();
  }
}

// Each row moves an input line or brings a line error; the handler hears the event,
// and the library's modem status byte (changes low, lines now high) and line status
// bits (0x01 data, 0x02 overrun, 0x04 parity, 0x08 framing, 0x10 break) say what it was.
TEST(Uart, ModemAndLineEventsReachTheHandler) {
  struct Row {
    const char *what; int line; bool up; int error; uint32_t event; uint8_t status, line_bits;  // error -1: none
  } rows[] = {
      {"CTS raised", TIOCM_CTS, true, -1, EV_CTS, 0x11, 0},
      {"DSR raised", TIOCM_DSR, true, -1, EV_DSR, 0x32, 0},
      {"carrier raised", TIOCM_CD, true, -1, EV_RLSD, 0xB8, 0},
      {"a ring (raised, and its trailing edge counted)", TIOCM_RNG, false, -1, EV_RING, 0xB4, 0},
      {"CTS lowered", TIOCM_CTS, false, -1, EV_CTS, 0xA1, 0},
      {"framing error", 0, false, FAKE_FRAMING, EV_ERR, 0xA0, 0x09},
      {"parity error", 0, false, FAKE_PARITY, EV_ERR, 0xA0, 0x05},
      {"overrun", 0, false, FAKE_OVERRUN, EV_ERR, 0xA0, 0x03},
      {"break", 0, false, FAKE_BREAK, EV_BREAK, 0xA0, 0x11},
  };
  FakeUart *u = open_fake_port(take_and_log);
  SioConfigure(0, 115200, 8, 1, 'N', 0);
  SioGetModemStatus(0, 0x0F), SioClearLineEvents(0);
  ASSERT_TRUE(wait_until([&] { return fake_uart_ioctl_count(u, TIOCMIWAIT) > 0; })) << "the modem thread waits";
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    clear_log();
    unsigned waits = fake_uart_ioctl_count(u, TIOCMIWAIT);
    if (row.line == TIOCM_RNG) fake_uart_set_line(u, row.line, true);
    if (row.error < 0) fake_uart_set_line(u, row.line, row.up);
    else fake_uart_line_error(u, FakeLineError(row.error));
    EXPECT_TRUE(wait_logged(row.event, 1));
    // The next change waits for the modem thread to wait again: TIOCMIWAIT counts from
    // its own call, so a change just before it would wait for a later one.
    EXPECT_TRUE(row.error >= 0 || wait_until([&] { return fake_uart_ioctl_count(u, TIOCMIWAIT) > waits; }));
    EXPECT_TRUE(row.error < 0 || wait_bytes(1)) << "the byte that came with it";
    EXPECT_EQ(SioGetModemStatus(0, 0x0F), row.status);
    EXPECT_EQ(SioClearLineEvents(0), row.line_bits);
  }
  close_fake_port();
}
