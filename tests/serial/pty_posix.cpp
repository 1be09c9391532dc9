// The library on a pseudo-terminal pair (POSIX only; slave as COM1, the test as the far end):
// transfers both ways, a line that holds, many open-close cycles.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include "support.h"

namespace {

const size_t kMiB = 1024 * 1024;

// Opens and sets up COM1 as an application does.
void open_port(uint32_t baud) {
  clear_log();
  ASSERT_EQ(SioProbePort(0), 1);
  SioOpen(0);
  ASSERT_TRUE(SioIsOpen(0)) << "last_error " << SioGetLastError(0);
  SioConfigure(0, baud, 8, 1, 'N', 0);
  SioSetEventMask(0, SIO_DEFAULT_EVENT_MASK | SIO_EV_TXRING_EMPTY, 0);
  SioSetEventHandler(0, take_and_log);
}


// A handler that holds its first call until the gate opens, so that received bytes
// pile up behind it in the library and the driver.
std::mutex gate_mutex;
std::condition_variable gate_changed;
bool gate_open = true;

int32_t gated_take_and_log(uint8_t port, uint32_t events) {
  std::unique_lock<std::mutex> lock(gate_mutex);
  gate_changed.wait(lock, [] { return gate_open; });
  lock.unlock();
  return take_and_log(port, events);
}

void set_gate(bool open) {
  std::lock_guard<std::mutex> lock(gate_mutex);
  gate_open = open;
  gate_changed.notify_all();
}

long cpu_us(void) {
  struct timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return long(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

class Pty : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!pty_open(&pty, 0, &why)) GTEST_SKIP() << "skipped: no pseudo-terminals here (" << why << ")";
    std::thread([] {}).join();  // the thread sanitizer's helper starts with the first thread: not counted
  }
  void TearDown() override { SioClose(0), pty_close(&pty); }
  PtyPair pty;
};

}  // namespace

TEST_F(Pty, FourMebibytesEachWayAtOnce) {
  struct Row { uint32_t baud; bool small_rings; } rows[] = {{9600, false}, {76800, true}, {115200, false}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.baud);
    open_port(row.baud);
    if (row.small_rings) SioSetBufferSizes(0, 4096, 4096);  // both rings wrap a thousand times
    std::vector<uint8_t> out = byte_stream(4 * kMiB, row.baud), in = byte_stream(4 * kMiB, row.baud + 1), far_got;
    std::thread far_reader([&] { fd_read_until(pty.master, &far_got, out.size(), 20000); });
    std::thread far_writer([&] { fd_write_all(pty.master, in.data(), in.size()); });
    EXPECT_TRUE(send_all(out));
    far_writer.join(), far_reader.join();
    EXPECT_TRUE(wait_bytes(in.size()));
    EXPECT_TRUE(far_got == out) << "the far end read " << far_got.size() << " bytes, not all in order";
    EXPECT_TRUE(logged_bytes() == in) << "the port received other bytes";
    for (uint32_t bit : {EV_TXEMPTY, SIO_EV_TXRING_EMPTY, EV_RXCHAR}) EXPECT_TRUE(wait_logged(bit, 1)) << bit;
    EXPECT_EQ(SioGetLastError(0), 0);
    SioClose(0);
  }
}

// Nobody reads at the far end: the ring stays full behind a write that does not end,
// with received bytes waiting too, and the close still takes less than a second.
TEST_F(Pty, AHeldLineAndAQuickClose) {
  long threads = count_threads();
  open_port(115200);
  std::vector<uint8_t> in = byte_stream(2000, 3), out = byte_stream(kMiB, 4);
  ASSERT_TRUE(fd_write_all(pty.master, in.data(), in.size()));
  size_t queued = 0;
  ASSERT_TRUE(wait_until([&] {
    queued += SioTxRingWrite(0, out.data() + queued, uint32_t(out.size() - queued));
    return table().tx_rings[0].count.load() == table().tx_rings[0].size.load() && table().tx_in_flight[0].load() != 0;
  }));
  auto start = std::chrono::steady_clock::now();
  SioClose(0);
  EXPECT_LT(elapsed_ms(start), 1000);
  EXPECT_TRUE(wait_until([&] { return count_threads() == threads; })) << "the port's threads ended";
}

// The far end sends and hangs up before the application takes anything (no device
// event is asked for): the bytes the port received before the hang-up are delivered,
// in order, and then no more.
TEST_F(Pty, BytesReceivedBeforeAHangUpAreDelivered) {
  open_port(115200);
  SioSetEventMask(0, SIO_EV_TXRING_EMPTY, 0);
  std::vector<uint8_t> in = byte_stream(3000, 11), got(in.size() + 1);
  ASSERT_TRUE(fd_write_all(pty.master, in.data(), in.size()));
  // The kernel drops at the hang-up what the port has not read from it: wait until
  // every byte has reached the device's queue, then until the port has read them all.
  int unread = -1;
  ASSERT_TRUE(wait_until([&] { return SioGetDriverQueueCount(0, 0) == in.size(); }));
  ASSERT_TRUE(wait_until([&] { return ioctl(pty.slave, FIONREAD, &unread) == 0 && unread == 0; }));
  close(pty.master), pty.master = -1;
  DCB dcb;
  ASSERT_TRUE(wait_until([&] { return !win32.GetCommState(table().ports[0].handle.load(), &dcb); })) << "hung up";
  size_t n = 0;
  for (uint32_t more = 1; n < got.size() && more > 0; n += more) more = SioGetBytes(0, &got[n], uint32_t(got.size() - n));
  got.resize(n);
  EXPECT_TRUE(got == in) << n << " of " << in.size() << " bytes, in order";
}

