// RxRing and the byte transport against the simulated device: what on_port_event
// takes from the library, rx_get's order, sign and wait, a full ring, and send_byte.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "host/host.h"
#include "serial/sio.h"
#include "sim/sim_device.h"

namespace {

const uint8_t com1 = 0;

// COM1 open in the library, without an event thread: the test itself calls the
// handler, as the event thread would, so it is the ring's only producer.
SimDevice *open_com1_without_events(void) {
  SimDevice *dev = sim_attach("COM1");
  SioOpen(com1);
  return dev;
}

void receive(SimDevice *dev, const std::string &bytes) {
  sim_feed(dev, bytes);
  on_port_event(com1, EV_RXCHAR);
}

std::string take(size_t count) {
  std::string taken;
  for (size_t i = 0; i < count; i++) {
    taken += (char)rx_get();
  }
  return taken;
}

// COM1 open for sending: what open_link leaves for send_byte, without the event thread.
SimDevice *open_com1_for_sending(SimIoMode writes) {
  SimDevice *dev = sim_attach("COM1");
  sim_set_write_mode(dev, writes);
  SioOpen(com1);
  port_index.store(com1);
  return dev;
}

void close_com1(void) {
  SioClose(com1);
  port_index.store(-1);
  sim_reset_all();
}

}  // namespace

TEST(RxRing, HandlerTakesEveryPendingByteOnReceiveEventsOnly) {
  struct Row {
    uint32_t events;
    std::string pending;
    int added;
    const char *checks;
  };
  const Row rows[] = {
      {EV_TXEMPTY, "ab", 0, "an event word without bit 0 leaves the ring alone"},
      {SIO_EV_TXRING_EMPTY, "", 0, "the library's own transmit event neither"},
      {0, "", 0, "an empty event word neither"},
      {EV_RXCHAR, "cde", 5, "the receive event takes the 2 left over and 3 more"},
      {EV_RXCHAR | EV_TXEMPTY, "xyz", 3, "bit 0 among others"},
      {EV_RXCHAR, "", 0, "nothing pending: nothing added"},
  };
  SimDevice *dev = open_com1_without_events();
  std::string expected;
  for (const Row &row : rows) {
    SCOPED_TRACE(row.checks);
    sim_feed(dev, row.pending);
    int before = rx_ring.rx_count.load();
    on_port_event(com1, row.events);
    EXPECT_EQ(rx_ring.rx_count.load() - before, row.added);
  }
  EXPECT_EQ(take(8), "abcdexyz");
  EXPECT_EQ(rx_available(), 0);
  close_com1();
}

TEST(RxRing, BytesComeOutInOrderAcrossTheEndOfTheStorage) {
  SimDevice *dev = open_com1_without_events();
  rx_ring.rx_write_pos = RX_RING_SIZE - 2;
  rx_ring.rx_read_pos = RX_RING_SIZE - 2;
  receive(dev, "1234");
  EXPECT_EQ(rx_ring.rx_write_pos, 2);
  EXPECT_EQ(rx_ring.data[RX_RING_SIZE - 2], '1');
  EXPECT_EQ(rx_ring.data[1], '4');
  EXPECT_EQ(take(4), "1234");
  EXPECT_EQ(rx_ring.rx_read_pos, 2);
  EXPECT_EQ(rx_available(), 0);
  close_com1();
}

TEST(RxRing, BytesAreSignExtended) {
  struct Row {
    uint8_t byte;
    int value;
  };
  const Row rows[] = {{0x00, 0}, {0x05, 5}, {0x7F, 127}, {0x80, -128}, {0xFE, -2}, {0xFF, -1}};
  SimDevice *dev = open_com1_without_events();
  for (const Row &row : rows) {
    SCOPED_TRACE(row.byte);
    receive(dev, std::string(1, (char)row.byte));
    EXPECT_EQ(rx_get(), row.value);
  }
  close_com1();
}

