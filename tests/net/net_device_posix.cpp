// The network device's calls against the in-process server: the open (negotiation, a
// server that answers no command, refusals), data kept across a settings wait, reads
// that decode split sequences, purges, writes into a full socket, a server that
// closes at once, raw TCP. (Notifications are tested through the library.)
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

#include "fake_server.h"
#include "ser2net.h"
#include "serial/platform/posix/net_device.h"
#include "serial/platform/win32.h"

using namespace posix;

namespace {

typedef std::vector<uint8_t> Bytes;

long ms_since(std::chrono::steady_clock::time_point t) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t).count());
}

// Reads from the device until want data bytes came or it reports a hang-up.
Bytes read_data(int fd, size_t want) {
  Bytes got;
  Conn *c = net_conn(fd);
  while (got.size() < want) {
    struct pollfd p = {fd, POLLIN, 0};
    if (net_poll(&p, 1, 10000) <= 0) break;
    uint8_t buf[4096];
    ssize_t n = net_read(c, buf, sizeof buf);
    if (n < 0 && errno == EAGAIN) continue;
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
  }
  return got;
}

struct Server : ::testing::Test {
  void start(ServerMode mode) {
    std::string why;
    if (!server_start(&server, mode, &why)) GTEST_SKIP() << "skipped: " << why;
  }
  void TearDown() override {
    if (fd >= 0) net_close(net_conn(fd));
    server_stop(&server);
  }
  // Starts the server and opens the device on it; its connection, or null.
  Conn *open_on(ServerMode mode, bool rfc2217 = true) {
    start(mode);
    fd = net_open(server_url(server, rfc2217).c_str());
    return fd >= 0 ? net_conn(fd) : nullptr;
  }
  FakeServer server;
  int fd = -1;
};

}  // namespace

// The open negotiates the options and learns the line from the server. Data that
// arrives while a setting waits for its answer is kept for the next read, and poll()
// reports the descriptor readable though the socket is empty.
TEST_F(Server, OpenLearnsTheLineAndDataDuringASettingsWaitIsKept) {
  start(ServerMode::Answer);
  server.baud = 115200, server.parity = 3;
  fd = net_open(server_url(server).c_str());
  ASSERT_GE(fd, 0) << strerror(errno);
  Conn *c = net_conn(fd);
  struct termios t;
  ASSERT_EQ(net_tcgetattr(c, &t), 0);
  EXPECT_EQ(t.c_cflag & CBAUD, unsigned(B115200)) << "the speed the server told";
  EXPECT_EQ(t.c_cflag & (PARENB | PARODD), unsigned(PARENB)) << "even parity, as the server told";
  server_wait(&server, [&] { return server.commands.size() >= 5; });
  {
    std::lock_guard<std::mutex> hold(server.lock);
    typedef std::pair<uint8_t, uint8_t> Negotiation;
    for (Negotiation want : {Negotiation{telnet::WILL, 44}, {telnet::WILL, 0}, {telnet::DO, 0}})
      EXPECT_NE(std::find(server.negotiations.begin(), server.negotiations.end(), want), server.negotiations.end())
          << int(want.first) << " " << int(want.second);
    server.around = 1;  // SET-BAUDRATE
    server.before_answer = {'a', 255, 255};
    server.after_answer = {'b'};
  }
  cfsetspeed(&t, B230400);
  ASSERT_EQ(net_tcsetattr(c, &t), 0);
  ASSERT_EQ(net_tcgetattr(c, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), speed_t(B230400)) << "as the server confirmed";
  struct pollfd p = {fd, POLLIN, 0};
  EXPECT_EQ(net_poll(&p, 1, 0), 1) << "readable at once";
  EXPECT_EQ(read_data(fd, 3), (Bytes{'a', 255, 'b'}));
  EXPECT_EQ(net_poll(&p, 1, 0), 0) << "nothing more";
}

// Against a server that takes up the option but answers no command, the open takes
// its bound and no more; settings are kept as asked and sent without waiting again.
TEST_F(Server, ASilentServerCostsBoundedTime) {
  auto t0 = std::chrono::steady_clock::now();
  Conn *c = open_on(ServerMode::Silent);
  ASSERT_NE(c, nullptr) << strerror(errno);
  EXPECT_LT(ms_since(t0), 2000);
  struct termios t;
  for (speed_t speed : {B57600, B38400}) {  // the first waits its bound, the second not again
    ASSERT_EQ(net_tcgetattr(c, &t), 0);
    EXPECT_TRUE(speed == B57600 || cfgetospeed(&t) == B57600) << "kept as asked";
    cfsetspeed(&t, speed);
    t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(net_tcsetattr(c, &t), 0);
    EXPECT_LT(ms_since(t0), speed == B57600 ? 1000 : 100);
  }
  ASSERT_TRUE(server_wait(&server, [&] {
    return !server.commands.empty() && server.commands.back() == Bytes{1, 0, 0, 0x96, 0};
  })) << "SET-BAUDRATE 38400 sent all the same";
}

