// The event thread: what reaches the handler for each device event word, the held-back
// transmitter-empty report, and the thread's stop, suspension and resumption.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "writer_test_support.h"

namespace {

void stop_counting_suspensions();

class EventThread : public ::testing::Test {
 protected:
  void TearDown() override {
    sio_test_close_all();
    stop_counting_suspensions();
  }
};

// Opens COM1 on the sim, configures it (which starts the event thread) and waits
// until the thread waits in the device.
SimDevice *configured_port(uint32_t baud) {
  SimDevice *dev = open_logged_port(0);
  SioConfigure(0, baud, 8, 1, 'N', 0);
  EXPECT_NE(table().event_threads[0].thread.load(), nullptr);
  EXPECT_TRUE(sim_wait_comm_wait_pending(dev, 10000));
  return dev;
}

// Raises device events for the waiting thread, then waits until it has handled them
// and waits in the device again.
void raise_and_settle(SimDevice *dev, DWORD events) {
  ASSERT_TRUE(sim_wait_comm_wait_pending(dev, 10000));
  sim_raise(dev, events);
  ASSERT_TRUE(sim_wait_comm_wait_pending(dev, 10000));
}

// Changes the mask and waits until the thread waits again (the change ends its wait).
void set_mask_and_settle(SimDevice *dev, uint32_t mask) {
  SioSetEventMask(0, mask, 0);
  ASSERT_TRUE(sim_wait_comm_wait_pending(dev, 10000));
}

std::vector<uint32_t> words_logged() {
  std::vector<uint32_t> words;
  for (const LoggedEvent &e : logged_events()) words.push_back(e.events);
  return words;
}

std::atomic<int> suspends{0}, resumes{0};
DWORD(WINAPI *suspend_in_force)(HANDLE) = nullptr;
DWORD(WINAPI *resume_in_force)(HANDLE) = nullptr;
DWORD WINAPI CountingSuspend(HANDLE h) {
  suspends++;
  return suspend_in_force(h);
}
DWORD WINAPI CountingResume(HANDLE h) {
  resumes++;
  return resume_in_force(h);
}
void stop_counting_suspensions() {
  if (suspend_in_force != nullptr) win32.SuspendThread = suspend_in_force;
  if (resume_in_force != nullptr) win32.ResumeThread = resume_in_force;
  suspend_in_force = nullptr;
  resume_in_force = nullptr;
}
void count_suspensions() {
  suspend_in_force = win32.SuspendThread;
  resume_in_force = win32.ResumeThread;
  win32.SuspendThread = CountingSuspend;
  win32.ResumeThread = CountingResume;
}

}  // namespace

