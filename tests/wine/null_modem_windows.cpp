// The library on the system's own serial calls: COM ports joined in pairs like a
// null-modem cable (under Wine, tools/wine-nullmodem joins COM11..COM18 through
// pseudo-terminals; on Windows, a pair of virtual ports or a real cable): data both
// ways with nothing lost, the handler's events, closes and reopens, and a mask change
// that ends the event thread's wait (Wine fails such a wait with ERROR_OPERATION_ABORTED
// where Windows ends it with an empty event word).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "serial/port_table.h"

namespace {

// The pairs (port indices, COM<index + 1>): each test takes its own, so that CTest may
// run them side by side.
struct Pair { uint8_t a, b; };
const Pair kTransfer = {10, 11}, kMaskChange = {14, 15};

bool under_wine(void) {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Wine fails every comm-event wait at once whose mask holds a modem-line event
// (EV_CTS, EV_DSR, EV_RLSD, EV_RING) or a line-status one (EV_BREAK, EV_ERR) when the
// device cannot report them, as a pseudo-terminal cannot: under Wine the tests leave
// those out.
const uint32_t kAllEvents = SIO_DEFAULT_EVENT_MASK | SIO_EV_TXRING_EMPTY;
uint32_t line_mask(void) {
  return under_wine() ? kAllEvents & ~(EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR) : kAllEvents;
}

// What each port's handler saw, filled on the library's threads (under the mutex).
struct Line {
  std::vector<uint8_t> received;
  uint64_t ring_empties = 0;
  uint32_t events_seen = 0;
  std::thread::id handler_thread;
};
std::mutex lines_mutex;
std::condition_variable lines_changed;
Line lines[SIO_PORT_COUNT];

// Takes every byte on EV_RXCHAR, as the host's handler does.
int32_t line_handler(uint8_t port, uint32_t events) {
  std::vector<uint8_t> got;
  uint8_t byte;
  if (events & EV_RXCHAR)
    for (uint32_t n; (n = SioPendingCount(port, 0)) != 0;)
      for (; n > 0 && SioGetByte(port, &byte); n--) got.push_back(byte);
  std::lock_guard<std::mutex> lock(lines_mutex);
  Line &l = lines[port];
  l.received.insert(l.received.end(), got.begin(), got.end());
  l.ring_empties += (events & SIO_EV_TXRING_EMPTY) != 0;
  l.events_seen |= events;
  l.handler_thread = std::this_thread::get_id();
  lines_changed.notify_all();
  return 0;
}

template <class Pred>
bool wait_lines(Pred pred) {
  std::unique_lock<std::mutex> lock(lines_mutex);
  return lines_changed.wait_for(lock, std::chrono::seconds(30), pred);
}

// Opens and sets up both ports of a pair as an application does.
void open_lines(const Pair &p) {
  for (uint8_t port : {p.a, p.b}) {
    {
      std::lock_guard<std::mutex> lock(lines_mutex);
      lines[port] = Line();
    }
    SioOpen(port);
    ASSERT_TRUE(SioIsOpen(port)) << "COM" << port + 1 << " did not open (last_error " << SioGetLastError(port)
                                 << "); under Wine run tools/windows-test, which joins COM11..COM18";
    SioConfigure(port, 115200, 8, 1, 'N', 0);
    SioSetEventMask(port, line_mask(), 0);
    SioSetEventHandler(port, line_handler);
  }
}

// Closes both ports; each close ends the port's threads at once.
void close_lines(const Pair &p) {
  for (uint8_t port : {p.a, p.b}) {
    auto start = std::chrono::steady_clock::now();
    SioClose(port);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << "closing COM" << port + 1;
    EXPECT_TRUE(!SioIsOpen(port) && table().event_threads[port].thread.load() == nullptr &&
                table().writer_threads[port].thread.load() == nullptr) << "COM" << port + 1 << "'s threads ended";
  }
}

// A reproducible byte stream over all 256 values that no shift maps onto itself.
std::vector<uint8_t> byte_stream(size_t len, uint32_t seed) {
  std::vector<uint8_t> bytes(len);
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t &b : bytes) x ^= x << 13, x ^= x >> 17, x ^= x << 5, b = uint8_t(x >> 24);
  return bytes;
}

// Queues all of `data` on `port`, waiting for the ring to run empty whenever it is full.
bool send_all(uint8_t port, const std::vector<uint8_t> &data) {
  for (size_t sent = 0; sent < data.size();) {
    uint64_t empties;
    {
      std::lock_guard<std::mutex> lock(lines_mutex);
      empties = lines[port].ring_empties;
    }
    sent += SioTxRingWrite(port, data.data() + sent, uint32_t(data.size() - sent));
    if (sent < data.size() && !wait_lines([&] { return lines[port].ring_empties > empties; })) return false;
  }
  return true;
}

// Sends `len` bytes each way at once; true when each side received exactly the other's.
::testing::AssertionResult both_ways(const Pair &p, size_t len, uint32_t seed) {
  {
    std::lock_guard<std::mutex> lock(lines_mutex);
    lines[p.a].received.clear(), lines[p.b].received.clear();
  }
  std::vector<uint8_t> ab = byte_stream(len, seed), ba = byte_stream(len, seed + 1);
  bool sent_ba = false;
  std::thread other([&] { sent_ba = send_all(p.b, ba); });
  bool sent_ab = send_all(p.a, ab);
  other.join();
  if (!sent_ab || !sent_ba) return ::testing::AssertionFailure() << "a transmit ring never ran empty";
  bool arrived = wait_lines([&] { return lines[p.a].received.size() >= len && lines[p.b].received.size() >= len; });
  std::lock_guard<std::mutex> lock(lines_mutex);
  const std::vector<uint8_t> &at_b = lines[p.b].received, &at_a = lines[p.a].received;
  if (!arrived)
    return ::testing::AssertionFailure() << "received " << at_b.size() << " and " << at_a.size() << " of " << len;
  if (at_b == ab && at_a == ba) return ::testing::AssertionSuccess();
  size_t bad_b = std::mismatch(at_b.begin(), at_b.end(), ab.begin(), ab.end()).first - at_b.begin();
  size_t bad_a = std::mismatch(at_a.begin(), at_a.end(), ba.begin(), ba.end()).first - at_a.begin();
  return ::testing::AssertionFailure() << "first wrong byte: " << bad_b << " (a to b), " << bad_a << " (b to a)";
}

// Device waits and how the ended ones came out, counted on the event threads and read by
// the test (the writer's and reader's results pass here too, but end with success).
std::atomic<uint32_t> device_waits{0}, waits_aborted{0}, waits_failed_otherwise{0};

BOOL WINAPI CountingWaitCommEvent(HANDLE h, LPDWORD events, LPOVERLAPPED ov) {
  device_waits++;
  return win32_native.WaitCommEvent(h, events, ov);
}

BOOL WINAPI CountingGetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD count, BOOL wait) {
  BOOL ok = win32_native.GetOverlappedResult(h, ov, count, wait);
  DWORD error = ok ? 0 : GetLastError();
  if (error == ERROR_OPERATION_ABORTED) waits_aborted++;
  else if (!ok && error != ERROR_IO_INCOMPLETE) waits_failed_otherwise++;
  SetLastError(error);
  return ok;
}

