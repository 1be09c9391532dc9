// The receive path against a pseudo-terminal pair: what the far end sends comes out
// of SioPendingCount and SioGetByte complete and in order, however small the ring.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "library_hooks.h"

static std::mutex arrival_mutex;
static std::condition_variable arrival;
static uint64_t arrivals = 0;  // handler calls with EV_RXCHAR (arrival_mutex)

static int32_t NoteArrival(uint8_t, uint32_t events) {
  if (events & EV_RXCHAR) {
    std::lock_guard<std::mutex> lock(arrival_mutex);
    arrivals++;
    arrival.notify_all();
  }
  return 0;
}

static uint64_t ArrivalsNow(void) {
  std::lock_guard<std::mutex> lock(arrival_mutex);
  return arrivals;
}

// Blocks until the handler has seen an arrival after `seen`, or `ms` pass.
static void WaitForArrivalAfter(uint64_t seen, int ms) {
  std::unique_lock<std::mutex> lock(arrival_mutex);
  arrival.wait_for(lock, std::chrono::milliseconds(ms), [&] { return arrivals != seen; });
}

// The far end: writes all of `bytes` to the master, discarding whatever comes back
// (so that an echo could never block the line). Gives up after 60 s, or when `quit`
// is set.
static bool FarEndSend(int master, const std::vector<uint8_t> &bytes, const std::atomic<bool> &quit) {
  size_t sent = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (sent < bytes.size() && !quit.load() && std::chrono::steady_clock::now() < deadline) {
    struct pollfd pfd = {master, POLLIN | POLLOUT, 0};
    if (poll(&pfd, 1, 1000) < 0 && errno != EINTR) return false;
    if (pfd.revents & POLLIN) {
      uint8_t discard[4096];
      if (read(master, discard, sizeof discard) < 0 && errno != EAGAIN) return false;
    }
    if (pfd.revents & POLLOUT) {
      ssize_t n = write(master, bytes.data() + sent, bytes.size() - sent);
      if (n > 0) sent += size_t(n);
      else if (n < 0 && errno != EAGAIN) return false;
    }
  }
  return sent == bytes.size();
}

TEST(ReceivePty, OneMebibyteCompleteAndInOrderThroughASmallRing) {
  int master = -1, slave = -1;
  char path[128];
  if (openpty(&master, &slave, path, nullptr, nullptr) != 0)
    GTEST_SKIP() << "skipped: no pseudo-terminal pair: " << strerror(errno);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  setenv("TAVO_COM1", path, 1);

  SioOpen(0);
  ASSERT_TRUE(SioIsOpen(0)) << "the pseudo-terminal " << path << " did not open";
  SioConfigure(0, 115200, 8, 1, 'N', 0);
  SioSetBufferSizes(0, 4096, 4096);
  SioSetEventMask(0, EV_RXCHAR, 0);
  SioSetEventHandler(0, NoteArrival);
  const size_t total = 1u << 20;
  ASSERT_LT(rx_ring(0).size.load(), total);

  std::vector<uint8_t> bytes(total);
  for (size_t i = 0; i < total; i++) bytes[i] = uint8_t((i * 7 + (i >> 8) + (i >> 16)) & 0xFF);
  bool far_ok = false;
  std::atomic<bool> quit{false};
  std::thread far([&] { far_ok = FarEndSend(master, bytes, quit); });

  size_t got = 0;
  int idle_rounds = 0;
  bool failed = false;
  while (got < total && idle_rounds < 20 && !failed) {
    uint64_t seen = ArrivalsNow();
    uint32_t pending = SioPendingCount(0, 0);
    if (pending == 0) {
      WaitForArrivalAfter(seen, 1000);  // an idle round only ends on a hang
      idle_rounds++;
      continue;
    }
    idle_rounds = 0;
    for (uint32_t i = 0; i < pending && !failed; i++) {
      uint8_t byte = 0;
      if (SioGetByte(0, &byte) != 1) {
        ADD_FAILURE() << "no byte " << got << " (" << i << " of a count of " << pending << ")";
        failed = true;
      } else if (got >= total || byte != bytes[got]) {
        ADD_FAILURE() << "byte " << got << " wrong or beyond what was sent";
        failed = true;
      } else {
        got++;
      }
    }
  }
  quit.store(true);
  far.join();
  EXPECT_TRUE(far_ok || failed);
  EXPECT_EQ(got, total);
  EXPECT_EQ(SioPendingCount(0, 0), 0u);
  SioClose(0);
  close(slave);
  close(master);
}