TEST_F(EventThread, WhatTheHandlerGetsForEachDeviceWord) {
  struct Row {
    const char *what;
    uint32_t queued;        // bytes queued first, the writes staying pending (300 baud: 10 a write)
    DWORD raised;
    std::vector<uint32_t> handler;
    uint8_t held_back;      // tx_empty_pending afterwards
  };
  const Row rows[] = {
      {"EV_TXEMPTY while the last write is in flight: nothing now, held back", 10, EV_TXEMPTY, {}, 1},
      {"EV_TXEMPTY while 10 bytes wait in the ring: nothing now, held back", 20, EV_TXEMPTY, {}, 1},
      {"EV_RXCHAR with EV_TXEMPTY while data waits: EV_RXCHAR only", 10, EV_RXCHAR | EV_TXEMPTY, {EV_RXCHAR}, 1},
      {"EV_TXEMPTY with nothing waiting: delivered at once", 0, EV_TXEMPTY, {EV_TXEMPTY}, 0},
      {"EV_RX80FULL alone: no call from the event thread", 0, EV_RX80FULL, {}, 0},
      {"EV_CTS with EV_RING: passed on as it came", 0, EV_CTS | EV_RING, {EV_CTS | EV_RING}, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    SimDevice *dev = configured_port(300);
    sim_set_write_mode(dev, SIM_IO_PENDING);
    std::vector<uint8_t> bytes(row.queued, 0x5A);
    if (row.queued != 0) {
      ASSERT_EQ(SioTxRingWrite(0, bytes.data(), row.queued), row.queued);
      ASSERT_TRUE(sim_wait_write_pending(dev, 10000));
    }
    clear_logged_events();
    raise_and_settle(dev, row.raised);
    EXPECT_EQ(words_logged(), row.handler);
    EXPECT_EQ(table().tx_empty_pending[0].load(), row.held_back);
    if (row.raised & EV_TXEMPTY) {
      EXPECT_TRUE(port_record(0).line_events.load() & 0x20) << "latched at once all the same";
    }
    sio_test_close_all();
    clear_logged_events();
  }
}

TEST_F(EventThread, HeldBackTxEmptyComesFromTheWriterOnceTheWriteReturns) {
  SimDevice *dev = configured_port(9600);
  sim_set_write_mode(dev, SIM_IO_PENDING);
  uint8_t bytes[10] = {};
  ASSERT_EQ(SioTxRingWrite(0, bytes, 10), 10u);
  ASSERT_TRUE(sim_wait_write_pending(dev, 10000));
  raise_and_settle(dev, EV_TXEMPTY);
  ASSERT_EQ(table().tx_empty_pending[0].load(), 1);
  // The device's own report when the write completes is kept out of the mask, so
  // that only the held-back one can reach the handler; the ring-emptied event shows
  // which thread is the writer.
  set_mask_and_settle(dev, (SIO_DEFAULT_EVENT_MASK & ~EV_TXEMPTY) | SIO_EV_TXRING_EMPTY);
  clear_logged_events();

  ASSERT_TRUE(sim_release_write(dev));
  ASSERT_TRUE(wait_logged(EV_TXEMPTY, 1));
  ASSERT_TRUE(wait_logged(SIO_EV_TXRING_EMPTY, 1));
  std::vector<LoggedEvent> events = logged_events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].events, SIO_EV_TXRING_EMPTY);
  EXPECT_EQ(events[1].events, EV_TXEMPTY) << "EV_TXEMPTY alone";
  EXPECT_EQ(events[1].thread, events[0].thread) << "delivered by the writer thread";
  EXPECT_EQ(table().tx_empty_pending[0].load(), 0);
}

TEST_F(EventThread, HeldBackTxEmptyIsDroppedWhenTheWriterWritesAgain) {
  SimDevice *dev = configured_port(300);
  sim_set_write_mode(dev, SIM_IO_PENDING);
  uint8_t bytes[20] = {};
  ASSERT_EQ(SioTxRingWrite(0, bytes, 20), 20u);
  ASSERT_TRUE(sim_wait_write_pending(dev, 10000));
  raise_and_settle(dev, EV_TXEMPTY);
  ASSERT_EQ(table().tx_empty_pending[0].load(), 1);
  set_mask_and_settle(dev, SIO_DEFAULT_EVENT_MASK & ~EV_TXEMPTY);

  ASSERT_TRUE(sim_release_write(dev));
  ASSERT_TRUE(wait_until([&] { return sim_write_sizes(dev).size() == 2 && sim_write_pending(dev); }));
  EXPECT_EQ(table().tx_empty_pending[0].load(), 0) << "cleared as the next write starts";
  ASSERT_TRUE(sim_release_write(dev));
  ASSERT_TRUE(wait_until([] { return tx_ring(0).count.load() == 0 && table().tx_in_flight[0].load() == 0; }));

  // Only the device's next report, with nothing waiting, reaches the handler.
  set_mask_and_settle(dev, SIO_DEFAULT_EVENT_MASK);
  raise_and_settle(dev, EV_TXEMPTY);
  ASSERT_TRUE(wait_logged(EV_TXEMPTY, 1));
  EXPECT_EQ(words_logged(), std::vector<uint32_t>{EV_TXEMPTY});
}

TEST_F(EventThread, ReceiveBacklogIsAnsweredWithAFill) {
  struct Row {
    const char *what;
    size_t fed;
    size_t handler_calls;
  };
  // A driver that reports no queue size: an 8192-byte ring, EV_RX80FULL from 6553 on.
  const Row rows[] = {
      {"a backlog of 6552: the fill reports nothing", 6552, 0},
      {"a backlog of 6553: the fill reports EV_RX80FULL", 6553, 1},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    sim_set_current_queues(sim_attach("COM1"), 0, 0);
    SimDevice *dev = configured_port(9600);
    ASSERT_EQ(rx_ring(0).size.load(), 8192u);
    set_mask_and_settle(dev, SIO_DEFAULT_EVENT_MASK & ~EV_RXCHAR);
    sim_feed(dev, std::string(row.fed, 'r'));
    clear_logged_events();
    raise_and_settle(dev, EV_RX80FULL);
    EXPECT_EQ(rx_ring(0).count.load(), row.fed) << "the fill moved the driver's bytes into the ring";
    EXPECT_EQ(logged_count(EV_RX80FULL), row.handler_calls);
    for (const LoggedEvent &e : logged_events()) EXPECT_EQ(e.events, uint32_t{EV_RX80FULL});
    sio_test_close_all();
  }
}

