// The transmit ring seen from the application: queueing bytes, a full ring, ports
// without a ring, and characters sent ahead of the queue.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "writer_test_support.h"

namespace {

class TransmitRing : public ::testing::Test {
 protected:
  void TearDown() override { sio_test_close_all(); }
};

std::atomic<HANDLE> watched_event{nullptr};
std::atomic<int> watched_sets{0};
BOOL(WINAPI *set_event_in_force)(HANDLE) = nullptr;

BOOL WINAPI CountingSetEvent(HANDLE h) {
  if (h != nullptr && h == watched_event.load()) watched_sets++;
  return set_event_in_force(h);
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; i++) bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return bytes;
}

}  // namespace

TEST_F(TransmitRing, FullRingTakesNothingButStillWakesTheWriter) {
  SimDevice *dev = sio_test_open(0);
  ASSERT_EQ(tx_ring(0).size.load(), 4096u);
  sim_set_write_mode(dev, SIM_IO_PENDING);
  std::vector<uint8_t> block = pattern(4096, 1);
  ASSERT_EQ(SioTxRingWrite(0, block.data(), 4096), 4096u) << "an empty ring takes its size";
  ASSERT_TRUE(sim_wait_write_pending(dev, 10000));
  // The bytes of the write in progress stay in the ring until it returns.
  EXPECT_EQ(tx_ring(0).count.load(), 4096u);

  watched_event = table().writer_threads[0].data_event;
  set_event_in_force = win32.SetEvent;
  win32.SetEvent = CountingSetEvent;
  EXPECT_EQ(SioPutByte(0, 'x'), 0) << "a full ring takes no byte";
  EXPECT_EQ(watched_sets.load(), 1) << "data_event is signalled all the same";
  win32.SetEvent = set_event_in_force;

  // Once the first write returns, exactly the room it made is taken.
  ASSERT_TRUE(sim_release_write(dev));
  ASSERT_TRUE(wait_until([] { return tx_ring(0).count.load() == 4096u - 192u; }));
  std::vector<uint8_t> more = pattern(300, 9);
  EXPECT_EQ(SioTxRingWrite(0, more.data(), 300), 192u);
  EXPECT_EQ(SioPutByte(0, 'y'), 0);
}

TEST_F(TransmitRing, PortsWithoutARingTakeNothing) {
  uint8_t byte = 0x55;
  EXPECT_EQ(SioPutByte(0, byte), 0) << "before the library exists";
  EXPECT_EQ(SioTxRingWrite(3, &byte, 1), 0u);
  sio_test_open(0);
  EXPECT_EQ(SioPutByte(1, byte), 0) << "a port that is not open";
  EXPECT_EQ(SioPutByte(36, byte), 0) << "an index past the table";
  EXPECT_EQ(SioPutByte(255, byte), 0) << "an index past the table";
  EXPECT_EQ(SioTxRingWrite(0, &byte, 0), 0u) << "a length of 0";
}

TEST_F(TransmitRing, BytesReachTheDeviceInOrder) {
  SimDevice *dev = sio_test_open(0);
  std::vector<uint8_t> sent;
  for (int round = 0; round < 20; round++) {
    std::vector<uint8_t> block = pattern(257 + round * 61, static_cast<uint8_t>(round));
    uint32_t queued = 0;
    while (queued < block.size()) {
      uint32_t n = SioTxRingWrite(0, block.data() + queued, static_cast<uint32_t>(block.size() - queued));
      queued += n;
      if (n == 0) {
        ASSERT_TRUE(wait_until([] { return tx_ring(0).count.load() < 4096u; }));
      }
    }
    sent.insert(sent.end(), block.begin(), block.end());
    for (int i = 0; i < 5; i++) {
      sent.push_back(static_cast<uint8_t>(i));
      while (SioPutByte(0, static_cast<uint8_t>(i)) == 0)
        ASSERT_TRUE(wait_until([] { return tx_ring(0).count.load() < 4096u; }));
    }
  }
  ASSERT_TRUE(sim_wait_written(dev, sent.size(), 10000));
  EXPECT_EQ(sim_written(dev), sent);
  EXPECT_EQ(sim_misuse_count(dev), 0u);
}

TEST_F(TransmitRing, ImmediateCharactersGoAheadOfTheRing) {
  SimDevice *dev = sio_test_open(0);
  struct Row {
    const char *what;
    uint8_t port;
    DWORD fail;           // TransmitCommChar fails with this error (0: it works)
    bool result;
    std::vector<uint8_t> sent;
  };
  const Row rows[] = {
      {"a character on an open port", 0, 0, true, {0x41}},
      {"a port that is not open", 2, 0, false, {}},
      {"an index past the table", 40, 0, false, {}},
      {"the device refuses it", 0, ERROR_GEN_FAILURE, false, {0x41}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    sim_clear_records(dev);
    sim_fail(dev, SIM_TRANSMIT_COMM_CHAR, row.fail);
    EXPECT_EQ(SioTransmitChar(row.port, 0x41), row.result);
    sim_fail(dev, SIM_TRANSMIT_COMM_CHAR, 0);
    std::vector<uint8_t> expected = row.fail ? std::vector<uint8_t>{} : row.sent;
    EXPECT_EQ(sim_transmitted_chars(dev), expected);
    EXPECT_TRUE(sim_written(dev).empty()) << "an immediate character never enters the ring";
  }
}

TEST_F(TransmitRing, XonIsTheCharacterOfTheCurrentDcb) {
  SimDevice *dev = sio_test_open(0);
  SioSendXon(0);
  DCB dcb;
  SioGetDcb(0, &dcb);
  dcb.XonChar = 0x21;
  SioSetDcb(0, &dcb);
  SioSendXon(0);
  EXPECT_EQ(sim_transmitted_chars(dev), (std::vector<uint8_t>{0x11, 0x21}));
}
