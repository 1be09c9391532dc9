// RxRing against the simulated device: rx_get's order and sign, and a full ring. The
// test calls the handler as the event thread would (COM1 is open without one).
#include <gtest/gtest.h>

#include <string>

#include "host/host.h"
#include "serial/sio.h"
#include "sim/sim_device.h"

static void receive(SimDevice *dev, const std::string &bytes) {
  sim_feed(dev, bytes);
  on_port_event(0, EV_RXCHAR);
}

static std::string take(size_t count) {
  std::string taken;
  for (size_t i = 0; i < count; i++) taken += (char)rx_get();
  return taken;
}

// Bytes come out in order across the end of the storage, sign-extended. A full ring
// loses nothing: the newest bytes wait in the library, and once there is room the main
// thread itself takes them, in order, with no new receive event.
TEST(RxRing, BytesInOrderAcrossTheEndSignExtendedAndAFullRingLosesNone) {
  const int rows[][2] = {{0x00, 0}, {0x05, 5}, {0x7F, 127}, {0x80, -128}, {0xFE, -2}, {0xFF, -1}};
  SimDevice *dev = sim_attach("COM1");
  SioOpen(0);
  port_index.store(0);  // as open_link leaves it
  rx_ring.rx_write_pos = rx_ring.rx_read_pos = RX_RING_SIZE - 4;
  std::string sent;
  for (const auto &row : rows) sent += (char)row[0];
  receive(dev, sent);
  for (const auto &row : rows) EXPECT_EQ(rx_get(), row[1]) << "byte " << row[0];
  EXPECT_EQ(rx_ring.rx_read_pos, 2);
  sent.clear();
  for (int i = 0; i < RX_RING_SIZE; i++) sent += (char)('a' + (i + i / 1024) % 26);
  for (int at = 0; at < RX_RING_SIZE; at += 1024) receive(dev, sent.substr(at, 1024));
  ASSERT_EQ(rx_ring.rx_count.load(), RX_RING_SIZE);
  receive(dev, "0123456789");
  EXPECT_EQ(rx_ring.rx_count.load(), RX_RING_SIZE) << "the count went past the ring";
  EXPECT_EQ(rx_ring.rx_lost.load(), 0u);
  EXPECT_EQ(SioPendingCount(0, 0), 10u) << "the bytes that did not fit stay in the library";
  EXPECT_EQ(take(3), sent.substr(0, 3));
  EXPECT_EQ(SioPendingCount(0, 0), 10u) << "taken back only once the ring is half empty";
  sim_feed(dev, "XYZ");  // no receive event for these: the main thread takes them too
  EXPECT_EQ(take(RX_RING_SIZE - 3), sent.substr(3));
  EXPECT_EQ(take(13), "0123456789XYZ");
  EXPECT_EQ(rx_available(), 0);
  SioClose(0);
  sim_reset_all();
}
