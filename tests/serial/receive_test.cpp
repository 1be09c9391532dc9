// Receive ring and overlapped reads against the simulated device: where a fill
// writes and how much it reads, the 80 percent backlog event, taking bytes, and
// reads that end badly (failed, cancelled, still pending after their wait).
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "library_hooks.h"

// A receive ring of exactly `size` bytes (driver queue reported as 0).
static SimDevice *OpenWithReceiveRing(uint32_t size) {
  SimDevice *dev = sio_test_open(0);
  sim_set_current_queues(dev, 0, SIM_FROM_SETUP);
  SioSetBufferSizes(0, size, 4096);
  EXPECT_EQ(rx_ring(0).size.load(), size);
  return dev;
}

static std::string Pattern(size_t length, int seed) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; i++) bytes[i] = char((i * 7 + seed + (i >> 8)) & 0xFF);
  return bytes;
}

TEST(Receive, FillExampleNearTheEndOfTheRing) {
  SimDevice *dev = OpenWithReceiveRing(8192);
  table().event_masks[0].store(EV_RXCHAR);
  RingQueue &ring = rx_ring(0);
  ring.write_pos.store(8000);
  ring.read_pos.store(100);
  ring.count.store(7900);
  std::string bytes = Pattern(500, 3);
  sim_feed(dev, bytes);
  struct Row {
    const char *what;
    uint32_t write_pos, count;
    size_t left_in_driver;
  } rows[] = {
      {"reads up to the end of the storage", 0, 8092, 308},
      {"then up to read_pos: full", 100, 8192, 208},
      {"a full ring reads nothing", 100, 8192, 208},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    SioFillRxRing(0);
    EXPECT_EQ(ring.write_pos.load(), row.write_pos);
    EXPECT_EQ(ring.count.load(), row.count);
    EXPECT_EQ(ring.read_pos.load(), 100u);
    EXPECT_EQ(sim_rx_waiting(dev), row.left_in_driver);
  }
  const uint8_t *data = ring.data.load();
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(data) + 8000, 192), bytes.substr(0, 192));
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(data), 100), bytes.substr(192, 100));
  ring.count.store(0);
  sio_test_close_all();
}

TEST(Receive, FillIntoAnEmptyRingStartsAtZero) {
  SimDevice *dev = OpenWithReceiveRing(4096);
  RingQueue &ring = rx_ring(0);
  ring.read_pos.store(300);
  ring.write_pos.store(300);
  sim_feed(dev, "0123456789");
  SioFillRxRing(0);
  EXPECT_EQ(ring.read_pos.load(), 0u);
  EXPECT_EQ(ring.write_pos.load(), 10u);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(ring.data.load()), 10), "0123456789");
  sio_test_close_all();
}

