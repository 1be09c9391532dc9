// The transmit ring and the writer thread against the simulated device: chunks, failed
// writes, flushes, the ring-emptied event, a full ring, a byte sent at once.
#include <gtest/gtest.h>

#include "support.h"

// Waits until the writer has no bytes left, nor a write in flight.
static bool wait_drained() {
  return wait_until([] { return table().tx_rings[0].count.load() == 0 && table().tx_in_flight[0].load() == 0; });
}

TEST(Transmit, ChunksFollowTheBaudRateAndNeverWrap) {
  struct Row { const char *what; uint32_t baud, read_pos, bytes; std::vector<DWORD> writes; } rows[] = {
      {"9600 baud: 192 bytes a write", 9600, 0, 1000, {192, 192, 192, 192, 192, 40}},
      {"past the end of a 4096 ring: two writes", 9600, 4050, 100, {46, 54}},
      {"300 baud: 6 raised to 10", 300, 0, 25, {10, 10, 5}},
      {"115200 baud: 2304 a write, stopping at the end", 115200, 3000, 3000, {1096, 1904}},
  };
  SimDevice *dev = open_sim_port(0);
  RingQueue &ring = table().tx_rings[0];
  ASSERT_EQ(ring.size.load(), 4096u);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    table().ports[0].baud.store(row.baud);
    SioLockRing(&ring);  // the idle writer's ring, emptied at read_pos
    ring.read_pos.store(row.read_pos), ring.write_pos.store(row.read_pos), ring.count.store(0);
    SioUnlockRing(&ring);
    sim_clear_records(dev);
    std::vector<uint8_t> block = byte_stream(row.bytes, row.baud);
    ASSERT_EQ(SioTxRingWrite(0, block.data(), row.bytes), row.bytes);
    ASSERT_TRUE(sim_wait_written(dev, row.bytes, 10000) && wait_drained());
    EXPECT_EQ(sim_write_sizes(dev), row.writes);
    EXPECT_EQ(sim_written(dev), block);
  }
  close_all();
}

TEST(Transmit, AWriteThatFailsToStartKeepsItsBytes) {
  SimDevice *dev = open_sim_port(0);
  sim_set_write_mode(dev, SIM_IO_FAIL, ERROR_GEN_FAILURE);
  std::vector<uint8_t> block = byte_stream(50, 3);
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(SioTxRingWrite(0, block.data(), 50), 50u);
  ASSERT_TRUE(sim_wait_calls(dev, SIM_WRITE_FILE, 7, 10000));
  EXPECT_GE(elapsed_ms(start), 200) << "pauses of 4, 8, 16, 32, 64 and 100 ms: no spinning";
  EXPECT_EQ(table().tx_rings[0].count.load(), 50u) << "nothing is taken from the ring";
  sim_set_write_mode(dev, SIM_IO_AT_ONCE);
  ASSERT_TRUE(sim_wait_written(dev, 50, 10000)) << "the kept bytes go once the device takes them";
  EXPECT_EQ(sim_written(dev), block);
  close_all();
}

TEST(Transmit, Flushes) {
  struct Row { const char *what; bool pending; } rows[] = {  // pending: the write of 100 bytes stays so
      {"a flush while the writer is idle is answered at once", false},
      {"a flush during a write abandons it, and the writer writes nothing before the purge", true},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    SimDevice *dev = open_sim_port(0, log_event);
    sim_set_write_mode(dev, row.pending ? SIM_IO_PENDING : SIM_IO_AT_ONCE);
    std::vector<uint8_t> block = byte_stream(100, 5);
    ASSERT_EQ(SioTxRingWrite(0, block.data(), 100), 100u);
    ASSERT_TRUE(row.pending ? sim_wait_write_pending(dev, 10000) : sim_wait_written(dev, 100, 10000) && wait_drained());
    win32.SetEvent(table().writer_threads[0].data_event);  // a wake-up already waiting
    sim_clear_records(dev), clear_log();
    auto start = std::chrono::steady_clock::now();
    SioFlush(0, 1);
    EXPECT_LT(elapsed_ms(start), 1000) << "the writer acknowledged (no 5000 ms time-out)";
    EXPECT_EQ(sim_purges(dev), std::vector<DWORD>{PURGE_TXABORT | PURGE_TXCLEAR});
    EXPECT_EQ(SioPendingCount(0, 1), 0u);
    EXPECT_TRUE(!row.pending || wait_logged(SIO_EV_TXRING_EMPTY, 1)) << "abandoned: emptied";
    sim_set_write_mode(dev, SIM_IO_AT_ONCE);
    ASSERT_EQ(SioTxRingWrite(0, block.data(), 7), 7u);
    ASSERT_TRUE(sim_wait_written(dev, 7, 10000)) << "the writer goes on after the flush";
    EXPECT_EQ(sim_written(dev), std::vector<uint8_t>(block.begin(), block.begin() + 7));
    EXPECT_EQ(sim_misuse_count(dev), 0u) << "no write while an abandoned one was pending";
    close_all();
  }
}

