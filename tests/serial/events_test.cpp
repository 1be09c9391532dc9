// Events, status bytes and line settings against the simulated device: the event mask,
// the latched line and modem status bytes, and the XON/XOFF limits.
#include <gtest/gtest.h>

#include "support.h"

TEST(Events, SetEventMask) {
  struct Row {  // stored: the port's mask afterwards; programs: SetCommMask called; device_mask, evt: the device's
    const char *what; uint32_t mask; uint8_t event_char; uint32_t stored; bool programs; DWORD device_mask; char evt;
  } rows[] = {
      {"-1 only asks", 0xFFFFFFFFu, 'A', 0x5FD, false, 0x5FD, 0},
      {"0x1000, the library's own bit, never reaches the device", 0x1000, 'A', 0x1000, true, 0, 0},
      {"EV_RXFLAG sets the event character", EV_RXCHAR | EV_RXFLAG, 'Z', 0x3, true, 0x3, 'Z'},
      {"without EV_RXFLAG EvtChar stays", EV_RXCHAR, 'Q', 0x1, true, 0x1, 'Z'},
  };
  SimDevice *dev = sim_attach("COM1");
  sim_set_comm_mask(dev, 0x5FD);
  open_sim_port(0);
  uint32_t previous = 0x5FD;  // the device's, read at the open
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    unsigned before = sim_calls(dev, SIM_SET_COMM_MASK);
    EXPECT_EQ(SioSetEventMask(0, row.mask, row.event_char), previous);
    EXPECT_EQ(table().event_masks[0].load(), row.stored);
    EXPECT_EQ(sim_calls(dev, SIM_SET_COMM_MASK) - before, row.programs ? 1u : 0u);
    EXPECT_TRUE(sim_comm_mask(dev) == row.device_mask && sim_dcb(dev).EvtChar == row.evt) << "the device's";
    previous = row.stored;
  }
  close_all();
}

// Each step latches an event word (with CE_ bits in the device), then reads the line
// events (reported once) and the modem status, clearing the change bits in clear_mask.
TEST(Events, LineAndModemStatusBytes) {
  struct Row {
    const char *what; uint32_t events; DWORD errors, lines; uint8_t clear_mask, line_events, status, changes_after;
  } rows[] = {
      {"CTS, DSR, RING, RLSD are change bits", EV_CTS | EV_DSR | EV_RING | EV_RLSD, 0, 0, 0x0F, 0x00, 0x0F, 0},
      {"RXFLAG is data received", EV_RXFLAG, 0, 0, 0x0F, 0x01, 0, 0},
      {"TXEMPTY", EV_TXEMPTY, 0, 0, 0x0F, 0x20, 0, 0},
      {"BREAK", EV_BREAK, 0, 0, 0x0F, 0x10, 0, 0},
      {"ERR: CE_RXOVER is an overrun", EV_ERR, CE_RXOVER, 0, 0x0F, 0x02, 0, 0},
      {"ERR: CE_RXPARITY, CE_FRAME, CE_BREAK", EV_ERR, CE_RXPARITY | CE_FRAME | CE_BREAK, 0, 0x0F, 0x1C, 0, 0},
      {"ERR: CE_TXFULL is ignored", EV_ERR, CE_TXFULL, 0, 0x0F, 0x00, 0, 0},
      {"errors are polled only on EV_ERR", EV_RXCHAR, CE_FRAME, 0, 0x0F, 0x01, 0, 0},
      {"other bits change nothing", 0x800 | EV_PERR, 0, 0, 0x0F, 0x00, 0, 0},
      {"CTS and DSR on, no change", 0, 0, MS_CTS_ON | MS_DSR_ON, 0x0F, 0, 0x30, 0},
      {"CTS change folded, CTS on", EV_CTS, 0, MS_CTS_ON, 0x0F, 0, 0x11, 0},
      {"clear mask 0 keeps the change bits", EV_RING | EV_RLSD, 0, MS_RING_ON, 0x00, 0, 0x4C, 0x0C},
      {"and they are reported again", 0, 0, MS_RLSD_ON, 0x04, 0, 0x8C, 0x08},
  };
  SimDevice *dev = open_sim_port(0);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    SioPollLineErrors(0), SioClearLineEvents(0);  // what the last row left in the device
    sim_set_errors(dev, row.errors);
    sim_set_modem_status(dev, row.lines);
    if (row.events) SioLatchEvents(0, row.events);
    EXPECT_EQ(SioClearLineEvents(0), row.line_events);
    EXPECT_EQ(SioClearLineEvents(0), 0) << "reported once";
    EXPECT_EQ(SioGetModemStatus(0, row.clear_mask), row.status);
    EXPECT_EQ(table().ports[0].modem_changes.load(), row.changes_after);
  }
  EXPECT_EQ(SioGetModemStatus(1, 0), 0) << "a closed port";
  close_all();
}

TEST(Events, XonXoffLimits) {
  struct Row { DWORD queue; uint8_t flow; WORD xoff_lim, xon_lim; } rows[] = {  // the driver's receive queue
      {1024, 0x80, 103, 112},     {4096, 0x80, 410, 569},      {8192, 0x80, 820, 1467},
      {32768, 0x80, 3277, 13740}, {65534, 0x80, 6554, 49128},  {65536 + 1024, 0x80, 103, 112},
      {8192, 0x90, 820, 1467},    {65536, 0x80, 820, 1467},  // low 16 bits 0: limits unchanged
      {8192, 0x10, 0, 0},
  };
  SimDevice *dev = open_sim_port(0);
  for (const Row &row : rows) {
    SCOPED_TRACE(testing::Message() << "queue " << row.queue << " flow " << int(row.flow));
    sim_set_current_queues(dev, row.queue, SIM_FROM_SETUP);
    SioSetFlowControl(0, row.flow, 0);
    EXPECT_EQ(sim_dcb(dev).XoffLim, row.xoff_lim);
    EXPECT_EQ(sim_dcb(dev).XonLim, row.xon_lim);
  }
  close_all();
}

// A device whose every wait fails costs no processor: the event thread pauses between
// tries, doubling the pause up to 100 ms, instead of turning round at full speed; and
// its pauses leave the start signal to the configure that waits for it.
TEST(Events, AWaitThatAlwaysFailsIsTriedAgainSlowly) {
  SimDevice *dev = open_sim_port(0, log_event);
  sim_fail(dev, SIM_WAIT_COMM_EVENT, ERROR_GEN_FAILURE);
  auto start = std::chrono::steady_clock::now();
  SioConfigure(0, 9600, 8, 1, 'N', 0);
  EXPECT_LT(elapsed_ms(start), 4000) << "the configure waited out its bound for the event thread's start";
  ASSERT_TRUE(sim_wait_calls(dev, SIM_WAIT_COMM_EVENT, 3, 10000));
  unsigned before = sim_calls(dev, SIM_WAIT_COMM_EVENT);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the span the tries are counted over
  EXPECT_LE(sim_calls(dev, SIM_WAIT_COMM_EVENT) - before, 20u);
  close_all();
}
