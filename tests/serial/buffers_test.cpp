// Buffer sizing, queue counts and flushing against the simulated device: the ring
// sizes for each driver queue, the requests the driver gets, pending counts and the
// full test, and the flush of each direction.
#include <gtest/gtest.h>

#include "library_hooks.h"

TEST(Buffers, ReceiveRingSizing) {
  struct Row {
    uint32_t request;
    DWORD driver;  // driver's current receive queue after SetupComm
    uint32_t ring;
  } rows[] = {
      {8192, 0, 8192},     {8192, 4096, 8192}, {8192, 6144, 6144}, {8192, 8192, 4096},
      {8192, 16384, 5461}, {0, 0, 4096},       {1000, 0, 4096},    {20000, 1000, 20000},
  };
  SimDevice *dev = sio_test_open(0);
  for (const Row &row : rows) {
    SCOPED_TRACE(testing::Message() << row.request << " with driver " << row.driver);
    sim_set_current_queues(dev, row.driver, SIM_FROM_SETUP);
    SioSetBufferSizes(0, row.request, 4096);
    EXPECT_EQ(rx_ring(0).size.load(), row.ring);
    EXPECT_NE(rx_ring(0).data.load(), nullptr);
    EXPECT_EQ(rx_ring(0).driver_queue.load(), row.driver);
    EXPECT_EQ(rx_ring(0).count.load(), 0u);
    EXPECT_EQ(SioGetLastError(0), SIO_OK);
  }
  sio_test_close_all();
}

TEST(Buffers, TransmitRingSizing) {
  struct Row {
    uint32_t request;
    DWORD driver;  // driver's current transmit queue after SetupComm
    uint32_t ring;
  } rows[] = {
      {4096, 0, 4096},     {4096, 1000, 4096}, {4096, 3072, 3072},
      {4096, 4096, 4096},  {4096, 65536, 65536}, {1000, 0, 2048},
      {100, 50, 2048},     {0, 300, 300},
  };
  SimDevice *dev = sio_test_open(0);
  for (const Row &row : rows) {
    SCOPED_TRACE(testing::Message() << row.request << " with driver " << row.driver);
    sim_set_current_queues(dev, SIM_FROM_SETUP, row.driver);
    SioSetBufferSizes(0, 8192, row.request);
    EXPECT_EQ(tx_ring(0).size.load(), row.ring);
    EXPECT_EQ(tx_ring(0).driver_queue.load(), row.driver);
  }
  sio_test_close_all();
}

TEST(Buffers, RequestsReachingTheDriver) {
  struct Row {
    const char *what;
    DWORD max_rx, max_tx;
    uint32_t rx_request, tx_request;
    DWORD in_queue, out_queue;
    uint32_t rx_ring;
  } rows[] = {
      {"4097 without a maximum", 0, 0, 4097, 4096, 4096, 4096, 4097},
      {"4097 with a maximum of 2048", 2048, 0, 4097, 4096, 2048, 4096, 4097},
      {"receive 0 asks 4096", 0, 0, 0, 4096, 4096, 4096, 4096},
      {"receive 0 under a maximum of 1000", 1000, 0, 0, 4096, 1000, 4096, 4096},
      {"transmit 0 is passed on", 0, 0, 8192, 0, 8192, 0, 8192},
      {"odd sizes are rounded down", 0, 0, 5001, 3001, 5000, 3000, 5001},
      {"transmit maximum", 0, 1024, 8192, 4096, 8192, 1024, 8192},
  };
  SimDevice *dev = sio_test_open(0);
  sim_set_current_queues(dev, 0, 0);  // rings sized from the requests alone
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    sim_set_max_queues(dev, row.max_rx, row.max_tx);
    sim_clear_records(dev);
    SioSetBufferSizes(0, row.rx_request, row.tx_request);
    auto setups = sim_setup_calls(dev);
    ASSERT_EQ(setups.size(), 1u);
    EXPECT_EQ(setups[0].in_queue, row.in_queue);
    EXPECT_EQ(setups[0].out_queue, row.out_queue);
    EXPECT_EQ(rx_ring(0).size.load(), row.rx_ring);
  }
  sio_test_close_all();
}

static void *FailAllocation(size_t) { return nullptr; }