// The writer's start counts as an emptying, reported at its first idle pass with the
// bit in the mask, which a flush makes happen at once.
TEST(Transmit, RingEmptiedIsReportedOncePerEmptying) {
  SimDevice *dev = open_sim_port(0, log_event);
  SioFlush(0, 1);
  ASSERT_TRUE(wait_logged(SIO_EV_TXRING_EMPTY, 1));
  clear_log();
  for (size_t round = 1, total = 0; round <= 4; round++) {
    std::vector<uint8_t> block = byte_stream(round * 300, uint32_t(round));
    ASSERT_EQ(SioTxRingWrite(0, block.data(), uint32_t(block.size())), block.size());
    total += block.size();
    ASSERT_TRUE(sim_wait_written(dev, total, 10000) && wait_logged(SIO_EV_TXRING_EMPTY, round)) << round;
  }
  EXPECT_EQ(logged_words(), std::vector<uint32_t>(4, SIO_EV_TXRING_EMPTY));
  close_all();
}

TEST(Transmit, FullRingTakesNothing) {
  SimDevice *dev = open_sim_port(0);
  sim_set_write_mode(dev, SIM_IO_PENDING);
  std::vector<uint8_t> block = byte_stream(4096, 1);
  ASSERT_EQ(SioTxRingWrite(0, block.data(), 4096), 4096u) << "an empty ring takes its size";
  ASSERT_TRUE(sim_wait_write_pending(dev, 10000));
  EXPECT_EQ(SioPutByte(0, 'x'), 0) << "the write in progress keeps its bytes in the ring";
  EXPECT_EQ(SioPendingCount(0, 1), 4096u) << "counted once, not again as the driver's";
  ASSERT_TRUE(sim_release_write(dev));
  ASSERT_TRUE(wait_until([] { return table().tx_rings[0].count.load() == 4096u - 192u; }));
  EXPECT_EQ(SioTxRingWrite(0, block.data(), 300), 192u) << "exactly the room the write made";
  EXPECT_EQ(SioPutByte(0, 'y'), 0);
  EXPECT_TRUE(SioPutByte(1, 'y') == 0 && SioPutByte(36, 'y') == 0) << "a closed port, an index past the table";
  close_all();
}