// Device waits the event thread makes in 500 ms of a quiet line: a thread that turned
// round on failed waits would make thousands.
uint32_t waits_in_half_a_second(void) {
  uint32_t before = device_waits.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // a measurement window
  return device_waits.load() - before;
}

}  // namespace

// 256 KiB each way at once, then three closes and opens of the pair, each carrying data.
TEST(NullModem, BothWaysAtOnceNothingLostTheHandlersEventsAndReopens) {
  const Pair p = kTransfer;
  for (int cycle = 0; cycle < 4; cycle++) {
    SCOPED_TRACE(cycle);
    open_lines(p);
    EXPECT_TRUE(both_ways(p, cycle ? 4096 : 256 * 1024, 1 + cycle));
    // The writer reports the drained ring; the device reports arrivals and the end of
    // transmission, all on the library's own threads.
    const uint32_t seen = EV_RXCHAR | EV_TXEMPTY | SIO_EV_TXRING_EMPTY;
    std::thread::id test_thread = std::this_thread::get_id();
    EXPECT_TRUE(cycle || wait_lines([&] {
      return (lines[p.a].events_seen & seen) == seen && (lines[p.b].events_seen & seen) == seen &&
             lines[p.a].handler_thread != test_thread && lines[p.b].handler_thread != test_thread;
    })) << "EV_RXCHAR, EV_TXEMPTY after the last byte left, and SIO_EV_TXRING_EMPTY";
    close_lines(p);
  }
}

TEST(NullModem, AMaskChangeEndsTheWaitAndTheThreadWaitsAgainWithoutSpinning) {
  const Pair p = kMaskChange;
  win32.WaitCommEvent = CountingWaitCommEvent;  // before the ports' threads start
  win32.GetOverlappedResult = CountingGetOverlappedResult;
  open_lines(p);
  ASSERT_TRUE(both_ways(p, 64, 20)) << "the line carries data before the mask changes";
  uint32_t aborted_before = waits_aborted.load();
  for (int i = 0; i < 5; i++) SioSetEventMask(p.a, i % 2 ? EV_RXCHAR : EV_RXCHAR | EV_TXEMPTY, 0);
  SioSetEventMask(p.a, line_mask(), 0);
  EXPECT_LT(waits_in_half_a_second(), 20u) << "device waits in 500 ms of a quiet line";
  EXPECT_EQ(waits_failed_otherwise.load(), 0u);
  // With every event in the mask, each wait under Wine on a pseudo-terminal fails at
  // once (see line_mask): the thread pauses between them.
  SioSetEventMask(p.a, kAllEvents, 0);
  EXPECT_LT(waits_in_half_a_second(), 20u) << "device waits in 500 ms, all events asked for";
  SioSetEventMask(p.a, line_mask(), 0);
  EXPECT_TRUE(!under_wine() || waits_aborted.load() > aborted_before)
      << "Wine ends a wait cut short by SetCommMask with ERROR_OPERATION_ABORTED";
  EXPECT_TRUE(both_ways(p, 1024, 21)) << "the line carries data after the mask changes";
  close_lines(p);
  win32 = win32_native;
}
