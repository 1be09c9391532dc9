// Line settings and flow control against the simulated device: the XON/XOFF limits,
// the flow-control codes and line options, the DTR/RTS overrides of every DCB
// applied, and the readers of the device's speed and characters.
#include <gtest/gtest.h>

#include "library_hooks.h"

TEST(LineSettings, XonXoffLimits) {
  struct Row {
    const char *what;
    DWORD queue;  // driver's current receive queue
    uint8_t flow;
    WORD xoff_lim, xon_lim;
  } rows[] = {
      {"1024", 1024, 0x80, 103, 112},
      {"4096", 4096, 0x80, 410, 569},
      {"8192", 8192, 0x80, 820, 1467},
      {"32768", 32768, 0x80, 3277, 13740},
      {"65534", 65534, 0x80, 6554, 49128},
      {"only the low 16 bits count", 65536 + 1024, 0x80, 103, 112},
      {"RTS/CTS with XON/XOFF", 8192, 0x90, 820, 1467},
      {"no XON/XOFF: both 0", 8192, 0x10, 0, 0},
  };
  SimDevice *dev = sio_test_open(0);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    sim_set_current_queues(dev, row.queue, SIM_FROM_SETUP);
    SioSetFlowControl(0, row.flow, 0);
    DCB dcb = sim_dcb(dev);
    EXPECT_EQ(dcb.XoffLim, row.xoff_lim);
    EXPECT_EQ(dcb.XonLim, row.xon_lim);
  }
  // A receive queue of 0 (or 65536, whose low 16 bits are 0) applies nothing.
  for (DWORD queue : {0u, 65536u}) {
    DCB dcb = sim_dcb(dev);
    dcb.XonLim = 77;
    dcb.XoffLim = 66;
    sim_set_dcb(dev, dcb);
    sim_set_current_queues(dev, queue, SIM_FROM_SETUP);
    unsigned sets = sim_calls(dev, SIM_SET_COMM_STATE);
    SioUpdateXonXoffLimits(0);
    EXPECT_EQ(sim_calls(dev, SIM_SET_COMM_STATE), sets);
    EXPECT_EQ(sim_dcb(dev).XonLim, 77);
    EXPECT_EQ(sim_dcb(dev).XoffLim, 66);
  }
  sio_test_close_all();
}

TEST(LineSettings, FlowCodesAndLineOptions) {
  struct Row {
    const char *what;
    uint8_t flow, options;
    DWORD cts_flow, rts_control, dsr_flow, dtr_control, out_x, in_x;
    uint8_t flow_flags, dtr_state, rts_state;
  } rows[] = {
      // States start as dtr 1, rts 2 and the device with both controls enabled.
      {"RTS/CTS and XON/XOFF", 0x90, 0, 1, RTS_CONTROL_HANDSHAKE, 0, DTR_CONTROL_ENABLE, 1, 1, 0x90,
       1, 2},
      {"DTR/DSR", 0x20, 0, 0, RTS_CONTROL_ENABLE, 1, DTR_CONTROL_HANDSHAKE, 0, 0, 0x20, 1, 2},
      {"code 0x01 has no handshake bit", 0x01, 0, 0, RTS_CONTROL_ENABLE, 0, DTR_CONTROL_ENABLE, 0, 0,
       0x00, 1, 2},
      {"code 0x40 has no handshake bit", 0x40, 0, 0, RTS_CONTROL_ENABLE, 0, DTR_CONTROL_ENABLE, 0, 0,
       0x00, 1, 2},
      {"0xFF keeps the three bits", 0xFF, 0, 1, RTS_CONTROL_HANDSHAKE, 1, DTR_CONTROL_HANDSHAKE, 1, 1,
       0xB0, 1, 2},
      {"lower DTR", 0, 0x04, 0, RTS_CONTROL_ENABLE, 0, DTR_CONTROL_DISABLE, 0, 0, 0, 0, 2},
      {"lower RTS", 0, 0x08, 0, RTS_CONTROL_DISABLE, 0, DTR_CONTROL_ENABLE, 0, 0, 0, 1, 0},
      {"0x05: raising DTR wins", 0, 0x05, 0, RTS_CONTROL_ENABLE, 0, DTR_CONTROL_ENABLE, 0, 0, 0, 1, 2},
      {"0x0A: raising RTS wins", 0, 0x0A, 0, RTS_CONTROL_ENABLE, 0, DTR_CONTROL_ENABLE, 0, 0, 0, 1, 2},
      {"handshake ignores RTS options", 0x10, 0x08, 1, RTS_CONTROL_HANDSHAKE, 0, DTR_CONTROL_ENABLE, 0,
       0, 0x10, 1, 2},
      {"handshake ignores DTR options", 0x20, 0x04, 0, RTS_CONTROL_ENABLE, 1, DTR_CONTROL_HANDSHAKE, 0,
       0, 0x20, 1, 2},
  };
  SimDevice *dev = sio_test_open(0);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    DCB start = sim_dcb(dev);
    start.fDtrControl = DTR_CONTROL_ENABLE;
    start.fRtsControl = RTS_CONTROL_ENABLE;
    start.fOutxCtsFlow = start.fOutxDsrFlow = start.fOutX = start.fInX = 0;
    sim_set_dcb(dev, start);
    port_record(0).dtr_state.store(1);
    port_record(0).rts_state.store(2);
    port_record(0).flow_flags.store(0);
    SioSetFlowControl(0, row.flow, row.options);
    DCB dcb = sim_dcb(dev);
    EXPECT_EQ(dcb.fOutxCtsFlow, row.cts_flow);
    EXPECT_EQ(dcb.fRtsControl, row.rts_control);
    EXPECT_EQ(dcb.fOutxDsrFlow, row.dsr_flow);
    EXPECT_EQ(dcb.fDtrControl, row.dtr_control);
    EXPECT_EQ(dcb.fOutX, row.out_x);
    EXPECT_EQ(dcb.fInX, row.in_x);
    EXPECT_EQ(port_record(0).flow_flags.load(), row.flow_flags);
    EXPECT_EQ(port_record(0).dtr_state.load(), row.dtr_state);
    EXPECT_EQ(port_record(0).rts_state.load(), row.rts_state);
  }
  sio_test_close_all();
}

