// Device events on a pseudo-terminal: WaitCommEvent for received bytes (as an edge),
// the event character, the 80 % mark, drained output, its end by SetCommMask, the
// hang-up of the far side, waits that poll the device on the waiting thread, and what
// an idle port with a pending wait costs.
#include <time.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "pty_port.h"

namespace {

long usec(clockid_t clock) {  // CLOCK_PROCESS_CPUTIME_ID counts every thread's CPU time
  struct timespec t;
  clock_gettime(clock, &t);
  return t.tv_sec * 1000000L + t.tv_nsec / 1000;
}

TEST_F(PtyPort, ReceivedBytesAreAnEdgeAndAMaskChangeEndsTheWait) {
  ASSERT_TRUE(win32.SetCommMask(h, EV_RXCHAR) && start_wait() && far_write("ab"));
  EXPECT_EQ(finish_wait(), DWORD(EV_RXCHAR));
  ASSERT_TRUE(start_wait());
  EXPECT_EQ(finish_wait(200), 0xEEEEEEEE) << "two unread bytes, already reported, do not end the next wait";
  ASSERT_TRUE(far_write("c"));
  EXPECT_EQ(finish_wait(), DWORD(EV_RXCHAR)) << "a new byte does";
  char buf[8];
  DWORD got = 0;
  ASSERT_TRUE(win32.ReadFile(h, buf, sizeof buf, &got, &ov));
  EXPECT_EQ(std::string(buf, got), "abc");
  ASSERT_TRUE(start_wait() && win32.SetCommMask(h, 0));
  EXPECT_EQ(finish_wait(), 0u) << "SetCommMask ends a pending wait with an empty word";
  ASSERT_TRUE(start_wait()) << "with an empty mask a wait stays pending (no spinning)";
  EXPECT_EQ(finish_wait(100), 0xEEEEEEEE);
  ASSERT_TRUE(win32.SetCommMask(h, EV_RXCHAR));
  EXPECT_EQ(finish_wait(), 0u) << "until the mask changes";
}

TEST_F(PtyPort, EventKinds) {
  const struct {
    const char *what;
    DWORD mask;
    std::string far_bytes, port_bytes;  // sent by the far side, written by the port
  } rows[] = {
      {"the event character arrives", EV_RXFLAG, "ab\n", ""},
      {"output has drained", EV_TXEMPTY, "", "hello"},
      {"the input queue reaches 80 %", EV_RX80FULL, std::string(80, '8'), ""},
  };
  DCB dcb;
  ASSERT_TRUE(win32.GetCommState(h, &dcb));
  dcb.EvtChar = '\n';
  ASSERT_TRUE(win32.SetCommState(h, &dcb) && win32.SetupComm(h, 100, 0));
  for (const auto &row : rows) {
    DWORD put = 0;
    char sink[256];
    ASSERT_TRUE(win32.SetCommMask(h, row.mask) && start_wait() && far_write(row.far_bytes)) << row.what;
    if (!row.port_bytes.empty()) win32.WriteFile(h, row.port_bytes.data(), DWORD(row.port_bytes.size()), &put, &ov2);
    EXPECT_EQ(finish_wait(), row.mask) << row.what;
    win32.PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    far_read(sink, sizeof sink, 50);
  }
}

TEST_F(PtyPort, HangUpEndsPendingRequestsAndLaterCallsFailWithoutSpinning) {
  set_timeouts(0, 0, 0);  // a read waits for its bytes
  char buf[4];
  DWORD got = 0;
  ASSERT_TRUE(win32.SetCommMask(h, EV_RXCHAR) && start_wait() && !win32.ReadFile(h, buf, sizeof buf, &got, &ov2));
  close(master);
  master = -1;
  EXPECT_EQ(finish_wait(), 0xFFFFFFFF) << "the pending wait ends with an error";
  ASSERT_EQ(win32.WaitForSingleObject(ov2.hEvent, kHang), WAIT_OBJECT_0);
  EXPECT_FALSE(win32.GetOverlappedResult(h, &ov2, &got, FALSE)) << "the pending read too";
  EXPECT_EQ(queues().cbInQue, MAXDWORD) << "later calls fail";
  set_timeouts(MAXDWORD, 0, 0);
  EXPECT_FALSE(win32.ReadFile(h, buf, sizeof buf, &got, &ov2) || win32.TransmitCommChar(h, 'x'));
  // A new wait blocks until the mask changes, so an event loop calling it again does
  // not spin; meanwhile the process uses no CPU to speak of.
  long cpu0 = usec(CLOCK_PROCESS_CPUTIME_ID);
  ASSERT_TRUE(start_wait());
  EXPECT_EQ(finish_wait(300), 0xEEEEEEEE);
  EXPECT_LT(usec(CLOCK_PROCESS_CPUTIME_ID) - cpu0, 30000) << "CPU spent while waiting on a hung-up port";
  ASSERT_TRUE(win32.SetCommMask(h, 0));
  EXPECT_EQ(finish_wait(), 0u);
}

// A thread blocked in GetOverlappedResult on the comm-event wait polls the device
// itself; the I/O thread leaves the input to it meanwhile and must take it back for
// whatever waits the other way afterwards. The pauses let a thread reach its poll().
TEST_F(PtyPort, InlineWaitsEndAndHandTheInputBack) {
  BOOL ok = FALSE;  // the inline waiter's result, read after the join
  std::thread waiter;
  auto wait_inline = [&] {
    if (!win32.SetCommMask(h, EV_RXCHAR) || !start_wait()) return false;
    waiter = std::thread([&] { DWORD n; ok = win32.GetOverlappedResult(h, &ov, &n, TRUE); });
    usleep(20000);
    return true;
  };
  set_timeouts(0, 0, 0);  // a read waits for its bytes
  char buf[4];
  DWORD got = 0;
  for (bool then_read : {false, true}) {
    SCOPED_TRACE(then_read ? "then a read waiting for its bytes" : "then a wait on the request's event");
    ASSERT_TRUE(wait_inline());
    EXPECT_TRUE(far_write("a"));
    waiter.join();
    EXPECT_TRUE(ok && word == EV_RXCHAR);
    ASSERT_TRUE(win32.ReadFile(h, buf, 1, &got, &ov2) && got == 1 && buf[0] == 'a');
    ASSERT_TRUE(then_read ? !win32.ReadFile(h, buf, 1, &got, &ov2) : start_wait());
    usleep(20000);
    ASSERT_TRUE(far_write("b"));
    if (then_read) {
      ASSERT_EQ(win32.WaitForSingleObject(ov2.hEvent, kHang), WAIT_OBJECT_0);
      EXPECT_TRUE(win32.GetOverlappedResult(h, &ov2, &got, FALSE) && got == 1 && buf[0] == 'b');
    } else {
      EXPECT_EQ(finish_wait(), DWORD(EV_RXCHAR));
    }
    win32.PurgeComm(h, PURGE_RXCLEAR);
  }
  // A full input queue is not polled for input; a purge that empties it lets the
  // inline waiter take the next byte. (A wait that does not end is ended by the mask.)
  ASSERT_TRUE(win32.SetupComm(h, 8, 0) && far_write("12345678") && wait_received(8));
  usleep(20000);  // the I/O thread moves the last of them into the queue
  ASSERT_TRUE(wait_inline());
  EXPECT_TRUE(win32.PurgeComm(h, PURGE_RXCLEAR) && far_write("z"));
  bool ended = win32.WaitForSingleObject(ov.hEvent, kHang) == WAIT_OBJECT_0;
  if (!ended) win32.SetCommMask(h, EV_RXCHAR);
  waiter.join();
  EXPECT_TRUE(ended && word == EV_RXCHAR) << "the byte after the purge ends the wait";
  win32.PurgeComm(h, PURGE_RXCLEAR);
  // Another thread ends an inline wait: SetCommMask with an empty word, CloseHandle
  // with an error (and the close does not hang on it).
  for (bool closing : {false, true}) {
    SCOPED_TRACE(closing ? "CloseHandle" : "SetCommMask");
    ASSERT_TRUE(wait_inline());
    if (closing) close_port();
    else EXPECT_TRUE(win32.SetCommMask(h, EV_RXCHAR));
    waiter.join();
    EXPECT_EQ(ok, closing ? FALSE : TRUE);
    EXPECT_EQ(word, 0u);
  }
}

TEST_F(PtyPort, IdleCostAndWakeLatency) {
  ASSERT_TRUE(win32.SetCommMask(h, EV_RXCHAR) && start_wait());
  long cpu0 = usec(CLOCK_PROCESS_CPUTIME_ID), wall0 = usec(CLOCK_MONOTONIC);
  EXPECT_EQ(win32.WaitForSingleObject(ov.hEvent, 5000), WAIT_TIMEOUT);
  long cpu = usec(CLOCK_PROCESS_CPUTIME_ID) - cpu0, wall = usec(CLOCK_MONOTONIC) - wall0;
  double percent = 100.0 * double(cpu) / double(wall);
  printf("idle port with a pending WaitCommEvent: %ld us CPU in %ld us (%.3f %% of a CPU)\n", cpu, wall, percent);
  EXPECT_LT(percent, 1.0);
  std::vector<long> latency;
  for (int i = 0; i < 101; i++) {
    char c;
    DWORD got = 0;
    ASSERT_TRUE(i == 0 || start_wait());
    long t0 = usec(CLOCK_MONOTONIC);
    ASSERT_TRUE(far_write("z"));
    ASSERT_EQ(win32.WaitForSingleObject(ov.hEvent, kHang), WAIT_OBJECT_0);
    latency.push_back(usec(CLOCK_MONOTONIC) - t0);
    ASSERT_EQ(finish_wait(), DWORD(EV_RXCHAR));
    ASSERT_TRUE(win32.ReadFile(h, &c, 1, &got, &ov2) && got == 1);
  }
  std::sort(latency.begin(), latency.end());
  printf("far-side byte to completed WaitCommEvent: median %ld us, min %ld us, max %ld us (%zu samples)\n",
         latency[latency.size() / 2], latency.front(), latency.back(), latency.size());
  EXPECT_LT(latency[latency.size() / 2], 20000) << "median wake-up in microseconds";
}

}  // namespace