// A server that closes each connection at once (as ser2net does when it cannot open
// its device) fails the open quickly, not after the whole negotiation bound.
TEST_F(Server, RefusedTimedOutClosedAndUnknownFailWithTheirOwnErrors) {
  start(ServerMode::CloseAtOnce);
  uint16_t closed_port = 0;
  close(loopback_listen(1, &closed_port));  // nothing listens there now
  // A server that takes no connection: its backlog is full, so connects time out.
  uint16_t full_port = 0;
  int full = loopback_listen(0, &full_port);
  ASSERT_GE(full, 0);
  struct sockaddr_in a = {AF_INET, htons(full_port), {htonl(INADDR_LOOPBACK)}, {}};
  std::vector<int> waiting;
  for (int i = 0; i < 3; i++) {
    waiting.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    connect(waiting.back(), reinterpret_cast<sockaddr *>(&a), sizeof a);
  }
  struct Row { std::string path; int err; DWORD win32_error; } rows[] = {
      {"rfc2217://127.0.0.1:" + std::to_string(closed_port), ECONNREFUSED, ERROR_CONNECTION_REFUSED},
      {"tcp://127.0.0.1:" + std::to_string(full_port), ETIMEDOUT, ERROR_SEM_TIMEOUT},
      {server_url(server), ECONNRESET, ERROR_NETNAME_DELETED},
      {"tcp://no-such-host.invalid:2000", EADDRNOTAVAIL, ERROR_BAD_NETPATH},
      {"tcp://127.0.0.1", ENOENT, ERROR_FILE_NOT_FOUND},
      {"rfc2217://[::1:2000", ENOENT, ERROR_FILE_NOT_FOUND},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.path);
    errno = 0;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(net_open(row.path.c_str()), -1);
    EXPECT_EQ(errno, row.err) << strerror(errno);
    EXPECT_TRUE(row.err != ECONNRESET || ms_since(t0) < 400) << ms_since(t0) << " ms";
    setenv("TAVO_COM1", row.path.c_str(), 1);
    EXPECT_EQ(win32.CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(win32.GetLastError(), row.win32_error) << "the port's open";
  }
  for (int fd : waiting) close(fd);
  close(full);
}

// Sequences cut between two reads of the device decode whole: the device keeps its
// place in the stream between them.
TEST_F(Server, SequencesSplitAcrossReads) {
  Conn *c = open_on(ServerMode::Answer);
  ASSERT_NE(c, nullptr);
  Bytes wire = {'a', 255, 255, 'b'};
  Bytes note = com_port(107, {0x30});  // CTS and DSR up
  wire.insert(wire.end(), note.begin(), note.end());
  wire.push_back('c');
  for (size_t cut = 1; cut < wire.size(); cut++) {
    SCOPED_TRACE(cut);
    {
      std::lock_guard<std::mutex> hold(c->lock);
      c->modem_lines &= ~(TIOCM_CTS | TIOCM_DSR);
    }
    ASSERT_TRUE(server_send(&server, Bytes(wire.begin(), wire.begin() + long(cut))));
    Bytes got;
    // Takes what the first part holds before the rest is sent.
    for (int inq = 0; inq < int(cut);) {
      struct pollfd p = {fd, POLLIN, 0};
      ASSERT_GT(poll(&p, 1, 10000), 0);
      ioctl(fd, FIONREAD, &inq);
    }
    uint8_t buf[64];
    ssize_t n = net_read(c, buf, sizeof buf);
    if (n > 0) got.assign(buf, buf + n);
    ASSERT_TRUE(server_send(&server, Bytes(wire.begin() + long(cut), wire.end())));
    Bytes rest = read_data(fd, 4 - got.size());
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, (Bytes{'a', 255, 'b', 'c'}));
    int bits = 0;
    EXPECT_EQ(net_ioctl(c, TIOCMGET, &bits), 0);
    EXPECT_EQ(bits & (TIOCM_CTS | TIOCM_DSR), TIOCM_CTS | TIOCM_DSR);
  }
}

