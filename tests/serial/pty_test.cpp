// The library on a pseudo-terminal pair (slave as COM1, the test as the far end): transfers,
// events, settings given back, a close mid-transfer, many cycles, a far end that hangs up.
#include <gtest/gtest.h>
#include <malloc.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <condition_variable>
#include <mutex>
#include <tuple>

#include "support.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define UNDER_SANITIZER 1
#else
#define UNDER_SANITIZER 0
#endif

namespace {

const size_t kMiB = 1024 * 1024;

// What the handler saw, filled on the library's threads (under mutex).
struct Link {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<uint8_t> received;
  uint64_t ring_empties = 0;
  uint32_t events_seen = 0;
} the_link;

// Takes every byte on EV_RXCHAR, as the host's handler does.
int32_t link_handler(uint8_t port, uint32_t events) {
  std::vector<uint8_t> got;
  uint8_t byte;
  if (events & EV_RXCHAR)
    for (uint32_t n; (n = SioPendingCount(port, 0)) != 0;)
      for (; n > 0 && SioGetByte(port, &byte); n--) got.push_back(byte);
  std::lock_guard<std::mutex> lock(the_link.mutex);
  the_link.received.insert(the_link.received.end(), got.begin(), got.end());
  the_link.ring_empties += (events & SIO_EV_TXRING_EMPTY) != 0;
  the_link.events_seen |= events;
  the_link.changed.notify_all();
  return 0;
}

void clear_received() {
  std::lock_guard<std::mutex> lock(the_link.mutex);
  the_link.received.clear();
}

template <class Pred>
bool wait_link(Pred pred, int timeout_ms = 20000) {
  std::unique_lock<std::mutex> lock(the_link.mutex);
  return the_link.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), pred);
}

// Queues all of `data`, waiting for the ring to run empty whenever it is full.
bool send_all(const std::vector<uint8_t> &data) {
  for (size_t sent = 0; sent < data.size();) {
    uint64_t empties;
    {
      std::lock_guard<std::mutex> lock(the_link.mutex);
      empties = the_link.ring_empties;
    }
    sent += SioTxRingWrite(0, data.data() + sent, uint32_t(std::min<size_t>(data.size() - sent, kMiB)));
    if (sent < data.size() && !wait_link([&] { return the_link.ring_empties > empties; })) return false;
  }
  return true;
}

class Pty : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!pty_open(&pty, 0, &why)) GTEST_SKIP() << "skipped: no pseudo-terminals here (" << why << ")";
    clear_received();
    // The thread sanitizer starts a helper with the first thread: let thread counts miss it.
    std::thread([] {}).join();
  }
  void TearDown() override {
    if (SioIsOpen(0)) SioClose(0);
    pty_close(&pty);
  }
  // Opens and sets up COM1 as an application does.
  void open_port(uint32_t baud) {
    ASSERT_EQ(SioProbePort(0), 1);
    SioOpen(0);
    ASSERT_TRUE(SioIsOpen(0)) << "last_error " << SioGetLastError(0);
    SioConfigure(0, baud, 8, 1, 'N', 0);
    SioSetEventMask(0, SIO_DEFAULT_EVENT_MASK | SIO_EV_TXRING_EMPTY, 0);
    SioSetEventHandler(0, link_handler);
  }
  PtyPair pty;
};

}  // namespace

TEST_F(Pty, OneMebibyteThroughASmallRingCompleteAndInOrder) {
  open_port(115200);
  SioSetBufferSizes(0, 4096, 4096);
  ASSERT_LT(rx_ring(0).size.load(), kMiB);
  std::vector<uint8_t> bytes = byte_stream(kMiB, 1);
  ASSERT_TRUE(fd_write_all(pty.master, bytes.data(), bytes.size()));
  EXPECT_TRUE(wait_link([&] { return the_link.received.size() >= bytes.size(); }));
  std::lock_guard<std::mutex> lock(the_link.mutex);
  EXPECT_TRUE(the_link.received == bytes) << the_link.received.size() << " bytes, not all in order";
}

TEST_F(Pty, FourMebibytesEachWayAtOnceAtEachSpeed) {
  for (uint32_t baud : {9600u, 76800u, 115200u}) {
    SCOPED_TRACE(baud);
    open_port(baud);
    EXPECT_EQ(SioGetBaud(0), baud);
    std::vector<uint8_t> out = byte_stream(4 * kMiB, baud), in = byte_stream(4 * kMiB, baud + 1), far_got;
    std::thread far_reader([&] { fd_read_until(pty.master, &far_got, out.size(), 20000); });
    std::thread far_writer([&] { fd_write_all(pty.master, in.data(), in.size()); });
    EXPECT_TRUE(send_all(out));
    far_writer.join(), far_reader.join();
    EXPECT_TRUE(wait_link([&] { return the_link.received.size() >= in.size(); }));
    EXPECT_TRUE(far_got == out) << "the far end read " << far_got.size() << " bytes, not all in order";
    EXPECT_TRUE(wait_link([&] { return the_link.received == in; }, 0)) << "the port received other bytes";
    clear_received();
    const uint32_t seen = EV_TXEMPTY | SIO_EV_TXRING_EMPTY | EV_RXCHAR;  // EV_TXEMPTY once the bytes are gone
    EXPECT_TRUE(wait_link([&] { return (the_link.events_seen & seen) == seen; })) << "the handler's events";
    EXPECT_EQ(SioGetLastError(0), 0);
    SioClose(0);
  }
}

