// The writer thread's drain: chunk sizes, writes that never wrap, writes that fail to
// start, flushes while idle or writing, and the ring-emptied event.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "writer_test_support.h"

namespace {

class WriterDrain : public ::testing::Test {
 protected:
  void TearDown() override { sio_test_close_all(); }
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; i++) bytes[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 7));
  return bytes;
}

// Empties the idle writer's ring and moves both positions to `pos`.
void place_ring_at(uint32_t pos) {
  RingQueue &ring = tx_ring(0);
  SioLockRing(&ring);
  ring.read_pos.store(pos);
  ring.write_pos.store(pos);
  ring.count.store(0);
  SioUnlockRing(&ring);
}

}  // namespace

TEST_F(WriterDrain, ChunksFollowTheBaudRateAndNeverWrap) {
  struct Row {
    const char *what;
    uint32_t baud;
    uint32_t read_pos;
    uint32_t bytes;
    std::vector<DWORD> writes;
  };
  const Row rows[] = {
      {"9600 baud: 192 bytes a write", 9600, 0, 1000, {192, 192, 192, 192, 192, 40}},
      {"a block past the end of a 4096-byte ring goes in two writes", 9600, 4050, 100, {46, 54}},
      {"300 baud: 300/50 = 6 is raised to 10", 300, 0, 25, {10, 10, 5}},
      {"115200 baud: 2304 bytes a write", 115200, 0, 3000, {2304, 696}},
      {"a chunk stops at the end of the storage", 115200, 3000, 3000, {1096, 1904}},
      {"a baud of 1 still gives chunks of 10", 1, 100, 21, {10, 10, 1}},
  };
  SimDevice *dev = sio_test_open(0);
  ASSERT_EQ(tx_ring(0).size.load(), 4096u);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    port_record(0).baud.store(row.baud);
    place_ring_at(row.read_pos);
    sim_clear_records(dev);
    std::vector<uint8_t> block = pattern(row.bytes, static_cast<uint8_t>(row.baud));
    ASSERT_EQ(SioTxRingWrite(0, block.data(), row.bytes), row.bytes);
    ASSERT_TRUE(sim_wait_written(dev, row.bytes, 10000));
    ASSERT_TRUE(wait_until([] { return tx_ring(0).count.load() == 0; }));
    EXPECT_EQ(sim_write_sizes(dev), row.writes);
    EXPECT_EQ(sim_written(dev), block);
    EXPECT_EQ(tx_ring(0).read_pos.load(), (row.read_pos + row.bytes) % 4096u);
  }
}

TEST_F(WriterDrain, WritesThatFailToStartKeepTheBytesWithoutSpinning) {
  SimDevice *dev = sio_test_open(0);
  sim_set_write_mode(dev, SIM_IO_FAIL, ERROR_GEN_FAILURE);
  std::vector<uint8_t> block = pattern(50, 3);
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(SioTxRingWrite(0, block.data(), 50), 50u);
  ASSERT_TRUE(sim_wait_calls(dev, SIM_WRITE_FILE, 7, 10000));
  // Pauses of 4, 8, 16, 32, 64 and 100 ms lie between the first seven attempts.
  EXPECT_GE(elapsed_ms(start), 200);
  EXPECT_EQ(tx_ring(0).count.load(), 50u) << "nothing is taken from the ring";
  EXPECT_EQ(table().tx_in_flight[0].load(), 0u);
  EXPECT_EQ(SioPendingCount(0, 1), 50u);
  for (DWORD size : sim_write_sizes(dev)) EXPECT_EQ(size, 50u);

  // The writer answers a flush at once while it pauses, and keeps working afterwards.
  auto flush_start = std::chrono::steady_clock::now();
  SioFlush(0, 1);
  EXPECT_LT(elapsed_ms(flush_start), 1000);
  EXPECT_EQ(tx_ring(0).count.load(), 0u);

  ASSERT_EQ(SioTxRingWrite(0, block.data(), 50), 50u);
  ASSERT_TRUE(wait_until([&] { return sim_calls(dev, SIM_WRITE_FILE) >= 10; }));
  sim_set_write_mode(dev, SIM_IO_AT_ONCE);
  ASSERT_TRUE(sim_wait_written(dev, 50, 10000)) << "the kept bytes go once the device takes them";
  EXPECT_EQ(sim_written(dev), block);

  // And a close while the writes fail returns at once.
  sim_set_write_mode(dev, SIM_IO_FAIL, ERROR_GEN_FAILURE);
  SioTxRingWrite(0, block.data(), 50);
  ASSERT_TRUE(wait_until([&] { return sim_calls(dev, SIM_WRITE_FILE) >= 15; }));
  auto close_start = std::chrono::steady_clock::now();
  SioClose(0);
  EXPECT_LT(elapsed_ms(close_start), 1000);
}

