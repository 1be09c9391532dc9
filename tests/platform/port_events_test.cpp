// Device events on a pseudo-terminal: WaitCommEvent for received bytes (as an edge),
// the event character, the 80 % mark, drained output, its end by SetCommMask, the
// hang-up of the far side, and what an idle port with a pending wait costs.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <vector>

#include "pty_port.h"

namespace {

using namespace pty_test;

class PortEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_open(&pair, 3));
    h = open_com("COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << "error " << win32.GetLastError();
    set_timeouts(h, MAXDWORD, 0, 0);
    ov = new_overlapped();
  }
  void TearDown() override {
    if (h != INVALID_HANDLE_VALUE) win32.CloseHandle(h);
    win32.CloseHandle(ov.hEvent);
    pty_close(&pair);
  }
  // Starts a wait; true when it is pending.
  bool start_wait() {
    word = 0xDEAD;
    if (win32.WaitCommEvent(h, &word, &ov)) return false;
    return win32.GetLastError() == ERROR_IO_PENDING;
  }
  // Waits for the pending wait to end; its event word, or 0xFFFFFFFF when it failed.
  DWORD finish_wait(DWORD ms = kHang) {
    if (win32.WaitForSingleObject(ov.hEvent, ms) != WAIT_OBJECT_0) return 0xEEEEEEEE;
    DWORD n;
    return win32.GetOverlappedResult(h, &ov, &n, FALSE) ? word : 0xFFFFFFFF;
  }
  PtyPair pair;
  HANDLE h = INVALID_HANDLE_VALUE;
  OVERLAPPED ov;
  DWORD word = 0;
};

TEST_F(PortEvents, ReceivedBytesAreAnEdge) {
  ASSERT_TRUE(win32.SetCommMask(h, EV_RXCHAR));
  ASSERT_TRUE(start_wait());
  ASSERT_TRUE(far_write(&pair, "ab", 2));
  EXPECT_EQ(finish_wait(), EV_RXCHAR);

  // The two bytes are unread: they do not end the next wait.
  ASSERT_TRUE(start_wait());
  EXPECT_EQ(win32.WaitForSingleObject(ov.hEvent, 200), WAIT_TIMEOUT) << "bytes already reported";
  COMSTAT st;
  DWORD errors = 0;
  ASSERT_TRUE(win32.ClearCommError(h, &errors, &st));
  EXPECT_EQ(st.cbInQue, 2u);
  ASSERT_TRUE(far_write(&pair, "c", 1));
  EXPECT_EQ(finish_wait(), EV_RXCHAR) << "a new byte does";

  char buf[8];
  DWORD got = 0;
  ASSERT_TRUE(win32.ReadFile(h, buf, sizeof buf, &got, &ov));
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(memcmp(buf, "abc", 3), 0);
}

TEST_F(PortEvents, SetCommMaskEndsAPendingWaitWithAnEmptyWord) {
  ASSERT_TRUE(win32.SetCommMask(h, EV_RXCHAR | EV_TXEMPTY));
  ASSERT_TRUE(start_wait());
  ASSERT_TRUE(win32.SetCommMask(h, 0));
  EXPECT_EQ(finish_wait(), 0u);
  DWORD mask = 1;
  ASSERT_TRUE(win32.GetCommMask(h, &mask));
  EXPECT_EQ(mask, 0u);
  // With an empty mask a wait stays pending (no spinning) until the mask changes.
  ASSERT_TRUE(start_wait());
  EXPECT_EQ(win32.WaitForSingleObject(ov.hEvent, 100), WAIT_TIMEOUT);
  ASSERT_TRUE(win32.SetCommMask(h, EV_RXCHAR));
  EXPECT_EQ(finish_wait(), 0u);
}

struct EventRow {
  const char *what;
  DWORD mask;
  DWORD in_queue;     // SetupComm input size, 0 to keep
  char evt_char;
  const char *far_bytes;  // sent by the far side
  const char *port_bytes; // written by the port
  DWORD expect;       // bits that must be in the word
};

TEST_F(PortEvents, EventKinds) {
  const EventRow rows[] = {
      {"a byte arrives", EV_RXCHAR, 0, 0, "x", "", EV_RXCHAR},
      {"the event character arrives", EV_RXFLAG, 0, '\n', "ab\n", "", EV_RXFLAG},
      {"output has drained", EV_TXEMPTY, 0, 0, "", "hello", EV_TXEMPTY},
      {"the input queue reaches 80 %", EV_RX80FULL, 100, 0,
       "0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567", "",
       EV_RX80FULL},
  };
  for (const EventRow &row : rows) {
    DCB dcb;
    ASSERT_TRUE(win32.GetCommState(h, &dcb));
    dcb.EvtChar = row.evt_char;
    ASSERT_TRUE(win32.SetCommState(h, &dcb)) << row.what;
    if (row.in_queue) {
      ASSERT_TRUE(win32.SetupComm(h, row.in_queue, 0));
    }
    ASSERT_TRUE(win32.SetCommMask(h, row.mask)) << row.what;
    ASSERT_TRUE(start_wait()) << row.what;
    if (*row.far_bytes) {
      ASSERT_TRUE(far_write(&pair, row.far_bytes, strlen(row.far_bytes)));
    }
    DWORD put = 0;
    OVERLAPPED wov = new_overlapped();
    if (*row.port_bytes) win32.WriteFile(h, row.port_bytes, strlen(row.port_bytes), &put, &wov);
    DWORD got = finish_wait();
    EXPECT_EQ(got & row.expect, row.expect) << row.what << ": word " << got;
    EXPECT_EQ(got & ~row.mask, 0u) << row.what << ": only masked events";
    win32.PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    char sink[256];
    far_read(&pair, sink, sizeof sink, 50);
    win32.CloseHandle(wov.hEvent);
  }
}