// A pseudo-terminal keeps no parity: the rest of a configuration that asks for one
// reaches the device all the same, and the port gives the whole of it back.
TEST_F(Pty, AConfigurationWithParity) {
  open_port(115200);
  SioConfigure(0, 9600, 8, 2, 'O', 0x80);
  struct termios t;
  DCB dcb;
  ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
  EXPECT_TRUE(cfgetospeed(&t) == B9600 && (t.c_cflag & CSTOPB) && (t.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF))
      << "9600 baud, two stop bits, XON/XOFF on the device";
  SioGetDcb(0, &dcb);
  EXPECT_TRUE(dcb.BaudRate == 9600 && dcb.Parity == ODDPARITY && dcb.StopBits == TWOSTOPBITS && dcb.fOutX && dcb.fInX);
}

// Memory lost a cycle is left to the address sanitizer's leak check.
TEST_F(Pty, ManyCyclesLeaveNoThreadOrDescriptorBehind) {
  const std::vector<uint8_t> ping = {0x11, 0x13, 0x00, 0xFF, 'x', '\r', '\n', 0x7F};
  long threads = count_threads(), fds = 0;
  for (int i = 0; i <= 1000 && !HasFatalFailure(); i++) {
    if (i == 1) fds = count_descriptors();  // the first cycle sets up what lives as long as the process
    open_port(i % 2 ? 9600 : 115200);
    ASSERT_EQ(SioTxRingWrite(0, ping.data(), 8), 8u);
    std::vector<uint8_t> far_got;
    fd_read_until(pty.master, &far_got, 8);
    ASSERT_EQ(far_got, ping);
    ASSERT_TRUE(fd_write_all(pty.master, ping.data(), 8) && wait_bytes(8));
    ASSERT_EQ(logged_bytes(), ping);
    SioClose(0);
  }
  EXPECT_TRUE(wait_until([&] { return count_threads() == threads; })) << count_threads() << " threads";
  EXPECT_EQ(count_descriptors(), fds);
}

// The far side sends, then hangs up while the handler (mask EV_RXCHAR alone) is still
// busy with the first bytes: every byte reaches it, then the loss, once. The lost port
// uses no processor time, says so in its last error, and closes at once, leaving no
// thread or descriptor behind. Three losses in a row, one per open.
TEST_F(Pty, ALostDeviceDeliversEveryByteThenOneLossAndClosesAtOnce) {
  long threads = count_threads(), fds = -1;  // fds: after the first close (which keeps
  for (int loss = 0; loss < 3 && !HasFatalFailure(); loss++) {  // what lives as long as the process)
    SCOPED_TRACE(loss);
    std::string why;
    if (loss > 0) {
      ASSERT_TRUE(pty_open(&pty, 0, &why)) << why;
    }
    open_port(115200);
    SioSetEventMask(0, EV_RXCHAR, 0);
    SioSetEventHandler(0, gated_take_and_log);
    set_gate(false);
    // Fewer bytes than the smallest input queue of the port: with the handler held,
    // nothing else takes them from there.
    std::vector<uint8_t> in = byte_stream(1500, 40 + loss);
    ASSERT_TRUE(fd_write_all(pty.master, in.data(), in.size()));
    // A hang-up discards what the tty still holds: wait until every byte has reached the
    // port (its count holds them all) and none is left in the tty.
    ASSERT_TRUE(wait_until([&] {
      DWORD errors = 0;
      COMSTAT stat = {};
      int held = -1;
      return win32.ClearCommError(table().ports[0].handle.load(), &errors, &stat) && stat.cbInQue == in.size() &&
             ioctl(pty.slave, FIONREAD, &held) == 0 && held == 0;
    }));
    close(pty.master), pty.master = -1;
    set_gate(true);
    ASSERT_TRUE(wait_logged(SIO_EV_PORT_LOST, 1));
    EXPECT_TRUE(logged_bytes() == in) << logged_bytes().size() << " of " << in.size() << " bytes delivered";
    std::vector<uint32_t> words = logged_words();
    EXPECT_EQ(words.back(), SIO_EV_PORT_LOST) << "the loss comes last, alone";
    long cpu = cpu_us();
    usleep(300000);  // the measurement itself: the lost port's threads stay asleep
    EXPECT_LT(cpu_us() - cpu, 20000) << "processor time used by a lost port";
    EXPECT_EQ(logged_count(SIO_EV_PORT_LOST), 1u);
    EXPECT_TRUE(SioIsOpen(0) && SioGetLastError(0) == SIO_ERR_PORT_LOST) << SioGetLastError(0);
    EXPECT_EQ(SioTxRingWrite(0, in.data(), 10), 10u) << "the ring still takes bytes; they wait for the close";
    auto start = std::chrono::steady_clock::now();
    SioClose(0);
    EXPECT_LT(elapsed_ms(start), 500) << "the close of a lost port";
    pty_close(&pty);
    EXPECT_TRUE(wait_until([&] { return count_threads() == threads; })) << count_threads() << " threads";
    if (loss == 0) fds = count_descriptors();
    EXPECT_EQ(count_descriptors(), fds);
  }
}