TEST_F(WriterDrain, FlushWhileIdleIsAnsweredWithoutDraining) {
  SimDevice *dev = sio_test_open(0);
  uint8_t first[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  ASSERT_EQ(SioTxRingWrite(0, first, 10), 10u);
  ASSERT_TRUE(sim_wait_written(dev, 10, 10000));
  ASSERT_TRUE(wait_until([] { return tx_ring(0).count.load() == 0; }));

  auto start = std::chrono::steady_clock::now();
  SioFlush(0, 1);
  EXPECT_LT(elapsed_ms(start), 1000) << "the writer acknowledged (no 5000 ms time-out)";
  EXPECT_EQ(sim_purges(dev).back(), DWORD{PURGE_TXABORT | PURGE_TXCLEAR});

  // Bytes put in the ring without data_event stay there across a wake request ...
  ThreadRecord &w = table().writer_threads[0];
  RingQueue &ring = tx_ring(0);
  SioLockRing(&ring);
  uint8_t *data = ring.data.load();
  for (uint32_t i = 0; i < 5; i++) data[i] = static_cast<uint8_t>(0xA0 + i);
  ring.write_pos.store(5);
  ring.count.store(5);
  SioUnlockRing(&ring);
  unsigned writes = sim_calls(dev, SIM_WRITE_FILE);
  win32.SetEvent(w.wake_event);
  ASSERT_EQ(win32.WaitForSingleObject(w.started_event, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(sim_calls(dev, SIM_WRITE_FILE), writes) << "a wake request does not drain";
  EXPECT_EQ(ring.count.load(), 5u);

  // ... and go at the next data_event.
  win32.SetEvent(w.data_event);
  ASSERT_TRUE(sim_wait_written(dev, 15, 10000));
  std::vector<uint8_t> written = sim_written(dev);
  EXPECT_EQ(std::vector<uint8_t>(written.begin() + 10, written.end()),
            (std::vector<uint8_t>{0xA0, 0xA1, 0xA2, 0xA3, 0xA4}));
}

TEST_F(WriterDrain, FlushDuringAWriteAbandonsIt) {
  SimDevice *dev = open_logged_port(0);
  SioSetEventMask(0, SIO_DEFAULT_EVENT_MASK | SIO_EV_TXRING_EMPTY, 0);
  sim_set_write_mode(dev, SIM_IO_PENDING);
  std::vector<uint8_t> block = pattern(100, 5);
  ASSERT_EQ(SioTxRingWrite(0, block.data(), 100), 100u);
  ASSERT_TRUE(sim_wait_write_pending(dev, 10000));
  EXPECT_EQ(table().tx_in_flight[0].load(), 100u);
  clear_logged_events();
  // A wake-up for data already waits (as the event thread's nudge can leave one): the
  // writer must still not write again before the flush has purged the old write.
  win32.SetEvent(table().writer_threads[0].data_event);

  auto start = std::chrono::steady_clock::now();
  SioFlush(0, 1);
  EXPECT_LT(elapsed_ms(start), 1000);
  EXPECT_EQ(tx_ring(0).count.load(), 0u);
  EXPECT_EQ(table().tx_in_flight[0].load(), 0u);
  EXPECT_FALSE(sim_write_pending(dev)) << "the purge ended the write";
  EXPECT_TRUE(sim_written(dev).empty());
  ASSERT_TRUE(wait_logged(SIO_EV_TXRING_EMPTY, 1)) << "an abandoned write counts as emptied";
  EXPECT_EQ(sim_write_sizes(dev), std::vector<DWORD>{100}) << "nothing written again after the flush";
  EXPECT_EQ(sim_misuse_count(dev), 0u) << "no write while the abandoned one was pending";

  sim_set_write_mode(dev, SIM_IO_AT_ONCE);
  ASSERT_EQ(SioTxRingWrite(0, block.data(), 7), 7u);
  ASSERT_TRUE(sim_wait_written(dev, 7, 10000)) << "the writer goes on after the flush";
  EXPECT_EQ(sim_misuse_count(dev), 0u);
}

TEST_F(WriterDrain, RingEmptiedIsReportedOncePerEmptying) {
  SimDevice *dev = open_logged_port(0);
  // The flag left from the start is reported at the first idle pass after the bit
  // is added, together with the first emptying.
  SioSetEventMask(0, SIO_DEFAULT_EVENT_MASK | SIO_EV_TXRING_EMPTY, 0);
  size_t total = 0;
  for (int round = 1; round <= 6; round++) {
    SCOPED_TRACE(round);
    std::vector<uint8_t> block = pattern(static_cast<size_t>(round) * 300, static_cast<uint8_t>(round));
    ASSERT_EQ(SioTxRingWrite(0, block.data(), static_cast<uint32_t>(block.size())), block.size());
    total += block.size();
    ASSERT_TRUE(sim_wait_written(dev, total, 10000));
    ASSERT_TRUE(wait_logged(SIO_EV_TXRING_EMPTY, static_cast<size_t>(round)));
    EXPECT_EQ(logged_count(SIO_EV_TXRING_EMPTY), static_cast<size_t>(round));
  }
  for (const LoggedEvent &e : logged_events()) EXPECT_EQ(e.events, SIO_EV_TXRING_EMPTY);

  // Without the bit in the mask nothing is reported.
  SioSetEventMask(0, SIO_DEFAULT_EVENT_MASK, 0);
  uint8_t byte = 1;
  SioTxRingWrite(0, &byte, 1);
  ASSERT_TRUE(sim_wait_written(dev, total + 1, 10000));
  ASSERT_TRUE(wait_until([] { return tx_ring(0).count.load() == 0; }));
  SioSetEventMask(0, SIO_DEFAULT_EVENT_MASK | SIO_EV_TXRING_EMPTY, 0);
  EXPECT_EQ(logged_count(SIO_EV_TXRING_EMPTY), 6u);
}
