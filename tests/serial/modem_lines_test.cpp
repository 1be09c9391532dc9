// Modem lines, break and line status against the simulated device: DTR and RTS as
// the library holds them, the modem status byte, line errors and hold flags, elapsed
// time across the wrap.
#include <gtest/gtest.h>

#include <thread>

#include "library_hooks.h"

TEST(ModemLines, DrivingLinesFollowsTheHandshake) {
  struct Row {
    const char *what;
    void (*op)(uint8_t);
    uint8_t flow_flags;
    std::vector<DWORD> escapes;
    uint8_t dtr_after, rts_after;  // states start as dtr 1, rts 2 (saved controls enabled)
  } rows[] = {
      {"raise DTR", SioSetDtr, 0x00, {SETDTR}, 1, 2},
      {"lower DTR", SioClearDtr, 0x00, {CLRDTR}, 0, 2},
      {"raise RTS gives 2", SioSetRts, 0x00, {SETRTS}, 1, 2},
      {"lower RTS", SioClearRts, 0x00, {CLRRTS}, 1, 0},
      {"DTR/DSR owns DTR: no raise", SioSetDtr, 0x20, {}, 1, 2},
      {"DTR/DSR owns DTR: no lower", SioClearDtr, 0x20, {}, 1, 2},
      {"RTS/CTS owns RTS: no raise", SioSetRts, 0x10, {}, 1, 2},
      {"RTS/CTS owns RTS: no lower", SioClearRts, 0x10, {}, 1, 2},
      {"RTS/CTS leaves DTR alone", SioClearDtr, 0x10, {CLRDTR}, 0, 2},
      {"XON/XOFF leaves RTS alone", SioClearRts, 0x80, {CLRRTS}, 1, 0},
  };
  SimDevice *dev = sio_test_open(0);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    port_record(0).dtr_state.store(1);
    port_record(0).rts_state.store(2);
    port_record(0).flow_flags.store(row.flow_flags);
    sim_clear_records(dev);
    row.op(0);
    EXPECT_EQ(sim_escapes(dev), row.escapes);
    EXPECT_EQ(port_record(0).dtr_state.load(), row.dtr_after);
    EXPECT_EQ(port_record(0).rts_state.load(), row.rts_after);
  }
  port_record(0).flow_flags.store(0);
  // Failed device calls still change the state byte.
  sim_fail(dev, SIM_ESCAPE_COMM_FUNCTION, ERROR_GEN_FAILURE);
  SioClearDtr(0);
  EXPECT_EQ(port_record(0).dtr_state.load(), 0);
  sim_fail(dev, SIM_ESCAPE_COMM_FUNCTION, 0);
  sio_test_close_all();
}

TEST(ModemLines, ClosedPortLinesDoNothing) {
  SimDevice *dev = sio_test_open(0);
  sim_attach("COM2");
  sim_clear_records(dev);
  for (void (*op)(uint8_t) : {SioSetDtr, SioClearDtr, SioSetRts, SioClearRts}) {
    op(1);
    op(36);
  }
  EXPECT_EQ(port_record(1).dtr_state.load(), 0);
  EXPECT_EQ(port_record(1).rts_state.load(), 0);
  EXPECT_EQ(sim_calls(nullptr, SIM_ESCAPE_COMM_FUNCTION), 0u);
  EXPECT_FALSE(SioClearBreak(1));
  sio_test_close_all();
}

TEST(ModemLines, ModemStatusSequence) {
  struct Row {
    const char *what;
    uint32_t fold;  // event word latched before the read (0: none)
    DWORD lines;
    uint8_t clear_mask;
    uint8_t expected;
    uint8_t changes_after;
  } rows[] = {
      {"CTS and DSR on, no change", 0, MS_CTS_ON | MS_DSR_ON, 0x0F, 0x30, 0},
      {"CTS change folded, CTS on", EV_CTS, MS_CTS_ON, 0x0F, 0x11, 0},
      {"the next read has no change", 0, MS_CTS_ON, 0x0F, 0x10, 0},
      {"clear mask 0 keeps the bits", EV_RING | EV_RLSD, MS_RING_ON, 0x00, 0x4C, 0x0C},
      {"and they are still reported", 0, MS_RLSD_ON, 0x04, 0x8C, 0x08},
      {"all four lines on", 0, 0xF0, 0x0F, 0xF8, 0},
  };
  SimDevice *dev = sio_test_open(0);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    if (row.fold) SioLatchEvents(0, row.fold);
    sim_set_modem_status(dev, row.lines);
    EXPECT_EQ(SioGetModemStatus(0, row.clear_mask), row.expected);
    EXPECT_EQ(port_record(0).modem_changes.load(), row.changes_after);
  }
  // A status that cannot be read: 0, and the change bits stay.
  SioLatchEvents(0, EV_DSR);
  sim_fail(dev, SIM_GET_COMM_MODEM_STATUS, ERROR_GEN_FAILURE);
  EXPECT_EQ(SioReadModemStatus(0), 0);
  EXPECT_EQ(port_record(0).modem_changes.load(), 0x02);
  sim_fail(dev, SIM_GET_COMM_MODEM_STATUS, 0);
  EXPECT_EQ(SioGetModemStatus(1, 0), 0);  // closed port
  sio_test_close_all();
}

