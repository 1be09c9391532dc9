// RxRing against the simulated device, the test calling the handler as the event thread
// would (COM1 is open without one).
#include <gtest/gtest.h>

#include <string>

#include "host/host.h"
#include "serial/sio.h"
#include "sim/sim_device.h"

// Bytes come out in order across the end of the storage, sign-extended. A full ring loses
// nothing: the newest bytes wait in the library, and the main thread takes them itself.
TEST(RxRing, BytesInOrderAcrossTheEndSignExtendedAndAFullRingLosesNone) {
  SimDevice *dev = sim_attach("COM1");
  auto receive = [&](const std::string &b) { sim_feed(dev, b), on_port_event(0, EV_RXCHAR); };
  auto take = [](size_t n) { std::string s; while (s.size() < n) s += (char)rx_get(); return s; };
  SioOpen(0);
  port_index.store(0);  // as open_link leaves it
  rx_ring.rx_write_pos = rx_ring.rx_read_pos = RX_RING_SIZE - 4;
  receive(std::string("\x00\x05\x7F\x80\xFE\xFF", 6));
  for (int value : {0, 5, 127, -128, -2, -1}) EXPECT_EQ(rx_get(), value);
  EXPECT_EQ(rx_ring.rx_read_pos, 2);
  std::string sent;
  for (int i = 0; i < RX_RING_SIZE; i++) sent += (char)('a' + (i + i / 1024) % 26);
  for (int at = 0; at < RX_RING_SIZE; at += 1024) receive(sent.substr(at, 1024));
  ASSERT_EQ(rx_ring.rx_count.load(), RX_RING_SIZE);
  receive("0123456789");
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