// An input purge drops what was received and what the server had sent before it
// purged its buffer (arriving after the purge was asked, with its answer in the same
// read); what it sends after its answer is kept.
TEST_F(Server, APurgeDropsWhatCameBeforeTheServersAnswer) {
  Conn *c = open_on(ServerMode::Answer);
  ASSERT_NE(c, nullptr);
  {
    std::lock_guard<std::mutex> hold(server.lock);
    server.around = 12;  // PURGE-DATA
    server.before_answer = {'l', 'a', 't', 'e'};
    server.after_answer = {'f', 'r', 'e', 's', 'h'};
  }
  ASSERT_TRUE(server_send(&server, Bytes{'s', 't', 'a', 'l', 'e'}));
  struct pollfd ready = {fd, POLLIN, 0};
  ASSERT_EQ(poll(&ready, 1, 10000), 1);
  int inq = 0;
  ASSERT_EQ(net_ioctl(c, FIONREAD, &inq), 0);
  ASSERT_EQ(inq, 5) << "the stale bytes have come";
  ASSERT_EQ(net_ioctl(c, TCFLSH, reinterpret_cast<void *>(intptr_t(TCIFLUSH))), 0);
  EXPECT_EQ(read_data(fd, 5), (Bytes{'f', 'r', 'e', 's', 'h'}));
  EXPECT_TRUE(server.commands.back() == Bytes({12, 1})) << "PURGE-DATA of the server's receive buffer";
}

// Writes into a socket that fills up: every 0xFF is doubled, and a write the socket cut
// in the middle of a doubled 0xFF still leaves the wire whole. The server receives
// exactly the bytes the writes reported written.
TEST_F(Server, FullSocketsNeverCutAnEscape) {
  Conn *c = open_on(ServerMode::Answer);
  ASSERT_NE(c, nullptr);
  Bytes out(65536, 0xFF);
  for (size_t i = 0; i < out.size(); i += 3) out[i] = uint8_t(i);
  size_t written = 0, halves = 0;
  Bytes sent;
  for (int round = 0; round < 20; round++) {
    server_pause(&server, true);
    for (size_t at = 0;;) {  // until the socket takes no more
      size_t len = std::min(out.size() - at, size_t(997 + 131 * round));  // fills end at varying places
      ssize_t n = net_write(c, out.data() + at, len);
      if (n < 0) {
        ASSERT_EQ(errno, EAGAIN);
        break;
      }
      sent.insert(sent.end(), out.begin() + long(at), out.begin() + long(at) + n);
      written += size_t(n), at = (at + size_t(n)) % out.size();
    }
    server_pause(&server, false);
    std::lock_guard<std::mutex> hold(c->lock);
    halves += c->out.size();
    // All but a 0xFF whose second half the device still holds.
    ASSERT_TRUE(server_wait(&server, [&] { return server.data.size() + 1 >= written; }));
  }
  // What the device still holds goes with the next write.
  ASSERT_EQ(net_write(c, "!", 1), 1);
  sent.push_back('!');
  ASSERT_TRUE(server_wait(&server, [&] { return server.data.size() == sent.size(); }))
      << server.data.size() << " of " << sent.size();
  EXPECT_TRUE(server.data == sent);
  EXPECT_EQ(server.state, 0) << "the server's parser is between data bytes";
  printf("%zu of 20 fills ended inside a doubled 0xFF\n", halves);
}

// Raw TCP: bytes as they are, modem lines refused as a pseudo-terminal refuses them
// (received bytes and settings are the ser2net test's raw TCP rows).
TEST_F(Server, RawTcp) {
  Conn *c = open_on(ServerMode::Raw, false);
  ASSERT_NE(c, nullptr);
  Bytes out = {0xFF, 13, 0, 0xFF, 0xFD, 44};
  ASSERT_EQ(net_write(c, out.data(), out.size()), ssize_t(out.size()));
  ASSERT_TRUE(server_wait(&server, [&] { return server.data.size() == out.size(); }));
  EXPECT_EQ(server.data, out);
  int bits = 0;
  for (unsigned long request : {TIOCMGET, TIOCMBIS, TIOCGICOUNT, TIOCSBRK}) {
    EXPECT_EQ(net_ioctl(c, request, &bits), -1);
    EXPECT_EQ(errno, ENOTTY) << request;
  }
  EXPECT_TRUE(server.commands.empty() && server.negotiations.empty()) << "nothing but data on the wire";
}
