// The library on an RFC 2217 port of the in-process server, for what ser2net on a
// pseudo-terminal cannot show: modem-line and line-state notifications as the
// library's events and status, DTR and RTS as port commands, and the server going away.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "fake_server.h"
#include "serial/support.h"

namespace {

struct FakePort : ::testing::Test {
  void SetUp() override {
    std::string why;
    if (!server_start(&server, ServerMode::Answer, &why)) GTEST_SKIP() << "skipped: " << why;
    setenv("TAVO_COM1", server_url(server).c_str(), 1);
    clear_log();
    SioOpen(0);
    ASSERT_TRUE(SioIsOpen(0)) << "last_error " << SioGetLastError(0);
    SioConfigure(0, 115200, 8, 1, 'N', 0);
    SioSetEventMask(0, SIO_DEFAULT_EVENT_MASK, 0);
    SioSetEventHandler(0, log_event);
  }
  void TearDown() override { SioClose(0), server_stop(&server); }
  // Whether the server's last SET-CONTROL had this value.
  bool control_sent(uint8_t value) {
    return server_wait(&server, [&] {
      for (auto it = server.commands.rbegin(); it != server.commands.rend(); ++it) {
        if ((*it)[0] == 5) return it->size() == 2 && (*it)[1] == value;
      }
      return false;
    });
  }
  FakeServer server;
};

}  // namespace

TEST_F(FakePort, NotificationsBecomeEventsAndStatus) {
  struct Row { const char *what; uint8_t code, value; uint32_t event; uint8_t modem; /* its high nibble after */ } rows[] = {
      {"CTS and carrier rise", 107, 0x80 | 0x10 | 0x08 | 0x01, EV_CTS | EV_RLSD, 0x90},
      {"DSR rises, carrier falls", 107, 0x10 | 0x20 | 0x08 | 0x02, EV_DSR | EV_RLSD, 0x30},
      {"a ring", 107, 0x30 | 0x40, EV_RING, 0x70},
      {"a break", 106, 0x10, EV_BREAK, 0x70},
      {"a framing error", 106, 0x08, EV_ERR, 0x70},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    clear_log();
    ASSERT_TRUE(server_send(&server, com_port(row.code, {row.value})));
    for (uint32_t bit = 1; bit < 0x1000; bit <<= 1)
      EXPECT_TRUE(!(row.event & bit) || wait_logged(bit, 1)) << "event " << bit;
    EXPECT_EQ(SioGetModemStatus(0, 0xFF) & 0xF0, row.modem);
  }
  EXPECT_EQ(SioClearLineEvents(0) & 0x18, 0x18) << "break and framing error as line status";
  // Quiet again, the port costs no CPU: no notification left it polling.
  struct timespec t0, t1;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t0);
  EXPECT_FALSE(wait_logged(EV_RXCHAR, 1, 1000));
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t1);
  EXPECT_LT((t1.tv_sec - t0.tv_sec) * 1000000 + (t1.tv_nsec - t0.tv_nsec) / 1000, 10000) << "us of CPU in a quiet second";
}

TEST_F(FakePort, LinesAsCommandsAndTheServerGoingAway) {
  SioClearDtr(0);
  EXPECT_TRUE(control_sent(9)) << "DTR low";
  SioSetRts(0);
  EXPECT_TRUE(control_sent(11)) << "RTS high";
  SioSetDtr(0);
  EXPECT_TRUE(control_sent(8)) << "DTR high";
  HANDLE h = table().ports[0].handle.load();
  server_drop(&server);
  DWORD errors = 0;
  EXPECT_TRUE(wait_until([&] { return !win32.ClearCommError(h, &errors, nullptr); }));
  EXPECT_EQ(win32.GetLastError(), DWORD(ERROR_BAD_COMMAND)) << "a lost device, as a tty that hung up";
}