TEST(Buffers, RingThatCannotBeAllocated) {
  SimDevice *dev = sio_test_open(0);
  sim_set_current_queues(dev, 0, 0);
  sio_ring_alloc = FailAllocation;
  SioSetBufferSizes(0, 8192, 4096);
  sio_ring_alloc = malloc;
  EXPECT_EQ(SioGetLastError(0), SIO_ERR_RING_ALLOC);
  EXPECT_EQ(uint16_t(SioGetLastError(0)), 0xD8F7);
  EXPECT_EQ(rx_ring(0).size.load(), 0u);
  EXPECT_EQ(tx_ring(0).size.load(), 0u);
  EXPECT_EQ(rx_ring(0).data.load(), nullptr);
  // A ring of size 0 takes no bytes and gives none.
  EXPECT_EQ(SioPutByte(0, 'x'), 0);
  sim_feed(dev, "abc");
  uint8_t byte = 0;
  EXPECT_EQ(SioGetByte(0, &byte), 0);
  EXPECT_TRUE(SioIsOpen(0));  // the open test clears the code again
  EXPECT_EQ(SioGetLastError(0), SIO_OK);
  SioSetBufferSizes(0, 8192, 4096);
  EXPECT_EQ(rx_ring(0).size.load(), 8192u);
  sio_test_close_all();
}

TEST(Buffers, TransmitPendingCount) {
  struct Row {
    const char *what;
    uint32_t ring_count, in_flight;
    DWORD out_queue;
    uint32_t pending;
  } rows[] = {
      {"in-flight bytes counted once", 20, 5, 5, 20},
      {"never below the driver's count", 0, 10, 7, 7},
      {"ring only", 30, 0, 0, 30},
      {"driver only", 0, 0, 12, 12},
  };
  SimDevice *dev = sio_test_open(0);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    tx_ring(0).count.store(row.ring_count);
    table().tx_in_flight[0].store(row.in_flight);
    sim_set_out_queue_count(dev, row.out_queue);
    EXPECT_EQ(SioPendingCount(0, 1), row.pending);
    EXPECT_EQ(SioGetPendingCount(0, 9), row.pending);  // any non-zero direction
  }
  tx_ring(0).count.store(0);
  table().tx_in_flight[0].store(0);
  sim_set_out_queue_count(dev, SIM_NO_OVERRIDE);
  EXPECT_EQ(SioPendingCount(1, 1), 0u);  // closed port
  sio_test_close_all();
}

TEST(Buffers, ReceivePendingCountMovesTheDriversBytes) {
  SimDevice *dev = sio_test_open(0);
  std::string bytes(100, '\0');
  for (int i = 0; i < 100; i++) bytes[i] = char(i);
  sim_feed(dev, bytes);
  EXPECT_EQ(SioPendingCount(0, 0), 100u);
  EXPECT_EQ(rx_ring(0).count.load(), 100u);
  EXPECT_EQ(sim_rx_waiting(dev), 0u);
  EXPECT_EQ(SioPendingCount(0, 0), 100u);  // now from the ring
  sio_test_close_all();
}

TEST(Buffers, QueueFull) {
  struct Row {
    const char *what;
    uint8_t port, direction;
    uint32_t ring_count;
    DWORD driver_count;
    uint8_t full;
  } rows[] = {
      // Transmit capacity: driver queue 4096 + ring 4096.
      {"empty", 0, 1, 0, 0, 0},
      {"ring full but the driver reports room", 0, 1, 4096, 0, 0},
      {"ring and driver full", 0, 1, 4096, 4096, 1},
      {"beyond the capacity", 0, 1, 4096, 5000, 1},
      // Receive capacity: driver queue 8192 + ring 4096 (8192 / 3, raised to 4096).
      {"receive one short", 0, 0, 4096, 8191, 0},
      {"receive at capacity", 0, 0, 4096, 8192, 1},
      {"closed port", 1, 1, 0, 0, 1},
      {"out of range", 36, 0, 0, 0, 1},
  };
  SimDevice *dev = sio_test_open(0);
  sim_set_current_queues(dev, 8192, 4096);
  SioSetBufferSizes(0, 8192, 4096);
  ASSERT_EQ(rx_ring(0).size.load(), 4096u);
  ASSERT_EQ(tx_ring(0).size.load(), 4096u);
  EXPECT_EQ(SioGetQueueCapacity(0, 0), 8192u + 4096u);
  EXPECT_EQ(SioGetQueueCapacity(0, 1), 4096u + 4096u);
  EXPECT_EQ(SioGetQueueCapacity(1, 1), 0u);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    if (row.port == 0) {
      RingQueue &ring = row.direction == 0 ? rx_ring(0) : tx_ring(0);
      ring.count.store(row.ring_count);
      if (row.direction == 0) sim_set_in_queue_count(dev, row.driver_count);
      else sim_set_out_queue_count(dev, row.driver_count);
    }
    EXPECT_EQ(SioQueueFull(row.port, row.direction), row.full);
  }
  rx_ring(0).count.store(0);
  tx_ring(0).count.store(0);
  sim_set_in_queue_count(dev, SIM_NO_OVERRIDE);
  sim_set_out_queue_count(dev, SIM_NO_OVERRIDE);
  sio_test_close_all();
}