// SioPutByteAtOnce hands a byte to an idle device itself, and otherwise queues it
// behind what waits, so that the line keeps the order the bytes were given in.
// EV_TXEMPTY from the device is held back while data waits and then delivered by the
// writer once the ring is empty (or dropped when it writes again); everything else
// goes at once. At 300 baud a write is 10 bytes; the writes stay pending.
TEST(Transmit, TransmitterEmptyWaitsForQueuedData) {
  struct Row {
    const char *what; uint32_t queued; DWORD raised;
    std::vector<uint32_t> now; uint8_t held; std::vector<uint32_t> later;  // handler calls, before and after
  } rows[] = {
      {"the last write in flight: held, then the writer delivers it", 10, EV_TXEMPTY, {}, 1, {EV_TXEMPTY}},
      {"more bytes in the ring: held, dropped as the writer writes again", 20, EV_TXEMPTY, {}, 1, {}},
      {"with EV_RXCHAR: EV_RXCHAR alone now", 10, EV_RXCHAR | EV_TXEMPTY, {EV_RXCHAR}, 1, {EV_TXEMPTY}},
      {"nothing waiting: delivered at once", 0, EV_TXEMPTY, {EV_TXEMPTY}, 0, {}},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    SimDevice *dev = open_sim_port(0);
    SioSetEventHandler(0, log_event);
    SioConfigure(0, 300, 8, 1, 'N', 0);
    sim_set_write_mode(dev, SIM_IO_PENDING);
    std::vector<uint8_t> bytes(row.queued, 0x5A);
    ASSERT_EQ(SioTxRingWrite(0, bytes.data(), row.queued), row.queued);
    ASSERT_TRUE((row.queued == 0 || sim_wait_write_pending(dev, 10000)) && sim_wait_comm_wait_pending(dev, 10000));
    clear_log();
    sim_raise(dev, row.raised);
    ASSERT_TRUE(sim_wait_comm_wait_pending(dev, 10000));
    EXPECT_TRUE(logged_words() == row.now && table().tx_empty_pending[0].load() == row.held);
    if (row.queued != 0) {
      SioSetEventMask(0, (SIO_DEFAULT_EVENT_MASK & ~EV_TXEMPTY) | SIO_EV_TXRING_EMPTY, 0);
      clear_log();
      sim_set_write_mode(dev, SIM_IO_AT_ONCE);
      ASSERT_TRUE(sim_release_write(dev) && wait_logged(SIO_EV_TXRING_EMPTY, 1));
      SioFlush(0, 1);  // answered once the writer's reports are done
      std::vector<uint32_t> later;
      for (uint32_t word : logged_words()) {
        if (word != SIO_EV_TXRING_EMPTY) later.push_back(word);
      }
      EXPECT_EQ(later, row.later);
    }
    SioSetEventMask(0, SIO_DEFAULT_EVENT_MASK, 0);
    close_all();
  }
}

TEST(Transmit, ByteAtOnceKeepsTheLineInOrder) {
  struct Row {  // direct: went through TransmitCommChar
    const char *what; bool queued_first, flow, refused; DWORD driver_out; bool direct;
  } rows[] = {
      {"an idle port: straight to the device", false, false, false, SIM_NO_OVERRIDE, true},
      {"bytes in the ring: behind them", true, false, false, SIM_NO_OVERRIDE, false},
      {"bytes in the driver's queue: queued", false, false, false, 5, false},
      {"a handshake could hold the line: queued", false, true, false, SIM_NO_OVERRIDE, false},
      {"the device refuses the character: queued", false, false, true, SIM_NO_OVERRIDE, false},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    SimDevice *dev = open_sim_port(0);
    if (row.flow) SioSetFlowControl(0, 0x10, 0);  // RTS/CTS
    if (row.refused) sim_fail(dev, SIM_TRANSMIT_COMM_CHAR, ERROR_INVALID_PARAMETER);
    sim_set_out_queue_count(dev, row.driver_out);
    std::vector<uint8_t> expected = byte_stream(row.queued_first ? 10 : 0, 9);
    if (row.queued_first) {
      sim_set_write_mode(dev, SIM_IO_PENDING);
      ASSERT_EQ(SioTxRingWrite(0, expected.data(), 10), 10u);
      ASSERT_TRUE(sim_wait_write_pending(dev, 10000));
    }
    EXPECT_EQ(SioPutByteAtOnce(0, 'k'), 1);
    sim_set_out_queue_count(dev, SIM_NO_OVERRIDE);
    sim_set_write_mode(dev, SIM_IO_AT_ONCE);
    ASSERT_TRUE(!row.queued_first || sim_release_write(dev));
    expected.push_back('k');
    ASSERT_TRUE(sim_wait_written(dev, expected.size(), 10000));
    EXPECT_EQ(sim_written(dev), expected);
    EXPECT_EQ(sim_transmitted_chars(dev), std::vector<uint8_t>(row.direct ? 1 : 0, 'k'));
    close_all();
  }
  EXPECT_EQ(SioPutByteAtOnce(0, 'k'), 0) << "a closed port";
}

