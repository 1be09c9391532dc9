// RxRing and the byte transport against the simulated device: rx_get's order and
// sign, a full ring, and send_byte.
#include <gtest/gtest.h>

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
  for (size_t i = 0; i < count; i++) taken += (char)rx_get();
  return taken;
}

void close_com1(void) {
  SioClose(com1);
  port_index.store(-1);
  sim_reset_all();
}

}  // namespace

TEST(RxRing, BytesComeOutInOrderAcrossTheEndOfTheStorage) {
  SimDevice *dev = open_com1_without_events();
  rx_ring.rx_write_pos = RX_RING_SIZE - 2;
  rx_ring.rx_read_pos = RX_RING_SIZE - 2;
  receive(dev, "1234");
  EXPECT_EQ(take(4), "1234");
  EXPECT_EQ(rx_ring.rx_read_pos, 2);
  EXPECT_EQ(rx_available(), 0);
  close_com1();
}

TEST(RxRing, BytesAreSignExtended) {
  const int rows[][2] = {{0x00, 0}, {0x05, 5}, {0x7F, 127}, {0x80, -128}, {0xFE, -2}, {0xFF, -1}};
  SimDevice *dev = open_com1_without_events();
  for (const auto &row : rows) {
    receive(dev, std::string(1, (char)row[0]));
    EXPECT_EQ(rx_get(), row[1]) << "byte " << row[0];
  }
  close_com1();
}

// A full ring loses nothing: the newest bytes wait in the library, and once there is
// room the main thread itself takes them, in order, with no new receive event.
TEST(RxRing, FullRingLeavesTheNewestBytesInTheLibraryAndLosesNone) {
  SimDevice *dev = open_com1_without_events();
  port_index.store(com1);  // the main thread's take of held bytes goes through it
  std::string sent;
  for (int i = 0; i < RX_RING_SIZE; i++) sent += (char)('a' + (i + i / 1024) % 26);
  for (int at = 0; at < RX_RING_SIZE; at += 1024) receive(dev, sent.substr(at, 1024));
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

TEST(SendByte, SendsTheLowEightBits) {
  SimDevice *dev = open_com1_without_events();
  port_index.store(com1);  // what open_link leaves for send_byte
  EXPECT_EQ(send_byte(0x141), 1);
  EXPECT_EQ(send_byte(-1), 1);
  ASSERT_TRUE(sim_wait_written(dev, 2, 10000));
  EXPECT_EQ(sim_written(dev), (std::vector<uint8_t>{0x41, 0xFF}));
  close_com1();
}