TEST_F(PortEvents, HangUpEndsPendingWaitsAndLaterCallsFailWithoutSpinning) {
  ASSERT_TRUE(win32.SetCommMask(h, EV_RXCHAR));
  ASSERT_TRUE(start_wait());
  set_timeouts(h, 0, 0, 0);  // a read waits for its bytes
  OVERLAPPED rov = new_overlapped();
  char buf[4];
  DWORD got = 0;
  ASSERT_FALSE(win32.ReadFile(h, buf, sizeof buf, &got, &rov));
  ASSERT_EQ(win32.GetLastError(), ERROR_IO_PENDING);

  close(pair.master);
  pair.master = -1;
  EXPECT_EQ(finish_wait(), 0xFFFFFFFF) << "the pending wait ends with an error";
  EXPECT_NE(win32.GetLastError(), 0u);
  ASSERT_EQ(win32.WaitForSingleObject(rov.hEvent, kHang), WAIT_OBJECT_0);
  EXPECT_FALSE(win32.GetOverlappedResult(h, &rov, &got, FALSE)) << "the pending read too";

  COMSTAT st;
  DWORD errors;
  EXPECT_FALSE(win32.ClearCommError(h, &errors, &st)) << "later calls fail";
  set_timeouts(h, MAXDWORD, 0, 0);
  EXPECT_FALSE(win32.ReadFile(h, buf, sizeof buf, &got, &rov));
  EXPECT_FALSE(win32.TransmitCommChar(h, 'x'));

  // A new wait blocks (an event loop calling it again does not spin) until the mask
  // changes; meanwhile the process uses no CPU to speak of.
  struct rusage before, after;
  getrusage(RUSAGE_SELF, &before);
  ASSERT_TRUE(start_wait());
  EXPECT_EQ(win32.WaitForSingleObject(ov.hEvent, 300), WAIT_TIMEOUT);
  getrusage(RUSAGE_SELF, &after);
  long us = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1000000L + after.ru_utime.tv_usec -
            before.ru_utime.tv_usec + (after.ru_stime.tv_sec - before.ru_stime.tv_sec) * 1000000L +
            after.ru_stime.tv_usec - before.ru_stime.tv_usec;
  EXPECT_LT(us, 30000) << "CPU spent while waiting on a hung-up port";
  ASSERT_TRUE(win32.SetCommMask(h, 0));
  EXPECT_EQ(finish_wait(), 0u);
  win32.CloseHandle(rov.hEvent);
}

long process_cpu_us() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000000L + ru.ru_utime.tv_usec + ru.ru_stime.tv_usec;
}

long monotonic_us() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000L + t.tv_nsec / 1000;
}

// An open port with a pending wait and nothing arriving uses under 1 % of a CPU; a
// byte from the far side ends the wait at once.
TEST_F(PortEvents, IdleCostAndWakeLatency) {
  ASSERT_TRUE(win32.SetCommMask(h, EV_RXCHAR));
  ASSERT_TRUE(start_wait());
  long cpu0 = process_cpu_us(), wall0 = monotonic_us();
  EXPECT_EQ(win32.WaitForSingleObject(ov.hEvent, 5000), WAIT_TIMEOUT);
  long cpu = process_cpu_us() - cpu0, wall = monotonic_us() - wall0;
  double percent = 100.0 * static_cast<double>(cpu) / static_cast<double>(wall);
  printf("idle port with a pending WaitCommEvent: %ld us CPU in %ld us (%.3f %% of a CPU)\n", cpu, wall, percent);
  EXPECT_LT(percent, 1.0);

  std::vector<long> latency;
  for (int i = 0; i < 101; i++) {
    if (i > 0) {
      ASSERT_TRUE(start_wait());
    }
    long t0 = monotonic_us();
    ASSERT_TRUE(far_write(&pair, "z", 1));
    ASSERT_EQ(win32.WaitForSingleObject(ov.hEvent, kHang), WAIT_OBJECT_0);
    latency.push_back(monotonic_us() - t0);
    DWORD n;
    ASSERT_TRUE(win32.GetOverlappedResult(h, &ov, &n, FALSE));
    ASSERT_EQ(word, EV_RXCHAR);
    char c;
    DWORD got = 0;
    OVERLAPPED rov = {};
    ASSERT_TRUE(win32.ReadFile(h, &c, 1, &got, &rov));
    ASSERT_EQ(got, 1u);
  }
  std::sort(latency.begin(), latency.end());
  printf("far-side byte to completed WaitCommEvent: median %ld us, min %ld us, max %ld us (%zu samples)\n",
         latency[latency.size() / 2], latency.front(), latency.back(), latency.size());
  EXPECT_LT(latency[latency.size() / 2], 20000) << "median wake-up in microseconds";
}

}  // namespace