namespace {

// SetupComm as the sim has it, first made to stage a device write in flight: bytes are
// queued after SioSetBufferSizes' flush, before its new rings, and the writer's write
// of them stays pending.
SimDevice *resized_dev = nullptr;
decltype(Win32Calls::SetupComm) sim_setup_comm = nullptr;
const std::vector<uint8_t> before_resize(100, 'A'), after_resize(100, 'B');
BOOL WINAPI setup_during_a_write(HANDLE h, DWORD in_queue, DWORD out_queue) {
  EXPECT_EQ(SioTxRingWrite(0, before_resize.data(), 100), 100u);
  EXPECT_TRUE(sim_wait_write_pending(resized_dev, 10000));
  return sim_setup_comm(h, in_queue, out_queue);
}

}  // namespace

// The transmit ring is replaced while a device write reads from its storage (the sim
// reads a write's bytes when it ends): the write still sends what it was given, and
// the new ring's bytes follow it.
TEST(Transmit, NewRingsDuringAWrite) {
  SimDevice *dev = resized_dev = open_sim_port(0);
  sim_set_write_mode(dev, SIM_IO_PENDING);
  sim_setup_comm = win32.SetupComm, win32.SetupComm = setup_during_a_write;
  SioSetBufferSizes(0, 8192, 4096);
  win32.SetupComm = sim_setup_comm;
  ASSERT_EQ(SioTxRingWrite(0, after_resize.data(), 100), 100u);  // perhaps where the old storage was
  sim_set_write_mode(dev, SIM_IO_AT_ONCE);
  ASSERT_TRUE(sim_release_write(dev));
  EXPECT_TRUE(sim_wait_written(dev, 200, 10000));
  std::vector<uint8_t> expected = before_resize;
  expected.insert(expected.end(), after_resize.begin(), after_resize.end());
  EXPECT_EQ(sim_written(dev), expected);
  close_all();
}

// EV_TXEMPTY held back while the writer still counts its last write in flight reaches
// the handler even when the writer has gone idle by then: it is woken to deliver it,
// with no new data queued.
TEST(Transmit, HeldBackTransmitterEmptyReachesTheHandlerFromAnIdleWriter) {
  SimDevice *dev = open_sim_port(0);
  SioSetEventHandler(0, log_event);
  SioConfigure(0, 300, 8, 1, 'N', 0);
  ASSERT_TRUE(sim_wait_comm_wait_pending(dev, 10000));
  table().tx_in_flight[0].store(1);  // the last write, not yet counted out as the event comes
  sim_raise(dev, EV_TXEMPTY);
  EXPECT_TRUE(wait_logged(EV_TXEMPTY, 1));
  EXPECT_TRUE(sim_write_sizes(dev).empty()) << "nothing was written";
  table().tx_in_flight[0].store(0);
  close_all();
}

// Flushing the receive side while the driver has sent XOFF sends the far side exactly
// one XON, the DCB's XonChar; SioGetXonXoffChars reads XoffChar high, XonChar low.
TEST(Transmit, ReceiveFlushReleasesTheFarSideWithOneXon) {
  struct Row { const char *what; uint8_t flow; DWORD holds; size_t xons; } rows[] = {
      {"XOFF sent under XON/XOFF flow: one XON", 0x80, SIM_XOFF_SENT, 1},
      {"nothing held: no XON", 0x80, 0, 0},
      {"no XON/XOFF flow: no XON", 0x10, SIM_XOFF_SENT, 0},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    SimDevice *dev = open_sim_port(0);
    SioSetFlowControl(0, row.flow, 0);
    DCB dcb = sim_dcb(dev);
    dcb.XonChar = '+', dcb.XoffChar = '-';
    sim_set_dcb(dev, dcb);
    EXPECT_EQ(SioGetXonXoffChars(0), ('-' << 8) | '+');
    sim_set_holds(dev, row.holds);
    sim_clear_records(dev);
    SioFlush(0, 0);
    EXPECT_EQ(sim_transmitted_chars(dev), std::vector<uint8_t>(row.xons, '+'));
    EXPECT_TRUE(sim_written(dev) == sim_transmitted_chars(dev)) << "nothing else went out";
    close_all();
  }
}