TEST(Buffers, ReceiveFlush) {
  struct Row {
    const char *what;
    uint8_t flow_flags;
    DWORD holds;
    std::vector<uint8_t> xon_sent;
  } rows[] = {
      {"XON/XOFF with transmission held: XON sent", 0x80, SIM_XOFF_SENT, {0x11}},
      {"XON/XOFF, nothing held: no XON", 0x80, 0, {}},
      {"held but no XON/XOFF: no XON", 0x10, SIM_HOLD_CTS, {}},
  };
  SimDevice *dev = sio_test_open(0);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    sim_clear_records(dev);
    sim_set_holds(dev, row.holds);
    port_record(0).flow_flags.store(row.flow_flags);
    port_record(0).tx_not_held.store(0);
    rx_ring(0).count.store(10);
    rx_ring(0).write_pos.store(10);
    SioFlush(0, 0);
    EXPECT_EQ(sim_purges(dev), std::vector<DWORD>{PURGE_RXABORT | PURGE_RXCLEAR});
    EXPECT_EQ(rx_ring(0).count.load(), 0u);
    EXPECT_EQ(rx_ring(0).write_pos.load(), 0u);
    EXPECT_EQ(sim_transmitted_chars(dev), row.xon_sent);
    // Set to 1, then refreshed by the transmit count's error poll.
    EXPECT_EQ(port_record(0).tx_not_held.load(), row.holds ? 0 : 1);
  }
  port_record(0).flow_flags.store(0);
  sim_set_holds(dev, 0);
  // A break is ended only while transmit data is pending.
  sim_clear_records(dev);
  SioFlush(0, 0);
  EXPECT_EQ(sim_calls(dev, SIM_CLEAR_COMM_BREAK), 0u);
  sim_set_out_queue_count(dev, 3);
  SioFlush(0, 0);
  EXPECT_EQ(sim_calls(dev, SIM_CLEAR_COMM_BREAK), 1u);
  sim_set_out_queue_count(dev, SIM_NO_OVERRIDE);
  sio_test_close_all();
}

TEST(Buffers, TransmitFlushAndOtherDirections) {
  SimDevice *dev = sio_test_open(0);
  // Direction 2 does nothing.
  sim_clear_records(dev);
  SioFlush(0, 2);
  EXPECT_TRUE(sim_purges(dev).empty());
  // With the writer running: acknowledged, ring reset, driver purged.
  sim_clear_records(dev);
  SioFlush(0, 1);
  EXPECT_EQ(sim_purges(dev), std::vector<DWORD>{PURGE_TXABORT | PURGE_TXCLEAR});
  EXPECT_EQ(tx_ring(0).count.load(), 0u);
  // Without a running writer: nothing at all.
  SioStopWriter(0);
  ASSERT_EQ(table().writer_threads[0].thread.load(), nullptr);
  sim_clear_records(dev);
  tx_ring(0).count.store(5);
  tx_ring(0).write_pos.store(5);
  SioFlush(0, 1);
  EXPECT_TRUE(sim_purges(dev).empty());
  EXPECT_EQ(tx_ring(0).count.load(), 5u);
  tx_ring(0).count.store(0);
  tx_ring(0).write_pos.store(0);
  // Closed port: nothing.
  SioFlush(1, 0);
  SioFlush(1, 1);
  sio_test_close_all();
}