TEST(ModemLines, LineErrorsFromCeBits) {
  struct Row {
    const char *what;
    DWORD errors;
    uint8_t line_events;
  } rows[] = {
      {"receive queue overrun", CE_RXOVER, 0x02},
      {"hardware overrun", CE_OVERRUN, 0x02},
      {"parity", CE_RXPARITY, 0x04},
      {"framing", CE_FRAME, 0x08},
      {"break", CE_BREAK, 0x10},
      {"transmit queue full is ignored", CE_TXFULL, 0x00},
      {"all at once", CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME | CE_BREAK, 0x1E},
  };
  SimDevice *dev = sio_test_open(0);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    SioClearLineEvents(0);
    sim_set_errors(dev, row.errors);
    SioPollLineErrors(0);
    EXPECT_EQ(SioClearLineEvents(0), row.line_events);
    EXPECT_EQ(SioClearLineEvents(0), 0);  // returned once
    // The driver count path records them too.
    sim_set_errors(dev, row.errors);
    SioGetDriverQueueCount(0, 0);
    EXPECT_EQ(SioSwapStatusByte(0, 0x40), row.line_events);
    EXPECT_EQ(SioSwapStatusByte(0, 0), 0x40);
  }
  // A failed ClearCommError records nothing.
  sim_set_errors(dev, CE_FRAME);
  sim_fail(dev, SIM_CLEAR_COMM_ERROR, ERROR_GEN_FAILURE);
  SioPollLineErrors(0);
  EXPECT_EQ(SioGetDriverQueueCount(0, 0), 0u);
  EXPECT_EQ(SioClearLineEvents(0), 0);
  sim_fail(dev, SIM_CLEAR_COMM_ERROR, 0);
  EXPECT_EQ(SioClearLineEvents(1), 0);  // closed port
  sio_test_close_all();
}

TEST(ModemLines, HoldFlagsDecideTxNotHeld) {
  struct Row {
    const char *what;
    DWORD holds;
    uint8_t tx_not_held;
  } rows[] = {
      {"nothing held", 0, 1},
      {"CTS hold", SIM_HOLD_CTS, 0},
      {"DSR hold", SIM_HOLD_DSR, 0},
      {"RLSD hold", SIM_HOLD_RLSD, 0},
      {"XOFF hold", SIM_HOLD_XOFF, 0},
      {"XOFF sent alone", SIM_XOFF_SENT, 0},
      {"end of file is no hold", SIM_EOF, 1},
      {"immediate character is no hold", SIM_TXIM, 1},
  };
  SimDevice *dev = sio_test_open(0);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    sim_set_holds(dev, row.holds);
    EXPECT_EQ(SioTxNotHeld(0), row.tx_not_held);
  }
  EXPECT_EQ(SioTxNotHeld(1), 0);  // closed port
  sio_test_close_all();
}

TEST(ModemLines, ElapsedMsAcrossTheWrap) {
  struct Row {
    uint32_t stamp, now, elapsed;
  } rows[] = {
      {0xFFFFFFF0u, 0x10u, 32},
      {100, 100, 0},
      {0, 5000, 5000},
      {0xFFFFFFFFu, 0, 1},
      {0x80000000u, 0x7FFFFFFFu, 0xFFFFFFFFu},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.stamp);
    sim_set_clock(row.now);
    EXPECT_EQ(SioElapsedMs(row.stamp), row.elapsed);
  }
  sim_reset_all();
}

static DWORD WINAPI EndAtOnce(LPVOID) { return 0; }

TEST(ModemLines, ThreadAlive) {
  EXPECT_FALSE(SioThreadAlive(nullptr));
  sio_test_open(0);  // the port's writer runs
  EXPECT_TRUE(SioThreadAlive(table().writer_threads[0].thread.load()));
  HANDLE ended = win32.CreateThread(nullptr, 16384, EndAtOnce, nullptr, 0, nullptr);
  ASSERT_NE(ended, nullptr);
  EXPECT_EQ(win32.WaitForSingleObject(ended, 10000), WAIT_OBJECT_0);
  EXPECT_FALSE(SioThreadAlive(ended));
  win32.CloseHandle(ended);
  sio_test_close_all();
}

// Line errors recorded from a driver count while the event thread folds events:
// neither side loses the other's bits.
TEST(ModemLines, RecordingLineErrorsBesideTheFolding) {
  sio_test_open(0);
  COMSTAT stat = {};
  for (int round = 0; round < 200; round++) {
    std::thread folder([] {
      for (int i = 0; i < 50; i++) SioAccumulateEvents(0, EV_BREAK);
    });
    for (int i = 0; i < 50; i++) SioRecordLineErrors(0, CE_FRAME, &stat);
    folder.join();
    ASSERT_EQ(SioClearLineEvents(0), 0x18) << "round " << round;
  }
  sio_test_close_all();
}
