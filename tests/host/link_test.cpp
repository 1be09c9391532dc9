// open_link and close_link against the simulated device: what is refused, and the port
// as the terminal needs it (queues, event mask, handler), given back at close.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "host/host.h"
#include "serial/sio.h"
#include "sim/sim_device.h"

TEST(Link, RefusesBadPortsRatesAndBusyDevices) {
  struct Row {
    int port_number;
    int32_t baud;
    bool asks_the_device;
    const char *checks;
  };
  const Row rows[] = {
      {0, 9600, false, "port 0"},         {5, 9600, false, "port 5"},
      {-48, 9600, false, "port -48"},     {2, 14400, false, "a rate not in the list"},
      {2, 0, false, "rate 0"},            {2, -27136, false, "a wrapped rate not fixed up"},
      {2, 11264, false, "11264 before the fix-up"}, {3, 9600, true, "a busy device"},
  };
  sim_attach("COM2");
  SimDevice *busy = sim_attach("COM3");
  sim_set_busy(busy, true);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.checks);
    unsigned opens = sim_calls(nullptr, SIM_CREATE_FILE);
    EXPECT_EQ(open_link(row.port_number, row.baud), 0);
    EXPECT_EQ(port_index.load(), -1);
    EXPECT_EQ(sim_calls(nullptr, SIM_CREATE_FILE) > opens, row.asks_the_device);
  }
  EXPECT_FALSE(sim_is_open(busy));
  sim_reset_all();
}

TEST(Link, OpensThePortForTheTerminalAndGivesItBack) {
  SimDevice *dev = sim_attach("COM2");
  ASSERT_EQ(open_link(2, 115200), 1);
  EXPECT_EQ(port_index.load(), 1);
  std::vector<SimSetup> setups = sim_setup_calls(dev);
  ASSERT_FALSE(setups.empty());
  EXPECT_EQ(setups.back().in_queue, 8192u);
  EXPECT_EQ(setups.back().out_queue, 4096u);
  EXPECT_EQ(SioSetEventMask(1, 0xFFFFFFFFu, 0), EV_RXCHAR) << "events not narrowed";
  // Received bytes reach RxRing through the handler, on the event thread.
  sim_feed(dev, "ok");
  std::future<int> first = std::async(std::launch::async, rx_get);
  ASSERT_EQ(first.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(first.get(), 'o');
  EXPECT_EQ(rx_get(), 'k');
  close_link();
  EXPECT_EQ(port_index.load(), -1);
  EXPECT_FALSE(sim_is_open(dev));
  EXPECT_EQ(SioSetEventMask(1, 0xFFFFFFFFu, 0), SIO_DEFAULT_EVENT_MASK) << "the port's own mask";
  sim_reset_all();
}
