// Events, status bytes and line settings against the simulated device: the event mask,
// ring polling, status bytes, XON/XOFF limits, and the time and range helpers.
#include <gtest/gtest.h>

#include "support.h"

TEST(Events, SetEventMask) {
  struct Row {
    const char *what; uint32_t mask; uint8_t event_char;
    uint32_t stored; bool programs;  // the port's mask afterwards, SetCommMask called
    DWORD device_mask; char evt_char;  // the device's mask and EvtChar afterwards
  } rows[] = {
      {"-1 only asks", 0xFFFFFFFFu, 'A', 0x5FD, false, 0x5FD, 0},
      {"0x1000, the library's own bit, never reaches the device", 0x1000, 'A', 0x1000, true, 0, 0},
      {"EV_RXFLAG sets the event character", EV_RXCHAR | EV_RXFLAG, 'Z', 0x3, true, 0x3, 'Z'},
      {"without EV_RXFLAG EvtChar stays", EV_RXCHAR, 'Q', 0x1, true, 0x1, 'Z'},
  };
  SimDevice *dev = sim_attach("COM1");
  sim_set_comm_mask(dev, 0x5FD);
  open_sim_port(0);
  uint32_t previous = 0x5FD;
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    unsigned before = sim_calls(dev, SIM_SET_COMM_MASK);
    EXPECT_EQ(SioSetEventMask(0, row.mask, row.event_char), previous);
    EXPECT_EQ(table().event_masks[0].load(), row.stored);
    EXPECT_EQ(sim_calls(dev, SIM_SET_COMM_MASK) - before, row.programs ? 1u : 0u);
    EXPECT_EQ(sim_comm_mask(dev), row.device_mask);
    EXPECT_EQ(sim_dcb(dev).EvtChar, row.evt_char);
    previous = row.stored;
  }
  close_all();
}

TEST(Events, RingPollingOnTheWindows95FamilyOnly) {
  struct Row {
    const char *what; bool win95; uint32_t before, mask, after;  // ring_polling before and after
  } rows[] = {
      {"95: EV_RING switches polling on", true, 0, EV_RING, 1},
      {"95: no EV_RING switches it off", true, 1, EV_RXCHAR, 0},
      {"95: -1 changes nothing", true, 1, 0xFFFFFFFFu, 1},
      {"NT: untouched", false, 1, EV_RXCHAR, 1},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    sim_set_win95(row.win95);
    port_table.store(nullptr);  // the family is read as the library's state is made
    open_sim_port(0);
    port_record(0).ring_polling.store(row.before);
    SioSetEventMask(0, row.mask, 0);
    EXPECT_EQ(port_record(0).ring_polling.load(), row.after);
    close_all();
  }
}

TEST(Events, FoldingIntoTheStatusBytes) {
  struct Row {
    const char *what; uint32_t events; DWORD errors;  // CE_ bits the device holds
    uint8_t line_events, modem_changes;
  } rows[] = {
      {"CTS, DSR, RING, RLSD", EV_CTS | EV_DSR | EV_RING | EV_RLSD, 0, 0x00, 0x0F},
      {"RXFLAG is data received", EV_RXFLAG, 0, 0x01, 0},
      {"TXEMPTY", EV_TXEMPTY, 0, 0x20, 0},
      {"BREAK", EV_BREAK, 0, 0x10, 0},
      {"ERR: CE_RXOVER is an overrun", EV_ERR, CE_RXOVER, 0x02, 0},
      {"ERR: CE_RXPARITY, CE_FRAME, CE_BREAK", EV_ERR, CE_RXPARITY | CE_FRAME | CE_BREAK, 0x1C, 0},
      {"ERR: CE_TXFULL is ignored", EV_ERR, CE_TXFULL, 0x00, 0},
      {"errors are polled only on EV_ERR", EV_RXCHAR, CE_FRAME, 0x01, 0},
      {"other bits change nothing", 0x800 | EV_PERR, 0, 0x00, 0},
  };
  SimDevice *dev = open_sim_port(0);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    // What the last row left in the device is recorded and cleared, with the change bits.
    SioPollLineErrors(0), SioClearLineEvents(0), SioReadModemStatus(0);
    sim_set_errors(dev, row.errors);
    SioLatchEvents(0, row.events);
    EXPECT_EQ(SioClearLineEvents(0), row.line_events);
    EXPECT_EQ(SioClearLineEvents(0), 0) << "reported once";
    EXPECT_EQ(port_record(0).modem_changes.load(), row.modem_changes);
  }
  close_all();
}

TEST(Events, ModemStatusSequence) {
  struct Row {
    const char *what; uint32_t fold;  // event word latched before the read
    DWORD lines; uint8_t clear_mask, status, changes_after;
  } rows[] = {
      {"CTS and DSR on, no change", 0, MS_CTS_ON | MS_DSR_ON, 0x0F, 0x30, 0},
      {"CTS change folded, CTS on", EV_CTS, MS_CTS_ON, 0x0F, 0x11, 0},
      {"the next read has no change", 0, MS_CTS_ON, 0x0F, 0x10, 0},
      {"clear mask 0 keeps the change bits", EV_RING | EV_RLSD, MS_RING_ON, 0x00, 0x4C, 0x0C},
      {"and they are reported again", 0, MS_RLSD_ON, 0x04, 0x8C, 0x08},
  };
  SimDevice *dev = open_sim_port(0);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    if (row.fold) SioLatchEvents(0, row.fold);
    sim_set_modem_status(dev, row.lines);
    EXPECT_EQ(SioGetModemStatus(0, row.clear_mask), row.status);
    EXPECT_EQ(port_record(0).modem_changes.load(), row.changes_after);
  }
  EXPECT_EQ(SioGetModemStatus(1, 0), 0) << "a closed port";
  close_all();
}

TEST(Events, XonXoffLimits) {
  struct Row {
    DWORD queue; uint8_t flow; WORD xoff_lim, xon_lim;  // queue: the driver's current receive queue
  } rows[] = {
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

TEST(Events, TimeAndRange) {
  struct Row { uint32_t stamp, now, elapsed; } rows[] = {
      {0xFFFFFFF0u, 0x10u, 32}, {100, 100, 0}, {0xFFFFFFFFu, 0, 1}, {0x80000000u, 0x7FFFFFFFu, 0xFFFFFFFFu},
  };
  for (const Row &row : rows) {
    sim_set_clock(row.now);
    EXPECT_EQ(SioElapsedMs(row.stamp), row.elapsed) << row.stamp;
  }
  sim_reset_all();
  // Indexes past the table touch no port's record.
  SioInitLibrary();
  for (uint32_t i = 0; i < SIO_PORT_COUNT; i++) port_record(uint8_t(i)).last_error.store(7);
  for (uint8_t port : {uint8_t(36), uint8_t(255)})
    EXPECT_TRUE(!SioIsOpen(port) && SioGetLastError(port) == SIO_FAILED) << int(port);
  for (uint32_t i = 0; i < SIO_PORT_COUNT; i++) EXPECT_EQ(port_record(uint8_t(i)).last_error.load(), 7);
}