// A full ring keeps its unread bytes and loses none: the newest wait in the library
// (which then holds the line back), and once the main thread has made room they
// follow the old ones in order, taken by the main thread itself, since no new
// receive event need come.
TEST(RxRing, FullRingLeavesTheNewestBytesInTheLibraryAndLosesNone) {
  SimDevice *dev = open_com1_without_events();
  port_index.store(com1);  // the main thread's take of held bytes goes through it
  std::string sent;
  for (int chunk = 0; chunk < RX_RING_SIZE / 1024; chunk++) {
    std::string bytes;
    for (int i = 0; i < 1024; i++) {
      bytes += (char)('a' + (chunk + i) % 26);
    }
    receive(dev, bytes);
    sent += bytes;
  }
  ASSERT_EQ(rx_ring.rx_count.load(), RX_RING_SIZE);
  receive(dev, "0123456789");
  EXPECT_EQ(rx_ring.rx_count.load(), RX_RING_SIZE) << "the count went past the ring";
  EXPECT_EQ(rx_ring.rx_lost.load(), 0u);
  EXPECT_EQ(SioPendingCount(com1, 0), 10u) << "the bytes that did not fit stay in the library";
  EXPECT_EQ(take(3), sent.substr(0, 3));
  EXPECT_EQ(SioPendingCount(com1, 0), 10u) << "taken back only once the ring is half empty";
  sim_feed(dev, "XYZ");  // no receive event for these: the main thread takes them too
  EXPECT_EQ(take(RX_RING_SIZE - 3), sent.substr(3));
  EXPECT_EQ(take(13), "0123456789XYZ");
  EXPECT_EQ(rx_available(), 0);
  close_com1();
}

// The library reports more than it can deliver: only bytes that came go into the
// ring, and the next receive event carries on.
TEST(RxRing, AGetThatDeliversNothingAddsNothing) {
  SimDevice *dev = open_com1_without_events();
  sim_set_in_queue_count(dev, 6);
  receive(dev, "ab");
  EXPECT_EQ(rx_ring.rx_count.load(), 2);
  sim_set_in_queue_count(dev, SIM_NO_OVERRIDE);
  receive(dev, "c");
  EXPECT_EQ(take(3), "abc");
  close_com1();
}

TEST(RxRing, GetWaitsUntilTheHandlerAddsAByte) {
  SimDevice *dev = open_com1_without_events();
  EXPECT_EQ(rx_available(), 0);
  std::future<int> got = std::async(std::launch::async, rx_get);
  EXPECT_EQ(got.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout)
      << "rx_get returned from an empty ring";
  receive(dev, "\x80");
  ASSERT_EQ(got.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(got.get(), -128);
  close_com1();
}

TEST(SendByte, SendsTheLowEightBits) {
  SimDevice *dev = open_com1_for_sending(SIM_IO_AT_ONCE);
  EXPECT_EQ(send_byte(0x141), 1);
  EXPECT_EQ(send_byte(-1), 1);
  ASSERT_TRUE(sim_wait_written(dev, 2, 10000));
  EXPECT_EQ(sim_written(dev), (std::vector<uint8_t>{0x41, 0xFF}));
  close_com1();
}

// With the line stalled the transmit side fills; a key sent then waits for room and
// is sent once there is some, never dropped. (The library's transmit ring can refuse a
// byte while its full test still counts room in the driver's queue: send_byte tries
// again then too.)
TEST(SendByte, WaitsForTransmitRoomAndDropsNothing) {
  SimDevice *dev = open_com1_for_sending(SIM_IO_PENDING);
  std::string queued;
  for (int i = 0; i < 1000000; i++) {
    char c = (char)('a' + i % 26);
    if (!SioPutByte(com1, (uint8_t)c)) {
      break;
    }
    queued += c;
  }
  std::future<int> sent = std::async(std::launch::async, send_byte, 'Z');
  EXPECT_EQ(sent.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout)
      << "send_byte did not wait for room";
  sim_set_write_mode(dev, SIM_IO_AT_ONCE);
  ASSERT_TRUE(sim_wait_write_pending(dev, 10000));
  sim_release_write(dev);
  ASSERT_EQ(sent.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(sent.get(), 1);
  ASSERT_TRUE(sim_wait_written(dev, queued.size() + 1, 10000));
  EXPECT_EQ(sim_written_text(dev), queued + "Z");
  close_com1();
}
