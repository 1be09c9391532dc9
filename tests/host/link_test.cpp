// open_link and close_link against the simulated device: what is refused before the
// library is asked, and the port as the terminal needs it (line, queues, event mask,
// handler), given back at close.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "host/host.h"
#include "serial/sio.h"
#include "sim/sim_device.h"

TEST(Link, RefusesBadPortsAndRatesWithoutOpeningAnything) {
  struct Row {
    int port_number;
    int32_t baud;
    const char *checks;
  };
  const Row rows[] = {
      {0, 9600, "port 0"},         {5, 9600, "port 5"},
      {-48, 9600, "port -48"},     {2, 14400, "a rate not in the list"},
      {2, 0, "rate 0"},            {2, -27136, "a wrapped rate not fixed up"},
      {2, 11264, "11264 before the fix-up"},
  };
  sim_attach("COM2");
  for (const Row &row : rows) {
    SCOPED_TRACE(row.checks);
    EXPECT_EQ(open_link(row.port_number, row.baud), 0);
    EXPECT_EQ(port_index.load(), -1);
  }
  EXPECT_EQ(sim_calls(nullptr, SIM_CREATE_FILE), 0u);
  EXPECT_EQ(sim_calls(nullptr, SIM_GET_DEFAULT_COMM_CONFIG), 0u);
  sim_reset_all();
}

TEST(Link, RefusesABusyDevice) {
  SimDevice *dev = sim_attach("COM3");
  sim_set_busy(dev, true);
  EXPECT_EQ(open_link(3, 9600), 0);
  EXPECT_EQ(port_index.load(), -1);
  EXPECT_FALSE(sim_is_open(dev));
  sim_reset_all();
}

TEST(Link, OpensThePortForTheTerminalAndGivesItBack) {
  SimDevice *dev = sim_attach("COM2");
  ASSERT_EQ(open_link(2, 115200), 1);
  EXPECT_EQ(port_index.load(), 1);
  DCB dcb = sim_dcb(dev);
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
  EXPECT_EQ(dcb.fOutX, 0u);
  EXPECT_EQ(dcb.fInX, 0u);
  std::vector<SimSetup> setups = sim_setup_calls(dev);
  ASSERT_FALSE(setups.empty());
  EXPECT_EQ(setups.back().in_queue, 8192u);
  EXPECT_EQ(setups.back().out_queue, 4096u);
  EXPECT_EQ(saved_event_mask, SIO_DEFAULT_EVENT_MASK);
  EXPECT_EQ(SioSetEventMask(1, 0xFFFFFFFFu, 0), EV_RXCHAR) << "events not narrowed";

  // Received bytes reach RxRing through the installed handler on the event thread.
  sim_feed(dev, "ok");
  std::future<int> first = std::async(std::launch::async, rx_get);
  ASSERT_EQ(first.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(first.get(), 'o');
  EXPECT_EQ(rx_get(), 'k');  // already there: the handler takes every pending byte

  close_link();
  EXPECT_EQ(port_index.load(), -1);
  EXPECT_FALSE(sim_is_open(dev));
  EXPECT_EQ(SioSetEventMask(1, 0xFFFFFFFFu, 0), SIO_DEFAULT_EVENT_MASK)
      << "the port's own mask was not put back";
  close_link();  // with no port open it only leaves none open
  EXPECT_EQ(port_index.load(), -1);
  sim_reset_all();
}