TEST_F(Pty, TheDeviceGetsItsOwnSettingsBack) {
  struct termios before, after;
  ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
  cfmakeraw(&before);
  cfsetspeed(&before, B1200);
  before.c_cflag |= PARENB | CSTOPB, before.c_iflag |= IXON | IXOFF;
  before.c_cc[VMIN] = 3, before.c_cc[VTIME] = 7;
  ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &before), 0);
  ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
  open_port(115200);
  SioConfigure(0, 76800, 7, 2, 'O', 0x80);
  std::vector<uint8_t> bytes(1000, 'u'), far_got;
  ASSERT_TRUE(send_all(bytes));
  fd_read_until(pty.master, &far_got, bytes.size(), 10000);
  SioClose(0);
  ASSERT_EQ(tcgetattr(pty.slave, &after), 0);
  auto fields = [](const struct termios &t) {
    return std::make_tuple(t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag, cfgetispeed(&t), cfgetospeed(&t),
                           std::vector<cc_t>(t.c_cc, t.c_cc + NCCS));
  };
  EXPECT_EQ(fields(before), fields(after));
}

TEST_F(Pty, StuckOrHungUpFarEnds) {
  struct Row { const char *what; bool hang_up; } rows[] = {
      {"nobody reads: the ring stays full behind a write that does not end; the close takes < 1 s", false},
      {"the far end hangs up: no thread spins, the close takes < 1 s", true},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    clear_received();
    long threads = count_threads();
    open_port(115200);
    std::vector<uint8_t> in = byte_stream(2000, 3), out = byte_stream(kMiB, 4);
    ASSERT_TRUE(fd_write_all(pty.master, in.data(), in.size()));  // bytes wait on the way in too
    if (row.hang_up) {
      ASSERT_TRUE(wait_link([] { return the_link.received.size() >= 2000; }));
      close(pty.master), pty.master = -1;
      SioTxRingWrite(0, out.data(), 3000);  // they cannot go anywhere: the writer keeps them
      std::clock_t cpu_start = std::clock();
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // a measurement window
      EXPECT_LT(double(std::clock() - cpu_start) * 1000 / CLOCKS_PER_SEC, 75) << "ms of CPU time in 1500 ms";
    } else {
      size_t queued = 0;
      ASSERT_TRUE(wait_until([&] {
        queued += SioTxRingWrite(0, out.data() + queued, uint32_t(out.size() - queued));
        return tx_ring(0).count.load() == tx_ring(0).size.load() && table().tx_in_flight[0].load() != 0;
      }));
    }
    auto start = std::chrono::steady_clock::now();
    SioClose(0);
    EXPECT_LT(elapsed_ms(start), 1000);
    EXPECT_TRUE(wait_until([&] { return count_threads() == threads; })) << "the port's threads ended";
  }
}

TEST_F(Pty, ManyCyclesLeaveNoThreadDescriptorOrMemoryBehind) {
  const int cycles = 1000;
  const uint8_t ping[] = {0x11, 0x13, 0x00, 0xFF, 'x', '\r', '\n', 0x7F};
  const std::vector<uint8_t> expected(ping, ping + sizeof ping);
  auto one_cycle = [&](int i) {
    clear_received();
    open_port(i % 2 ? 9600 : 115200);
    ASSERT_EQ(SioTxRingWrite(0, ping, sizeof ping), sizeof ping);
    std::vector<uint8_t> far_got;
    fd_read_until(pty.master, &far_got, sizeof ping, 10000);
    ASSERT_EQ(far_got, expected);
    ASSERT_TRUE(fd_write_all(pty.master, ping, sizeof ping));
    ASSERT_TRUE(wait_link([&] { return the_link.received == expected; }, 10000));
    SioClose(0);
  };
  long threads = count_threads();
  one_cycle(0);  // the first cycle sets up what lives as long as the process
  ASSERT_TRUE(wait_until([&] { return count_threads() == threads; }));
  long fds = count_descriptors();
  struct mallinfo2 heap_before = mallinfo2();
  for (int i = 1; i <= cycles && !HasFatalFailure(); i++) one_cycle(i);
  EXPECT_TRUE(wait_until([&] { return count_threads() == threads; })) << count_threads() << " threads";
  EXPECT_EQ(count_descriptors(), fds);
  if (!UNDER_SANITIZER) {
    // A block lost a cycle (32 bytes at least) shows; cached thread stacks move a few KiB.
    struct mallinfo2 heap_after = mallinfo2();
    long grown = long(heap_after.uordblks + heap_after.hblkhd) - long(heap_before.uordblks + heap_before.hblkhd);
    EXPECT_LT(grown, 16L * cycles) << "bytes in use on the heap grew by " << grown;
  }
}
