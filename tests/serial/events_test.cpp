// Event mask, latching and handler dispatch against the simulated device: the mask
// and what reaches the device, the event character, ring polling on the Windows 95
// family, the folding of event words into the status bytes, and the handler.
#include <gtest/gtest.h>

#include "library_hooks.h"

TEST(Events, SetEventMask) {
  struct Row {
    const char *what;
    uint32_t mask;
    uint8_t event_char;
    uint32_t stored;       // event_masks[0] afterwards
    bool programs;         // SetCommMask called
    DWORD device_mask;     // the device's mask afterwards
    char evt_char;         // the device's EvtChar afterwards
  } rows[] = {
      {"-1 asks only", 0xFFFFFFFFu, 'A', 0x5FD, false, 0x5FD, 0},
      {"the library's own bit never reaches the device", 0x1000, 'A', 0x1000, true, 0, 0},
      {"EV_RXFLAG sets the event character", EV_RXCHAR | EV_RXFLAG, 'Z', 0x3, true, 0x3, 'Z'},
      {"without EV_RXFLAG EvtChar stays", EV_RXCHAR, 'Q', 0x1, true, 0x1, 'Z'},
      {"everything", 0xFFFFFFFEu, 'Z', 0xFFFFFFFEu, true, 0xFFFFEFFEu, 'Z'},
  };
  SimDevice *dev = sio_test_open(0);
  sim_set_comm_mask(dev, 0x5FD);
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
  // Device failures are not reported: the previous mask comes back regardless.
  sim_fail(dev, SIM_SET_COMM_MASK, ERROR_GEN_FAILURE);
  EXPECT_EQ(SioSetEventMask(0, EV_RXCHAR, 0), previous);
  sim_fail(dev, SIM_SET_COMM_MASK, 0);
  sio_test_close_all();
}

TEST(Events, MaskBeforeTheLibraryExists) {
  ASSERT_EQ(port_table.load(), nullptr);
  EXPECT_EQ(SioSetEventMask(0, EV_RXCHAR, 0), 0u);
  EXPECT_EQ(port_table.load(), nullptr);
}

TEST(Events, MaskOfAClosedPortTakesEffectAtConfiguration) {
  SimDevice *dev = sim_attach("COM1");
  SioInitLibrary();
  EXPECT_EQ(SioSetEventMask(0, EV_RXCHAR | EV_ERR, 0), 0x5FDu);
  EXPECT_EQ(SioSetEventMask(0, 0xFFFFFFFFu, 0), uint32_t(EV_RXCHAR | EV_ERR));
  EXPECT_EQ(sim_calls(dev, SIM_SET_COMM_MASK), 0u);
  EXPECT_EQ(SioSetEventMask(36, EV_RXCHAR, 0), 0u);  // no slot: refused
  sio_test_open(0);
  SioConfigure(0, 9600, 8, 1, 'N', 0);
  EXPECT_EQ(sim_comm_mask(dev), DWORD(EV_RXCHAR | EV_ERR));
  sio_test_close_all();
  // The mask survives the close.
  EXPECT_EQ(table().event_masks[0].load(), uint32_t(EV_RXCHAR | EV_ERR));
}

TEST(Events, RingPollingFollowsTheMaskOnWindows95Only) {
  struct Row {
    const char *what;
    bool win95;
    uint32_t polling_before;
    uint32_t mask;
    uint32_t polling_after;
  } rows[] = {
      {"95: EV_RING switches polling on", true, 0, EV_RING, 1},
      {"95: no EV_RING switches it off", true, 1, EV_RXCHAR, 0},
      {"95: -1 changes nothing", true, 1, 0xFFFFFFFFu, 1},
      {"NT: polling untouched (off)", false, 0, EV_RING, 0},
      {"NT: polling untouched (on)", false, 1, EV_RXCHAR, 1},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    sio_test_reinit(row.win95);
    sio_test_open(0);
    port_record(0).ring_polling.store(row.polling_before);
    SioSetEventMask(0, row.mask, 0);
    EXPECT_EQ(port_record(0).ring_polling.load(), row.polling_after);
    sio_test_close_all();
    EXPECT_EQ(port_record(0).ring_polling.load(), 0u);  // cleared by the close
  }
}

