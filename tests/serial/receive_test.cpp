// Buffers and the receive path against the simulated device: ring sizes and driver
// requests, the 80 percent backlog event, reads that end badly, block reads.
#include <gtest/gtest.h>

#include "support.h"

TEST(Receive, BufferSizing) {
  struct Row {  // max: the driver's maximum (0: none); current: its queue after SetupComm; asked: SetupComm's
    const char *what; bool rx; DWORD max, current; uint32_t request; DWORD asked; uint32_t ring;
  } rows[] = {
      {"rx 8192, driver 0: all in the ring", true, 0, 0, 8192, 8192, 8192},
      {"rx 8192, driver 6144: request - driver + 4096", true, 0, 6144, 8192, 8192, 6144},
      {"rx 8192, driver 8192: the smallest ring", true, 0, 8192, 8192, 8192, 4096},
      {"rx 8192, driver 16384: a third of the driver's", true, 0, 16384, 8192, 8192, 5461},
      {"rx 0 asks 4096", true, 0, 0, 0, 4096, 4096},
      {"rx 0 under a maximum of 1000", true, 1000, 0, 0, 1000, 4096},
      {"rx 4097: the driver gets an even size", true, 0, 0, 4097, 4096, 4097},
      {"rx 4097 with a driver maximum of 2048", true, 2048, 0, 4097, 2048, 4097},
      {"tx 4096, driver 3072: the driver's size", false, 0, 3072, 4096, 4096, 3072},
      {"tx 1000: the smallest ring", false, 0, 0, 1000, 1000, 2048},
      {"tx 0 is passed on", false, 0, 300, 0, 0, 300},
  };
  SimDevice *dev = open_sim_port(0);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    sim_set_max_queues(dev, row.rx ? row.max : 0, row.rx ? 0 : row.max);
    sim_set_current_queues(dev, row.rx ? row.current : SIM_FROM_SETUP, row.rx ? SIM_FROM_SETUP : row.current);
    sim_clear_records(dev);
    SioSetBufferSizes(0, row.rx ? row.request : 8192, row.rx ? 4096 : row.request);
    auto setups = sim_setup_calls(dev);
    ASSERT_EQ(setups.size(), 1u);
    EXPECT_EQ(row.rx ? setups[0].in_queue : setups[0].out_queue, row.asked);
    RingQueue &ring = row.rx ? table().rx_rings[0] : table().tx_rings[0];
    EXPECT_EQ(ring.size.load(), row.ring);
    EXPECT_TRUE(ring.data.load() != nullptr && SioGetLastError(0) == SIO_OK);
  }
  close_all();
}

// A receive ring of exactly `size` bytes, the driver reporting no queue size.
static SimDevice *OpenWithReceiveRing(uint32_t size) {
  SimDevice *dev = open_sim_port(0);
  sim_set_current_queues(dev, 0, SIM_FROM_SETUP);
  SioSetBufferSizes(0, size, 4096);
  EXPECT_EQ(table().rx_rings[0].size.load(), size);
  return dev;
}

TEST(Receive, BacklogThreshold) {
  struct Row {  // in_driver: counted, with nothing to read
    const char *what; uint32_t ring_size, driver_queue, in_ring; DWORD in_driver; uint32_t mask; bool delivered, take;
  } rows[] = {
      {"8192 + 0: 6553 reaches 80%", 8192, 0, 6453, 100, 0x5FD, true, false},
      {"8192 + 0: 6552 does not", 8192, 0, 6452, 100, 0x5FD, false, false},
      {"4096 + 4096: 6553 reaches it", 4096, 4096, 4000, 2553, 0x5FD, true, false},
      {"4096 + 4096: 6552 does not", 4096, 4096, 4000, 2552, 0x5FD, false, false},
      {"a full ring still tests", 4096, 0, 4096, 0, 0x5FD, true, false},
      {"the mask must ask for it", 8192, 0, 8000, 100, EV_RXCHAR, false, false},
      {"a handler taking the bytes is not called again from inside its takes", 8192, 0, 6453, 100, 0x5FD, true, true},
  };
  SimDevice *dev = OpenWithReceiveRing(8192);
  RingQueue &ring = table().rx_rings[0];
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    SioSetEventHandler(0, row.take ? take_and_log : log_event);
    table().event_masks[0].store(row.mask);
    ring.size.store(row.ring_size), ring.driver_queue.store(row.driver_queue);
    ring.read_pos.store(0), ring.write_pos.store(row.in_ring % row.ring_size), ring.count.store(row.in_ring);
    sim_set_in_queue_count(dev, row.in_driver);
    clear_log();
    SioFillRxRing(0);
    EXPECT_EQ(logged_words(), std::vector<uint32_t>(row.delivered ? 1 : 0, EV_RX80FULL));
    EXPECT_TRUE(!row.take || ring.count.load() == 0) << "every byte taken";
  }
  close_all();
}