TEST(Receive, TakingBytes) {
  SimDevice *dev = OpenWithReceiveRing(4096);
  uint8_t byte = 0xAA;
  EXPECT_EQ(SioGetByte(0, &byte), 0);  // nothing anywhere
  EXPECT_EQ(byte, 0xAA);
  sim_feed(dev, "xy");
  struct Row {
    const char *what;
    uint8_t take;
    uint8_t result, byte;
    uint32_t count_after;
  } rows[] = {
      {"a look fills the ring and leaves the byte", 0, 1, 'x', 2},
      {"any flag other than 1 only looks", 2, 1, 'x', 2},
      {"a take removes it", 1, 1, 'x', 1},
      {"the next byte", 1, 1, 'y', 0},
      {"nothing left", 1, 0, 'y', 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(SioRxTake(0, &byte, row.take), row.result);
    EXPECT_EQ(byte, row.byte);
    EXPECT_EQ(rx_ring(0).count.load(), row.count_after);
  }
  // The read position wraps at the end of the storage.
  RingQueue &ring = rx_ring(0);
  ring.read_pos.store(4095);
  ring.write_pos.store(1);
  ring.count.store(2);
  ring.data.load()[4095] = 'e';
  ring.data.load()[0] = 'f';
  EXPECT_EQ(SioRxGet(0, &byte), 1);
  EXPECT_EQ(byte, 'e');
  EXPECT_EQ(ring.read_pos.load(), 0u);
  EXPECT_EQ(SioGetByte(0, &byte), 1);
  EXPECT_EQ(byte, 'f');
  // Ports that are not open, or out of range, give nothing.
  EXPECT_EQ(SioGetByte(1, &byte), 0);
  EXPECT_EQ(SioGetByte(36, &byte), 0);
  sio_test_close_all();
}

TEST(Receive, BacklogThreshold) {
  struct Row {
    const char *what;
    uint32_t ring_size, driver_queue;
    uint32_t in_ring;
    DWORD in_driver;
    uint32_t mask;
    bool delivered;
  } rows[] = {
      {"8192 + 0: 6553 reaches 80%", 8192, 0, 6453, 100, 0x5FD, true},
      {"8192 + 0: 6552 does not", 8192, 0, 6452, 100, 0x5FD, false},
      {"4096 + 4096: 6553 reaches it", 4096, 4096, 4000, 2553, 0x5FD, true},
      {"4096 + 4096: 6552 does not", 4096, 4096, 4000, 2552, 0x5FD, false},
      {"4096 + 0: 3276 reaches it", 4096, 0, 3276, 0, 0x5FD, true},
      {"4096 + 0: 3275 does not", 4096, 0, 3275, 0, 0x5FD, false},
      {"a full ring still tests", 4096, 0, 4096, 0, 0x5FD, true},
      {"the mask must ask for it", 8192, 0, 8000, 100, EV_RXCHAR, false},
  };
  SimDevice *dev = OpenWithReceiveRing(8192);
  SioSetEventHandler(0, sio_test_record_handler);
  RingQueue &ring = rx_ring(0);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    table().event_masks[0].store(row.mask);
    ring.size.store(row.ring_size);
    ring.driver_queue.store(row.driver_queue);
    ring.read_pos.store(0);
    ring.write_pos.store(row.in_ring % row.ring_size);
    ring.count.store(row.in_ring);
    sim_set_in_queue_count(dev, row.in_driver);  // counted, but no bytes to read
    sio_test_clear_handler_calls();
    SioFillRxRing(0);
    auto calls = sio_test_handler_calls();
    ASSERT_EQ(calls.size(), row.delivered ? 1u : 0u);
    if (row.delivered) {
      EXPECT_EQ(calls[0].events, uint32_t(EV_RX80FULL));
    }
  }
  ring.count.store(0);
  ring.size.store(8192);
  sim_set_in_queue_count(dev, SIM_NO_OVERRIDE);
  sio_test_close_all();
}

TEST(Receive, ReadsThatEndBadly) {
  struct Row {
    const char *what;
    SimIoMode mode;
    uint32_t count_after;  // the ring held 5 bytes before the fill
  } rows[] = {
      {"a read that completes keeps the ring", SIM_IO_AT_ONCE, 15},
      {"a failed read empties the ring", SIM_IO_FAIL, 0},
  };
  SimDevice *dev = OpenWithReceiveRing(4096);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    RingQueue &ring = rx_ring(0);
    ring.read_pos.store(0);
    ring.write_pos.store(5);
    ring.count.store(5);
    sim_set_read_mode(dev, row.mode, row.mode == SIM_IO_FAIL ? ERROR_GEN_FAILURE : 0);
    sim_feed(dev, "0123456789");
    SioFillRxRing(0);
    EXPECT_EQ(ring.count.load(), row.count_after);
    sim_set_read_mode(dev, SIM_IO_AT_ONCE);
    SioFlush(0, 0);
  }
  sio_test_close_all();
}

TEST(Receive, CancelEventEndsAPendingRead) {
  SimDevice *dev = OpenWithReceiveRing(4096);
  SioCreateReadEvents(0);
  RingQueue &ring = rx_ring(0);
  ring.write_pos.store(5);
  ring.count.store(5);
  sim_set_read_mode(dev, SIM_IO_PENDING);
  sim_feed(dev, "0123456789");
  std::thread filler([] { SioFillRxRing(0); });
  ASSERT_TRUE(sim_wait_read_pending(dev, 10000));
  win32.SetEvent(table().reader_events[0].cancel_event);
  filler.join();
  EXPECT_EQ(ring.count.load(), 0u);  // everything held is discarded
  EXPECT_FALSE(sim_read_pending(dev));  // the request was ended before returning
  EXPECT_GE(sim_calls(dev, SIM_CANCEL_IO), 1u);
  // The request record can be used again at once.
  sim_set_read_mode(dev, SIM_IO_AT_ONCE);
  SioFillRxRing(0);
  EXPECT_EQ(ring.count.load(), 10u);
  EXPECT_EQ(sim_misuse_count(dev), 0u);
  // Read status and count of such a read, directly.
  sim_set_read_mode(dev, SIM_IO_PENDING);
  sim_feed(dev, "abc");
  uint8_t buffer[3];
  uint32_t status = 99, got = 99;
  std::thread reader([&] { got = SioOverlappedRead(0, buffer, 3, &status); });
  ASSERT_TRUE(sim_wait_read_pending(dev, 10000));
  win32.SetEvent(table().reader_events[0].cancel_event);
  reader.join();
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(status, 1u);
  sim_set_read_mode(dev, SIM_IO_AT_ONCE);
  SioCloseReadEvents(0);
  EXPECT_EQ(table().reader_events[0].cancel_event, nullptr);
  sio_test_close_all();
}