TEST_F(EventThread, StoppingEndsAWaitingThreadAtOnce) {
  SimDevice *dev = configured_port(9600);
  unsigned masks = sim_calls(dev, SIM_SET_COMM_MASK);
  auto start = std::chrono::steady_clock::now();
  SioStopEventThread(0);
  EXPECT_LT(elapsed_ms(start), 1000);
  EXPECT_EQ(table().event_threads[0].thread.load(), nullptr);
  EXPECT_EQ(table().event_threads[0].started_event, nullptr);
  EXPECT_LE(sim_calls(dev, SIM_SET_COMM_MASK) - masks, 2u) << "the first mask of 0 ended it";
  EXPECT_EQ(sim_comm_mask(dev), 0u);

  masks = sim_calls(dev, SIM_SET_COMM_MASK);
  SioStopEventThread(0);
  EXPECT_EQ(sim_calls(dev, SIM_SET_COMM_MASK), masks) << "no thread: nothing happens";

  // A new configuration starts a new thread, which delivers again.
  SioConfigure(0, 9600, 8, 1, 'N', 0);
  ASSERT_TRUE(sim_wait_comm_wait_pending(dev, 10000));
  raise_and_settle(dev, EV_CTS);
  EXPECT_EQ(words_logged(), std::vector<uint32_t>{EV_CTS});
}

TEST_F(EventThread, ConfiguringAgainStartsNoSecondThread) {
  configured_port(9600);
  HANDLE thread = table().event_threads[0].thread.load();
  HANDLE writer = table().writer_threads[0].thread.load();
  SioConfigure(0, 115200, 8, 1, 'N', 0);
  EXPECT_EQ(table().event_threads[0].thread.load(), thread);
  EXPECT_EQ(table().writer_threads[0].thread.load(), writer);
}

TEST_F(EventThread, SuspensionsDoNotNest) {
  SimDevice *dev = configured_port(9600);
  count_suspensions();
  struct Step {
    const char *what;
    uint16_t resume;
    uint16_t result;
    uint16_t suspended;
    int suspends, resumes;
  };
  const Step steps[] = {
      {"first suspend suspends", 0, 1, 1, 1, 0},
      {"second suspend does nothing", 0, 0, 1, 1, 0},
      {"resume resumes", 1, 0, 0, 1, 1},
      {"resume of a running thread does nothing", 1, 0, 0, 1, 1},
  };
  for (const Step &step : steps) {
    SCOPED_TRACE(step.what);
    EXPECT_EQ(SioSuspendEventThread(0, step.resume), step.result);
    EXPECT_EQ(table().event_threads[0].suspended.load(), step.suspended);
    EXPECT_EQ(suspends.load(), step.suspends);
    EXPECT_EQ(resumes.load(), step.resumes);
  }
  raise_and_settle(dev, EV_DSR);
  EXPECT_EQ(words_logged(), std::vector<uint32_t>{EV_DSR}) << "the resumed thread delivers";

  EXPECT_EQ(SioSuspendEventThread(1, 0), 0) << "a port without an event thread";
  EXPECT_EQ(SioSuspendEventThread(200, 0), 0) << "an index past the table";
  EXPECT_EQ(suspends.load(), 1);
}

TEST_F(EventThread, StoppingASuspendedThreadResumesAndEndsIt) {
  SimDevice *dev = configured_port(9600);
  count_suspensions();
  ASSERT_EQ(SioSuspendEventThread(0, 0), 1);
  // A suspended thread on this platform stops at its next wait: let it get there.
  sim_raise(dev, EV_CTS);
  auto start = std::chrono::steady_clock::now();
  SioStopEventThread(0);
  EXPECT_LT(elapsed_ms(start), 2000);
  EXPECT_EQ(resumes.load(), 1);
  EXPECT_EQ(table().event_threads[0].thread.load(), nullptr);
  EXPECT_EQ(table().event_threads[0].suspended.load(), 0);
}