TEST(Events, HandlerInstallation) {
  SioInitLibrary();
  EXPECT_EQ(SioSetEventHandler(0, sio_test_record_handler), nullptr);  // closed
  EXPECT_EQ(table().event_threads[0].handler.load(), nullptr);
  EXPECT_EQ(SioGetLastError(0), SIO_FAILED);
  sio_test_open(0);
  EXPECT_EQ(SioSetEventHandler(0, sio_test_record_handler), nullptr);
  EXPECT_EQ(SioSetEventHandler(0, nullptr), &sio_test_record_handler);
  EXPECT_EQ(SioSetEventHandler(0, sio_test_record_handler), nullptr);
  sio_test_close_all();
  EXPECT_EQ(table().event_threads[0].handler.load(), nullptr);  // gone with the close
}

TEST(Events, FoldingIntoTheStatusBytes) {
  struct Row {
    const char *what;
    uint32_t events;
    DWORD pending_errors;  // CE_ bits the device holds
    uint8_t line_events, modem_changes;
  } rows[] = {
      {"CTS with RING", EV_CTS | EV_RING, 0, 0x00, 0x05},
      {"DSR with RLSD", EV_DSR | EV_RLSD, 0, 0x00, 0x0A},
      {"RXCHAR", EV_RXCHAR, 0, 0x01, 0},
      {"RXFLAG", EV_RXFLAG, 0, 0x01, 0},
      {"RX80FULL", EV_RX80FULL, 0, 0x01, 0},
      {"TXEMPTY", EV_TXEMPTY, 0, 0x20, 0},
      {"BREAK", EV_BREAK, 0, 0x10, 0},
      {"ERR with an overrun pending", EV_ERR, CE_OVERRUN, 0x02, 0},
      {"ERR with framing and parity", EV_ERR, CE_FRAME | CE_RXPARITY, 0x0C, 0},
      {"errors are polled only on EV_ERR", EV_RXCHAR, CE_FRAME, 0x01, 0},
      {"other bits change nothing", 0x800 | EV_PERR, 0, 0x00, 0},
      {"an empty word does nothing", 0, CE_FRAME, 0x00, 0},
  };
  SimDevice *dev = sio_test_open(0);
  uint32_t latched = 0;
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    sim_set_errors(dev, row.pending_errors);
    SioClearLineEvents(0);
    SioReadModemStatus(0);
    EXPECT_EQ(SioLatchEvents(0, row.events), latched);
    latched = row.events;
    EXPECT_EQ(table().event_threads[0].latched_events, row.events);
    EXPECT_EQ(port_record(0).line_events.load(), row.line_events);
    EXPECT_EQ(port_record(0).modem_changes.load(), row.modem_changes);
    SioPollLineErrors(0);  // leaves the device without errors for the next row
  }
  sio_test_close_all();
}

TEST(Events, DispatchCallsTheHandlerOnce) {
  sio_test_open(0);
  EXPECT_EQ(SioDispatchEvents(0, EV_RXCHAR), 1);  // no handler: nothing, still 1
  SioSetEventHandler(0, sio_test_record_handler);
  struct Row {
    uint32_t events;
    size_t calls;
  } rows[] = {{0, 0}, {EV_RXCHAR, 1}, {SIO_EV_TXRING_EMPTY | EV_RING, 1}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.events);
    sio_test_clear_handler_calls();
    EXPECT_EQ(SioDispatchEvents(0, row.events), 1);
    auto calls = sio_test_handler_calls();
    ASSERT_EQ(calls.size(), row.calls);
    if (row.calls) {
      EXPECT_EQ(calls[0].port, 0);
      EXPECT_EQ(calls[0].events, row.events);
    }
  }
  sio_test_close_all();
}

TEST(Events, RingPollingDeliversRingAtEveryPoll) {
  SimDevice *dev = sio_test_open(0);
  SioSetEventHandler(0, sio_test_record_handler);
  struct Row {
    const char *what;
    DWORD lines;
    size_t calls_after;
  } rows[] = {
      {"first poll with the ring on", MS_RING_ON, 1},
      {"second", MS_RING_ON | MS_CTS_ON, 2},
      {"third", MS_RING_ON, 3},
      {"ring off: nothing", 0, 3},
  };
  sio_test_clear_handler_calls();
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    sim_set_modem_status(dev, row.lines);
    SioLatchEvents(0, EV_CTS);  // a change bit the poll's read clears
    SioPollRing(0);
    auto calls = sio_test_handler_calls();
    ASSERT_EQ(calls.size(), row.calls_after);
    if (!calls.empty()) {
      EXPECT_EQ(calls.back().events, uint32_t(EV_RING));
    }
    uint8_t expected_changes = (row.lines & MS_RING_ON) ? 0x04 : 0x00;
    EXPECT_EQ(port_record(0).modem_changes.load(), expected_changes);
  }
  sio_test_close_all();
}
