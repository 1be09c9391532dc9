// Threads that do not end when the close asks them to: the close gives up on them
// after its time limit, and they must find nothing released under them, nor disturb
// the port when it is opened again. Also the Windows 95 family's timed writer duties.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "writer_test_support.h"

namespace {

class WriterStop : public ::testing::Test {
 protected:
  void TearDown() override {
    open_gate();
    if (wait_in_force != nullptr) win32.WaitForSingleObject = wait_in_force;
    sio_test_close_all();
  }

 public:
  static DWORD(WINAPI *wait_in_force)(HANDLE, DWORD);
  static void open_gate();
};

DWORD(WINAPI *WriterStop::wait_in_force)(HANDLE, DWORD) = nullptr;

// A handler that blocks on the events in `block_on` until the test opens the gate.
std::mutex gate_mutex;
std::condition_variable gate_changed;
bool gate_open = false;
std::atomic<uint32_t> block_on{0};
std::atomic<bool> in_handler{false};

int32_t blocking_handler(uint8_t port, uint32_t events) {
  log_event(port, events);
  if (events & block_on.load()) {
    in_handler = true;
    std::unique_lock<std::mutex> lock(gate_mutex);
    gate_changed.wait(lock, [] { return gate_open; });
  }
  return 0;
}

void WriterStop::open_gate() {
  std::lock_guard<std::mutex> lock(gate_mutex);
  gate_open = true;
  gate_changed.notify_all();
}

// Timed waits on the stuck thread (and on the writer's answer to the flush) move the
// simulated clock on instead of taking real time, so that the stop reaches its
// 5000 ms limit at once.
std::atomic<HANDLE> fast_thread{nullptr}, fast_event{nullptr};
DWORD WINAPI FastForwardWait(HANDLE h, DWORD ms) {
  if (ms != INFINITE && ms > 0 && h != nullptr && (h == fast_thread.load() || h == fast_event.load())) {
    DWORD result = WriterStop::wait_in_force(h, 1);
    if (result == WAIT_TIMEOUT) sim_advance_clock(ms);
    return result;
  }
  return WriterStop::wait_in_force(h, ms);
}

void fast_forward_waits_on(HANDLE thread, HANDLE event) {
  fast_thread = thread;
  fast_event = event;
  WriterStop::wait_in_force = win32.WaitForSingleObject;
  win32.WaitForSingleObject = FastForwardWait;
}

}  // namespace

TEST_F(WriterStop, AWriterThatDoesNotEndIsGivenUpAndTouchesNothingAfterwards) {
  sim_attach("COM1");
  sim_set_clock(1000);
  SimDevice *dev = sio_test_open(0);
  SioSetEventHandler(0, blocking_handler);
  block_on = SIO_EV_TXRING_EMPTY;
  SioSetEventMask(0, SIO_DEFAULT_EVENT_MASK | SIO_EV_TXRING_EMPTY, 0);
  uint8_t bytes[5] = {1, 2, 3, 4, 5};
  SioTxRingWrite(0, bytes, 5);
  ASSERT_TRUE(wait_until([] { return in_handler.load(); }));
  HANDLE stuck = table().writer_threads[0].thread.load();
  fast_forward_waits_on(stuck, table().writer_threads[0].started_event);

  auto start = std::chrono::steady_clock::now();
  SioClose(0);
  EXPECT_LT(elapsed_ms(start), 3000);
  EXPECT_FALSE(SioIsOpen(0));
  EXPECT_TRUE(SioThreadAlive(stuck)) << "still in the handler";
  EXPECT_EQ(tx_ring(0).data.load(), nullptr) << "the rings went with the lingering thread";
  EXPECT_EQ(rx_ring(0).data.load(), nullptr);

  // The port opens again with a new writer, and the old one, let go, ends quietly.
  sim_clear_records(dev);
  sio_test_open(0);
  block_on = 0;
  HANDLE fresh = table().writer_threads[0].thread.load();
  ASSERT_NE(fresh, nullptr);
  open_gate();
  ASSERT_TRUE(wait_until([&] { return !SioThreadAlive(stuck); }));
  EXPECT_EQ(table().writer_threads[0].thread.load(), fresh) << "the old writer left the record alone";
  ASSERT_EQ(SioTxRingWrite(0, bytes, 5), 5u);
  ASSERT_TRUE(sim_wait_written(dev, 5, 10000));
  EXPECT_EQ(sim_written(dev), std::vector<uint8_t>(bytes, bytes + 5));
}

TEST_F(WriterStop, AnEventThreadThatDoesNotEndIsGivenUpAndTouchesNothingAfterwards) {
  sim_attach("COM1");
  sim_set_clock(1000);
  SimDevice *dev = sio_test_open(0);
  SioSetEventHandler(0, blocking_handler);
  SioConfigure(0, 9600, 8, 1, 'N', 0);
  ASSERT_TRUE(sim_wait_comm_wait_pending(dev, 10000));
  block_on = EV_CTS;
  sim_raise(dev, EV_CTS);
  ASSERT_TRUE(wait_until([] { return in_handler.load(); }));
  HANDLE stuck = table().event_threads[0].thread.load();
  fast_forward_waits_on(stuck, nullptr);

  auto start = std::chrono::steady_clock::now();
  SioClose(0);
  EXPECT_LT(elapsed_ms(start), 3000);
  EXPECT_FALSE(SioIsOpen(0));
  EXPECT_TRUE(SioThreadAlive(stuck)) << "still in the handler";
  EXPECT_EQ(rx_ring(0).data.load(), nullptr) << "the rings went with the lingering thread";

  sio_test_open(0);
  block_on = 0;
  SioSetEventHandler(0, blocking_handler);
  SioConfigure(0, 9600, 8, 1, 'N', 0);
  HANDLE fresh = table().event_threads[0].thread.load();
  ASSERT_NE(fresh, nullptr);
  open_gate();
  ASSERT_TRUE(wait_until([&] { return !SioThreadAlive(stuck); }));
  EXPECT_EQ(table().event_threads[0].thread.load(), fresh) << "the old thread left the record alone";
  clear_logged_events();
  ASSERT_TRUE(sim_wait_comm_wait_pending(dev, 10000));
  sim_raise(dev, EV_DSR);
  ASSERT_TRUE(wait_logged(EV_DSR, 1));
  EXPECT_EQ(logged_count(~0u), 1u);
}

TEST_F(WriterStop, Windows95WriterRefillsTheReceiveRingAndPollsForRing) {
  sim_attach("COM1");
  sio_test_reinit(true);
  ASSERT_EQ(is_win95.load(), 1u);
  SimDevice *dev = open_logged_port(0);  // no configuration: no event thread
  sim_feed(dev, std::string("hello"));
  ASSERT_TRUE(wait_until([] { return rx_ring(0).count.load() == 5; }, 5000))
      << "the writer's 500 ms time-out moves the driver's bytes into the ring";

  SioSetEventMask(0, SIO_DEFAULT_EVENT_MASK, 0);
  EXPECT_EQ(port_record(0).ring_polling.load(), 1u);
  sim_set_modem_status(dev, MS_RING_ON);
  ASSERT_TRUE(wait_logged(EV_RING, 2, 5000)) << "RING is reported at every poll while it is on";
  for (const LoggedEvent &e : logged_events()) EXPECT_EQ(e.events, uint32_t{EV_RING});
}