// The read's 30-second wait ends with WAIT_TIMEOUT at once.
static Win32Calls saved_calls;
static DWORD WINAPI ReadWaitTimesOut(DWORD count, const HANDLE *handles, BOOL all, DWORD ms) {
  if (handles[0] == table().read_overlapped[0].hEvent) return WAIT_TIMEOUT;
  return saved_calls.WaitForMultipleObjects(count, handles, all, ms);
}

TEST(Receive, ReadStillPendingAfterItsWaitIsEndedBeforeReuse) {
  SimDevice *dev = OpenWithReceiveRing(4096);
  sim_set_read_mode(dev, SIM_IO_PENDING);
  sim_feed(dev, "0123456789");
  // No library thread may read the table while an entry is swapped: the writer goes,
  // and its stop flag with it, since reads make no request while it is set.
  SioStopWriter(0);
  table().writer_threads[0].stop.store(0);
  saved_calls = win32;
  win32.WaitForMultipleObjects = ReadWaitTimesOut;
  uint8_t buffer[10];
  uint32_t status = 0;
  EXPECT_EQ(SioOverlappedRead(0, buffer, 10, &status), 0u);
  EXPECT_EQ(status, WAIT_TIMEOUT);
  EXPECT_FALSE(sim_read_pending(dev));
  EXPECT_GE(sim_calls(dev, SIM_CANCEL_IO), 1u);
  // A fill through the same path keeps what it has (nothing) and the ring usable.
  SioFillRxRing(0);
  EXPECT_EQ(rx_ring(0).count.load(), 0u);
  EXPECT_FALSE(sim_read_pending(dev));
  win32.WaitForMultipleObjects = saved_calls.WaitForMultipleObjects;
  sim_set_read_mode(dev, SIM_IO_AT_ONCE);
  SioFillRxRing(0);
  EXPECT_EQ(rx_ring(0).count.load(), 10u);
  EXPECT_EQ(sim_misuse_count(dev), 0u);
  sio_test_close_all();
}

TEST(Receive, PendingCountThenThatManyBytesThroughASmallRing) {
  SimDevice *dev = OpenWithReceiveRing(4096);
  std::string bytes = Pattern(20000, 11);
  sim_feed(dev, bytes);
  std::string got;
  while (got.size() < bytes.size()) {
    uint32_t pending = SioPendingCount(0, 0);
    ASSERT_GT(pending, 0u) << "after " << got.size() << " bytes";
    for (uint32_t i = 0; i < pending; i++) {
      uint8_t byte = 0;
      ASSERT_EQ(SioGetByte(0, &byte), 1) << "byte " << got.size();
      got.push_back(char(byte));
    }
  }
  EXPECT_EQ(got, bytes);
  EXPECT_EQ(SioPendingCount(0, 0), 0u);
  sio_test_close_all();
}

// A consumer takes bytes while another thread fills, some fills failing (and so
// emptying the ring): the count never wraps below zero nor exceeds the size.
TEST(Receive, TakesBesideFillsThatEmptyTheRing) {
  SimDevice *dev = OpenWithReceiveRing(4096);
  std::atomic<bool> done{false};
  std::thread consumer([&] {
    uint8_t byte;
    while (!done.load()) SioGetByte(0, &byte);
  });
  for (int i = 0; i < 3000; i++) {
    sim_set_read_mode(dev, i % 5 == 4 ? SIM_IO_FAIL : SIM_IO_AT_ONCE, ERROR_GEN_FAILURE);
    sim_feed(dev, "abcdefgh");
    SioFillRxRing(0);
    ASSERT_LE(rx_ring(0).count.load(), 4096u);
  }
  done.store(true);
  consumer.join();
  sim_set_read_mode(dev, SIM_IO_AT_ONCE);
  EXPECT_LE(rx_ring(0).count.load(), 4096u);
  sio_test_close_all();
}