// A read the device fails (hung up) leaves the bytes received before it to be taken
// and reports the failure in last_error; one ended by the cancel event empties the
// ring. No request outlives the fill: the record is free for the next read.
TEST(Receive, ReadsThatEndBadly) {
  struct Row { const char *what; SimIoMode mode; uint32_t count_after; int16_t error; } rows[] = {  // 5 in the ring, 10 fed
      {"a read that completes adds its bytes", SIM_IO_AT_ONCE, 15, SIO_OK},
      {"a failed read keeps what the ring held", SIM_IO_FAIL, 5, SIO_FAILED},
      {"a pending read ended by the cancel event empties it", SIM_IO_PENDING, 0, SIO_OK},
  };
  SimDevice *dev = OpenWithReceiveRing(4096);
  SioCreateReadEvents(0);
  RingQueue &ring = table().rx_rings[0];
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    ring.write_pos.store(5), ring.count.store(5);
    for (uint32_t i = 0; i < 5; i++) ring.data.load()[i] = uint8_t('a' + i);
    sim_set_read_mode(dev, row.mode, ERROR_BAD_COMMAND);
    sim_feed(dev, "0123456789");
    std::thread filler([] { SioPendingCount(0, 0); });
    if (row.mode == SIM_IO_PENDING) {
      EXPECT_TRUE(sim_wait_read_pending(dev, 10000));
      win32.SetEvent(table().reader_events[0].cancel_event);
    }
    filler.join();
    EXPECT_EQ(ring.count.load(), row.count_after);
    EXPECT_EQ(SioGetLastError(0), row.error);
    uint8_t held[5] = {};
    EXPECT_TRUE(row.count_after == 0 || (SioGetBytes(0, held, 5) == 5 && memcmp(held, "abcde", 5) == 0));
    EXPECT_FALSE(sim_read_pending(dev)) << "no request outlives the fill";
    sim_set_read_mode(dev, SIM_IO_AT_ONCE);
    SioFlush(0, 0);
  }
  SioFillRxRing(0);  // the request record is used again
  EXPECT_EQ(sim_misuse_count(dev), 0u);
  close_all();
}

// SioGetBytes takes both spans of a wrapped ring under one lock, and fills an empty
// ring from the driver once.
TEST(Receive, BlocksComeOutInOrder) {
  struct Row { const char *what; uint32_t read_pos, in_ring; size_t fed; uint32_t want, got; } rows[] = {
      {"across the end of the storage", 4000, 200, 0, 300, 200},
      {"no more than asked", 4090, 20, 0, 15, 15},
      {"an empty ring is filled from the driver first", 0, 0, 50, 4096, 50},
      {"nothing anywhere", 0, 0, 0, 10, 0},
  };
  SimDevice *dev = OpenWithReceiveRing(4096);
  RingQueue &ring = table().rx_rings[0];
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<uint8_t> held = byte_stream(row.in_ring + row.fed, row.read_pos);
    ring.read_pos.store(row.read_pos), ring.count.store(row.in_ring);
    ring.write_pos.store((row.read_pos + row.in_ring) % 4096);
    for (uint32_t i = 0; i < row.in_ring; i++) ring.data.load()[(row.read_pos + i) % 4096] = held[i];
    sim_feed(dev, held.data() + row.in_ring, row.fed);
    std::vector<uint8_t> out(row.want);
    ASSERT_EQ(SioGetBytes(0, out.data(), row.want), row.got);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + row.got),
              std::vector<uint8_t>(held.begin(), held.begin() + row.got));
    EXPECT_EQ(ring.count.load(), row.in_ring + row.fed - row.got);
    EXPECT_EQ(ring.read_pos.load(), (row.read_pos + row.got) % 4096);
    SioFlush(0, 0);
  }
  uint8_t byte;
  EXPECT_TRUE(SioGetBytes(36, &byte, 1) == 0 && SioGetBytes(0, nullptr, 1) == 0) << "an index above 35, no buffer";
  close_all();
  EXPECT_EQ(SioGetBytes(0, &byte, 1), 0u) << "a closed port";
}
