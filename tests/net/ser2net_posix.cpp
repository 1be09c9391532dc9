// The library on a network port through ser2net (RFC 2217 and raw TCP), with the
// test as the board on ser2net's pseudo-terminal: transfers of every byte value, line
// settings that reach the device, a purge, received-byte events and an idle port's cost.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>

#include "ser2net.h"
#include "serial/support.h"

namespace {

long cpu_usec() {
  struct timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return long(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

struct Ser2netPort : ::testing::TestWithParam<bool> {
  void SetUp() override {
    std::string why;
    if (!ser2net_start(&server, GetParam(), &why)) GTEST_SKIP() << "skipped: " << why;
    setenv("TAVO_COM1", ser2net_url(server).c_str(), 1);
    clear_log();
  }
  void TearDown() override { SioClose(0), ser2net_close(&server); }
  // Opens COM1 as an application does: 115200 8N1, the default events, a handler
  // that takes what arrives.
  void open_port(PortEventHandler handler = take_and_log) {
    SioOpen(0);
    ASSERT_TRUE(SioIsOpen(0)) << "last_error " << SioGetLastError(0) << "; ser2net: " << ser2net_output(server);
    SioConfigure(0, 115200, 8, 1, 'N', 0);
    ASSERT_EQ(SioGetLastError(0), 0);
    SioSetEventMask(0, SIO_DEFAULT_EVENT_MASK | SIO_EV_TXRING_EMPTY, 0);
    if (handler) SioSetEventHandler(0, handler);
  }
  Ser2net server;
};

// The telnet stream's own bytes among the data: doubled, never confused with commands,
// no NUL after a CR and no CR LF rewritten.
std::vector<uint8_t> telnet_trouble() {
  std::vector<uint8_t> b = {0xFF, 0xFF, 0xFF, 13, 0, 13, 10, 13, 0xFF, 0xFA, 44, 1, 0xFF, 0xF0, 0xFF, 0xFD, 44};
  for (int i = 0; i < 256; i++) b.push_back(uint8_t(i)), b.push_back(0xFF);
  return b;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Rfc2217AndRawTcp, Ser2netPort, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &info) { return info.param ? "rfc2217" : "tcp"; });

TEST_P(Ser2netPort, AMebibyteOfEveryByteValueEachWay) {
  open_port();
  std::vector<uint8_t> out = telnet_trouble(), in = telnet_trouble(), far_got;
  for (auto *way : {&out, &in}) {
    std::vector<uint8_t> more = byte_stream(1 << 20, way == &out ? 1 : 2);
    way->insert(way->end(), more.begin(), more.end());
  }
  std::thread far_reader([&] { fd_read_until(server.master, &far_got, out.size(), 20000); });
  std::thread far_writer([&] { fd_write_all(server.master, in.data(), in.size()); });
  EXPECT_TRUE(send_all(out));
  far_writer.join(), far_reader.join();
  EXPECT_TRUE(wait_bytes(in.size()));
  EXPECT_TRUE(far_got == out) << "the board read " << far_got.size() << " of " << out.size() << " bytes, not all as sent";
  EXPECT_TRUE(logged_bytes() == in) << "the port received " << logged_bytes().size() << " of " << in.size()
                                    << " bytes, not all as sent";
  EXPECT_EQ(SioGetLastError(0), 0);
}

// Speed and stop bits show on the device's termios (a pseudo-terminal keeps 8 data
// bits and no parity whatever it is told); the library reads back what the server
// confirmed. Over raw TCP the settings stay with the handle and the device keeps its own.
TEST_P(Ser2netPort, LineSettingsReachTheDevice) {
  open_port(nullptr);
  const struct { uint32_t baud; uint8_t bits, stop; char parity; speed_t code; } rows[] = {
      {57600, 8, 1, 'N', B57600}, {19200, 7, 2, 'E', B19200}, {230400, 8, 2, 'O', B230400}, {9600, 8, 1, 'N', B9600}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.baud);
    SioConfigure(0, row.baud, row.bits, row.stop, row.parity, 0);
    ASSERT_EQ(SioGetLastError(0), 0);
    DCB dcb;
    SioGetDcb(0, &dcb);
    EXPECT_EQ(dcb.BaudRate, row.baud);
    EXPECT_EQ(dcb.ByteSize, row.bits);
    EXPECT_EQ(dcb.StopBits, row.stop == 2 ? TWOSTOPBITS : ONESTOPBIT);
    EXPECT_EQ(dcb.Parity, row.parity == 'N' ? NOPARITY : row.parity == 'E' ? EVENPARITY : ODDPARITY);
    struct termios t;
    ASSERT_EQ(tcgetattr(server.slave, &t), 0);
    if (GetParam()) {
      EXPECT_EQ(cfgetospeed(&t), row.code) << "the device's speed";
      EXPECT_EQ((t.c_cflag & CSTOPB) != 0, row.stop == 2) << "the device's stop bits";
    } else {
      EXPECT_NE(cfgetospeed(&t), row.code) << "the device keeps the server's setting";
    }
  }
}

// What was received and not yet taken goes with a purge; what comes after arrives.
// Received bytes are announced by EV_RXCHAR; an idle port costs no CPU.
TEST_P(Ser2netPort, PurgeEventsAndIdleCost) {
  open_port(log_event);
  const uint8_t stale[] = "stale", fresh[] = "fresh";
  ASSERT_TRUE(fd_write_all(server.master, stale, 5));
  ASSERT_TRUE(wait_logged(EV_RXCHAR, 1));
  ASSERT_TRUE(wait_until([] { return SioPendingCount(0, 0) + SioGetDriverQueueCount(0, 0) >= 5; }));
  SioFlush(0, 0);
  EXPECT_EQ(SioPendingCount(0, 0), 0u);
  size_t events = logged_count(EV_RXCHAR);
  ASSERT_TRUE(fd_write_all(server.master, fresh, 5));
  ASSERT_TRUE(wait_logged(EV_RXCHAR, events + 1));
  std::vector<uint8_t> got;
  ASSERT_TRUE(wait_until([&] {
    uint8_t buf[16];
    uint32_t n = SioGetBytes(0, buf, sizeof buf);
    got.insert(got.end(), buf, buf + n);
    return got.size() >= 5;
  }));
  EXPECT_EQ(std::string(got.begin(), got.end()), "fresh");

  long cpu0 = cpu_usec();
  auto wall0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(wait_logged(EV_RXCHAR, logged_count(EV_RXCHAR) + 1, 2000)) << "nothing arrives";
  double percent = 100.0 * double(cpu_usec() - cpu0) / double(elapsed_ms(wall0) * 1000);
  printf("idle network port: %.3f %% of a CPU\n", percent);
  EXPECT_LT(percent, 1.0);
}