TEST(LineSettings, SetDcbKeepsLoweredLinesOff) {
  struct Row {
    const char *what;
    uint8_t dtr_state, rts_state, flow_flags;
    DWORD dtr_out, rts_out;  // the caller asks for both enabled
  } rows[] = {
      {"both raised: unchanged", 1, 2, 0, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE},
      {"DTR lowered", 0, 2, 0, DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE},
      {"RTS lowered", 1, 0, 0, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE},
      {"both lowered", 0, 0, 0, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE},
      {"DTR/DSR claims DTR", 0, 0, 0x20, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE},
      {"RTS/CTS claims RTS", 0, 0, 0x10, DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE},
  };
  SimDevice *dev = sio_test_open(0);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    port_record(0).dtr_state.store(row.dtr_state);
    port_record(0).rts_state.store(row.rts_state);
    port_record(0).flow_flags.store(row.flow_flags);
    DCB dcb;
    SioGetDcb(0, &dcb);
    dcb.BaudRate = 57600;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    EXPECT_TRUE(SioSetDcb(0, &dcb));
    EXPECT_EQ(sim_dcb(dev).fDtrControl, row.dtr_out);
    EXPECT_EQ(sim_dcb(dev).fRtsControl, row.rts_out);
    EXPECT_EQ(port_record(0).baud.load(), 57600u);
  }
  port_record(0).flow_flags.store(0);
  // A refused DCB still records the baud rate asked for.
  sim_fail(dev, SIM_SET_COMM_STATE, ERROR_INVALID_PARAMETER);
  DCB dcb;
  SioGetDcb(0, &dcb);
  dcb.BaudRate = 12345;
  EXPECT_FALSE(SioSetDcb(0, &dcb));
  EXPECT_EQ(port_record(0).baud.load(), 12345u);
  sim_fail(dev, SIM_SET_COMM_STATE, 0);
  sio_test_close_all();
}

TEST(LineSettings, ReadersOfTheDevice) {
  SimDevice *dev = sio_test_open(0);
  sim_set_max_queues(dev, 16384, 2048);
  sim_set_current_queues(dev, 5000, 700);
  struct Row {
    const char *what;
    uint32_t got, expected;
  } rows[] = {
      {"XON/XOFF characters after open", SioGetXonXoffChars(0), 0x1311},
      {"baud of the device", SioGetBaud(0), 9600},
      {"receive maximum", SioGetMaxQueue(0, 0), 16384},
      {"transmit maximum", SioGetMaxQueue(0, 1), 2048},
      {"any other direction is transmit", SioGetMaxQueue(0, 7), 2048},
      {"current receive queue", SioGetCurrentQueue(0, 0), 5000},
      {"current transmit queue", SioGetCurrentQueue(0, 1), 700},
      {"closed port: no characters", SioGetXonXoffChars(1), 0},
      {"closed port: no baud", SioGetBaud(1), 0},
      {"closed port: no maximum", SioGetMaxQueue(1, 0), 0},
      {"out of range: no baud", SioGetBaud(36), 0},
  };
  for (const Row &row : rows) EXPECT_EQ(row.got, row.expected) << row.what;
  EXPECT_EQ(SioGetLastError(1), SIO_FAILED);
  // The readers take the device's DCB, not what the library recorded.
  DCB dcb = sim_dcb(dev);
  dcb.BaudRate = 38400;
  dcb.XonChar = 0x21;
  dcb.XoffChar = 0x23;
  sim_set_dcb(dev, dcb);
  EXPECT_EQ(SioGetBaud(0), 38400u);
  EXPECT_EQ(SioGetXonXoffChars(0), 0x2321);
  sim_fail(dev, SIM_GET_COMM_PROPERTIES, ERROR_GEN_FAILURE);
  EXPECT_EQ(SioGetMaxQueue(0, 0), 0u);
  EXPECT_EQ(SioGetCurrentQueue(0, 1), 0u);
  sim_fail(dev, SIM_GET_COMM_PROPERTIES, 0);
  sio_test_close_all();
}
