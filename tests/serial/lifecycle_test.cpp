// The life of a port against the simulated device: names and the probe, the open
// into the standard state, configuration, and the close that gives the device its
// own settings back.
#include <gtest/gtest.h>
#include <string.h>

#include "library_hooks.h"

TEST(Lifecycle, DeviceNames) {
  struct Row {
    uint8_t port, probing;
    const char *name;
  } rows[] = {
      {0, 0, "COM1"},         {8, 0, "COM9"},         {8, 1, "COM9"},
      {9, 0, "\\\\.\\COM10"}, {9, 1, "COM10"},        {35, 0, "\\\\.\\COM36"},
      {35, 1, "COM36"},       {255, 0, "\\\\.\\COM256"},
  };
  for (const Row &row : rows) {
    char name[16];
    memset(name, 'x', sizeof name);
    SioBuildPortName(row.port, name, row.probing);
    EXPECT_STREQ(name, row.name) << int(row.port) << " probing " << int(row.probing);
  }
  // The longest name of a port in range fits 10 bytes with its terminator.
  char exact[10];
  SioBuildPortName(35, exact, 0);
  EXPECT_STREQ(exact, "\\\\.\\COM36");
}

TEST(Lifecycle, Probe) {
  struct Row {
    const char *what;
    uint8_t port;
    bool busy;
    DWORD config_size;
    bool no_default_config;
    uint16_t result;
  } rows[] = {
      {"a free device", 0, false, 52, false, 1},
      {"a device another program holds", 1, true, 52, false, 2},
      {"no default configuration", 2, false, 52, true, 0},
      {"a larger configuration record", 3, false, 120, false, 1},
      {"COM10 is probed without prefix and opened with it", 9, false, 52, false, 1},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    std::string name = "COM" + std::to_string(row.port + 1);
    SimDevice *dev = sim_attach(name.c_str());
    sim_set_busy(dev, row.busy);
    sim_set_config_size(dev, row.config_size);
    if (row.no_default_config) sim_fail(dev, SIM_GET_DEFAULT_COMM_CONFIG, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SioProbePort(row.port), row.result);
    EXPECT_FALSE(sim_is_open(dev));  // a successful probe closes what it opened
    if (row.result == 1) {
      char expected[16];
      SioBuildPortName(row.port, expected, 0);
      EXPECT_EQ(sim_last_open(dev).name, expected);
    }
  }
  EXPECT_EQ(port_table.load(), nullptr);  // the probe does not touch the library
  sim_reset_all();
}

TEST(Lifecycle, OpenIntoTheStandardState) {
  SimDevice *dev = sim_attach("COM10");
  DCB own = sim_dcb(dev);
  own.BaudRate = 19200;
  own.fParity = 0;
  own.fErrorChar = 1;
  own.fNull = 1;
  own.EvtChar = 'x';
  own.XonChar = 1;
  own.XoffChar = 2;
  own.ByteSize = 7;
  sim_set_dcb(dev, own);
  SioOpen(9);
  ASSERT_TRUE(SioIsOpen(9));
  EXPECT_EQ(sim_last_open(dev).name, "\\\\.\\COM10");
  SimOpenArgs args = sim_last_open(dev);
  EXPECT_EQ(args.access, GENERIC_READ | GENERIC_WRITE);
  EXPECT_EQ(args.share, 0u);
  EXPECT_EQ(args.disposition, OPEN_EXISTING);
  EXPECT_EQ(args.flags, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL);
  DCB dcb = sim_dcb(dev);
  struct Row {
    const char *field;
    uint32_t got, expected;
  } rows[] = {
      {"XonChar", uint8_t(dcb.XonChar), 0x11},   {"XoffChar", uint8_t(dcb.XoffChar), 0x13},
      {"EvtChar", uint8_t(dcb.EvtChar), 0},      {"fParity", dcb.fParity, 1},
      {"fErrorChar", dcb.fErrorChar, 0},         {"fNull", dcb.fNull, 0},
      {"BaudRate as the device had it", dcb.BaudRate, 19200},
      {"ByteSize as the device had it", dcb.ByteSize, 7},
      {"baud recorded", port_record(9).baud.load(), 19200},
      {"open_count", port_record(9).open_count, 1},
      {"open_ports", table().open_ports.load(), 1},
      {"writer running", table().writer_threads[9].thread.load() != nullptr, 1},
      {"no event thread before configuration", table().event_threads[9].thread.load() != nullptr, 0},
      {"no reader event before configuration", table().reader_events[9].cancel_event != nullptr, 0},
  };
  for (const Row &row : rows) EXPECT_EQ(row.got, row.expected) << row.field;
  COMMTIMEOUTS t = sim_timeouts(dev);
  EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier + t.ReadTotalTimeoutConstant +
                t.WriteTotalTimeoutMultiplier + t.WriteTotalTimeoutConstant,
            0u);
  EXPECT_EQ(sim_purges(dev),
            (std::vector<DWORD>{PURGE_RXABORT | PURGE_RXCLEAR, PURGE_TXABORT | PURGE_TXCLEAR}));
  // Both request events: manual-reset, not signalled.
  for (HANDLE event : {table().read_overlapped[9].hEvent, table().write_overlapped[9].hEvent}) {
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(win32.WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    win32.SetEvent(event);
    EXPECT_EQ(win32.WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(win32.WaitForSingleObject(event, 0), WAIT_OBJECT_0);  // stays set
    win32.ResetEvent(event);
  }
  // Reads return at once with what is there.
  sim_feed(dev, "hi");
  EXPECT_EQ(SioPendingCount(9, 0), 2u);
  EXPECT_EQ(SioGetXonXoffChars(9), 0x1311);
  sio_test_close_all();
}

TEST(Lifecycle, QueueRequestsAtOpen) {
  struct Row {
    const char *what;
    DWORD max_rx, max_tx;
    DWORD in_queue, out_queue;
  } rows[] = {
      {"no maximum: 8192 and 4096", 0, 0, 8192, 4096},
      {"the driver's maxima", 2048, 1024, 2048, 1024},
      {"one maximum only", 16384, 0, 16384, 4096},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    SimDevice *dev = sim_attach("COM1");
    sim_set_max_queues(dev, row.max_rx, row.max_tx);
    sio_test_open(0);
    auto setups = sim_setup_calls(dev);
    ASSERT_EQ(setups.size(), 1u);
    EXPECT_EQ(setups[0].in_queue, row.in_queue);
    EXPECT_EQ(setups[0].out_queue, row.out_queue);
    EXPECT_GE(rx_ring(0).size.load(), 4096u);
    EXPECT_NE(tx_ring(0).data.load(), nullptr);
    sio_test_close_all();
  }
}

TEST(Lifecycle, LineStatesFromTheSavedControls) {
  struct Row {
    const char *what;
    DWORD saved_dtr, saved_rts;
    uint8_t dtr_state, rts_state;
    DWORD dtr_after, rts_after;  // the device's controls after the open
  } rows[] = {
      {"DTR handshake", DTR_CONTROL_HANDSHAKE, RTS_CONTROL_ENABLE, 0, 2, DTR_CONTROL_DISABLE,
       RTS_CONTROL_ENABLE},
      {"DTR enabled", DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE, 1, 0, DTR_CONTROL_ENABLE,
       RTS_CONTROL_DISABLE},
      {"RTS handshake", DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE, 0, 0, DTR_CONTROL_DISABLE,
       RTS_CONTROL_DISABLE},
      {"RTS toggle", DTR_CONTROL_ENABLE, RTS_CONTROL_TOGGLE, 1, 0, DTR_CONTROL_ENABLE,
       RTS_CONTROL_DISABLE},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    SimDevice *dev = sim_attach("COM1");
    DCB own = sim_dcb(dev);
    own.fDtrControl = row.saved_dtr;
    own.fRtsControl = row.saved_rts;
    sim_set_dcb(dev, own);
    sio_test_open(0);
    EXPECT_EQ(port_record(0).dtr_state.load(), row.dtr_state);
    EXPECT_EQ(port_record(0).rts_state.load(), row.rts_state);
    EXPECT_EQ(sim_dcb(dev).fDtrControl, row.dtr_after);
    EXPECT_EQ(sim_dcb(dev).fRtsControl, row.rts_after);
    sio_test_close_all();
  }
}

TEST(Lifecycle, CloseOptions) {
  struct Row {
    const char *what;
    DWORD saved_dtr, saved_rts;
    uint8_t options;
    std::vector<DWORD> escapes;
    DWORD dtr_back, rts_back;
  } rows[] = {
      {"0x05 lowers DTR", DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, 0x05, {CLRDTR, SETRTS},
       DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE},
      {"0x0A lowers RTS", DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, 0x0A, {SETDTR, CLRRTS},
       DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE},
      {"0x03 raises both", DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, 0x03, {SETDTR, SETRTS},
       DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE},
      {"0 gives the own settings back", DTR_CONTROL_HANDSHAKE, RTS_CONTROL_ENABLE, 0x00,
       {CLRDTR, SETRTS}, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_ENABLE},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    SimDevice *dev = sim_attach("COM1");
    DCB own = sim_dcb(dev);
    own.fDtrControl = row.saved_dtr;
    own.fRtsControl = row.saved_rts;
    sim_set_dcb(dev, own);
    sio_test_open(0);
    SioConfigureEx(0, 115200, 8, 1, 'N', 0x30, 0x03);  // handshakes that the close drops
    sim_clear_records(dev);
    SioCloseEx(0, row.options);
    EXPECT_EQ(sim_escapes(dev), row.escapes);
    EXPECT_EQ(sim_dcb(dev).fDtrControl, row.dtr_back);
    EXPECT_EQ(sim_dcb(dev).fRtsControl, row.rts_back);
    EXPECT_EQ(sim_dcb(dev).BaudRate, 9600u);  // the device's own speed again
    EXPECT_FALSE(sim_is_open(dev));
    sim_reset_all();
  }
}

TEST(Lifecycle, CloseGivesEverythingBack) {
  SimDevice *dev = sim_attach("COM1");
  sim_set_config_size(dev, 80);
  COMMTIMEOUTS own_timeouts = {10, 20, 30, 40, 50};
  sim_set_timeouts(dev, own_timeouts);
  sim_set_comm_mask(dev, EV_RXCHAR | EV_CTS);
  sio_test_open(0);
  SioConfigure(0, 115200, 7, 2, 'E', 0x80);
  SioSetEventMask(0, 0x1FF, 0);
  uint8_t as_read[80] = {};
  DWORD size = sizeof as_read;
  reinterpret_cast<COMMCONFIG *>(as_read)->dwSize = size;
  ASSERT_TRUE(win32.GetCommConfig(sim_handle(dev), reinterpret_cast<COMMCONFIG *>(as_read), &size));
  SioClose(0);
  EXPECT_FALSE(SioIsOpen(0));
  EXPECT_FALSE(sim_is_open(dev));
  COMMTIMEOUTS t = sim_timeouts(dev);
  EXPECT_EQ(memcmp(&t, &own_timeouts, sizeof t), 0);
  EXPECT_EQ(sim_comm_mask(dev), DWORD(EV_RXCHAR | EV_CTS));
  EXPECT_EQ(sim_dcb(dev).BaudRate, 9600u);
  EXPECT_EQ(sim_dcb(dev).ByteSize, 8);
  // The whole record went back, its provider data as it was read.
  std::vector<uint8_t> record = sim_last_config_written(dev);
  ASSERT_EQ(record.size(), 80u);
  for (size_t i = 52; i < 80; i++) EXPECT_EQ(record[i], as_read[i]) << i;
  // Nothing of the port is left.
  struct Row {
    const char *what;
    bool gone;
  } rows[] = {
      {"receive ring", rx_ring(0).data.load() == nullptr && rx_ring(0).size.load() == 0},
      {"transmit ring", tx_ring(0).data.load() == nullptr && tx_ring(0).size.load() == 0},
      {"request events", table().read_overlapped[0].hEvent == nullptr},
      {"writer", table().writer_threads[0].thread.load() == nullptr},
      {"event thread", table().event_threads[0].thread.load() == nullptr},
      {"reader event", table().reader_events[0].cancel_event == nullptr},
      {"handle", port_record(0).handle.load() == nullptr},
      {"open count", port_record(0).open_count == 0},
      {"open ports", table().open_ports.load() == 0},
  };
  for (const Row &row : rows) EXPECT_TRUE(row.gone) << row.what;
  EXPECT_EQ(table().event_masks[0].load(), 0x1FFu);  // kept
  // And it opens again.
  SioOpen(0);
  EXPECT_TRUE(SioIsOpen(0));
  sio_test_close_all();
}

TEST(Lifecycle, RefusedOpens) {
  SimDevice *dev = sio_test_open(0);
  HANDLE handle = sim_handle(dev);
  SioOpen(0);
  EXPECT_EQ(SioGetLastError(0), SIO_FAILED);
  EXPECT_EQ(port_record(0).open_count, 1);
  EXPECT_EQ(sim_handle(dev), handle);
  SioClose(0);  // one close closes it
  EXPECT_FALSE(SioIsOpen(0));
  EXPECT_FALSE(sim_is_open(dev));

  SimDevice *busy = sim_attach("COM2");
  sim_set_busy(busy, true);
  SioOpen(1);
  EXPECT_EQ(SioGetLastError(1), SIO_FAILED);
  EXPECT_EQ(table().open_ports.load(), 0);
  EXPECT_EQ(port_record(1).handle.load(), nullptr);
  SioOpen(36);  // nothing recorded anywhere
  SioCloseEx(36, 0x03);
  SioClose(1);  // not open: only the open test's outcome
  EXPECT_EQ(SioGetLastError(1), SIO_FAILED);
  sim_reset_all();
}

TEST(Lifecycle, AdoptedHandle) {
  SimDevice *dev = sim_attach("COM3");
  HANDLE handle = SioCreatePortHandle("COM3");
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  SioOpenEx(2, handle);
  ASSERT_TRUE(SioIsOpen(2));
  EXPECT_EQ(port_record(2).handle.load(), handle);
  EXPECT_EQ(sim_calls(dev, SIM_CREATE_FILE), 1u);  // taken over, not opened again
  SioClose(2);
  EXPECT_FALSE(sim_is_open(dev));  // the close closes an adopted handle too
  sim_reset_all();
}

TEST(Lifecycle, Configure) {
  struct Row {
    const char *what;
    uint32_t baud;
    uint8_t data_bits, stop_bits;
    char parity;
    BYTE parity_out, stop_out;
  } rows[] = {
      {"9600 8N1", 9600, 8, 1, 'N', NOPARITY, ONESTOPBIT},
      {"lower-case o is odd", 115200, 8, 1, 'o', ODDPARITY, ONESTOPBIT},
      {"e is even", 38400, 7, 1, 'e', EVENPARITY, ONESTOPBIT},
      {"mark", 1200, 7, 1, 'M', MARKPARITY, ONESTOPBIT},
      {"space", 1200, 7, 1, 's', SPACEPARITY, ONESTOPBIT},
      {"X is no parity", 9600, 8, 1, 'X', NOPARITY, ONESTOPBIT},
      {"2 stop bits with 5 data bits are 1.5", 300, 5, 2, 'N', NOPARITY, ONE5STOPBITS},
      {"2 stop bits with 7 data bits", 9600, 7, 2, 'N', NOPARITY, TWOSTOPBITS},
      {"stop bits 0", 9600, 8, 0, 'N', NOPARITY, ONESTOPBIT},
      {"stop bits 3", 9600, 8, 3, 'N', NOPARITY, ONESTOPBIT},
  };
  SimDevice *dev = sio_test_open(0);
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    SioConfigure(0, row.baud, row.data_bits, row.stop_bits, row.parity, 0);
    DCB dcb = sim_dcb(dev);
    EXPECT_EQ(dcb.BaudRate, row.baud);
    EXPECT_EQ(dcb.ByteSize, row.data_bits);
    EXPECT_EQ(dcb.Parity, row.parity_out);
    EXPECT_EQ(dcb.StopBits, row.stop_out);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fOutxCtsFlow | dcb.fOutxDsrFlow | dcb.fOutX | dcb.fInX, 0u);
    EXPECT_EQ(dcb.fDtrControl, DWORD(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, DWORD(RTS_CONTROL_ENABLE));
    EXPECT_EQ(dcb.XonLim, 0);
    EXPECT_EQ(dcb.XoffLim, 0);
    EXPECT_EQ(dcb.fParity, 1u);  // as the open set it
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(port_record(0).dtr_state.load(), 1);
    EXPECT_EQ(port_record(0).rts_state.load(), 2);
    EXPECT_EQ(port_record(0).flow_flags.load(), 0);
    EXPECT_EQ(port_record(0).baud.load(), row.baud);
  }
  SioConfigure(1, 9600, 8, 1, 'N', 0);  // a closed port: only the open test
  EXPECT_EQ(SioGetLastError(1), SIO_FAILED);
  sio_test_close_all();
}

TEST(Lifecycle, ConfigureWithoutLineOptions) {
  struct Row {
    const char *what;
    DWORD saved_dtr, saved_rts;
    DWORD dtr_after, rts_after;
  } rows[] = {
      {"enabled controls stay enabled", DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, DTR_CONTROL_ENABLE,
       RTS_CONTROL_ENABLE},
      {"a handshake control held lowered is off", DTR_CONTROL_HANDSHAKE, RTS_CONTROL_ENABLE,
       DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    SimDevice *dev = sim_attach("COM1");
    DCB own = sim_dcb(dev);
    own.fDtrControl = row.saved_dtr;
    own.fRtsControl = row.saved_rts;
    sim_set_dcb(dev, own);
    sio_test_open(0);
    SioConfigureEx(0, 9600, 8, 1, 'N', 0, 0);
    EXPECT_EQ(sim_dcb(dev).fDtrControl, row.dtr_after);
    EXPECT_EQ(sim_dcb(dev).fRtsControl, row.rts_after);
    sio_test_close_all();
  }
}

TEST(Lifecycle, ConfiguringTwiceStartsNothingNew) {
  SimDevice *dev = sio_test_open(0);
  SioConfigure(0, 9600, 8, 1, 'N', 0);
  HANDLE writer = table().writer_threads[0].thread.load();
  HANDLE events = table().event_threads[0].thread.load();
  HANDLE cancel = table().reader_events[0].cancel_event;
  ASSERT_NE(writer, nullptr);
  ASSERT_NE(events, nullptr);
  ASSERT_NE(cancel, nullptr);
  SioConfigure(0, 115200, 8, 1, 'N', 0);
  EXPECT_EQ(table().writer_threads[0].thread.load(), writer);
  EXPECT_EQ(table().event_threads[0].thread.load(), events);
  EXPECT_EQ(table().reader_events[0].cancel_event, cancel);
  EXPECT_EQ(sim_dcb(dev).BaudRate, 115200u);
  sio_test_close_all();
}

TEST(Lifecycle, ConfigureEndsABreakOnlyWithTransmitDataPending) {
  SimDevice *dev = sio_test_open(0);
  SioConfigure(0, 9600, 8, 1, 'N', 0);
  EXPECT_EQ(sim_calls(dev, SIM_CLEAR_COMM_BREAK), 0u);
  sim_set_out_queue_count(dev, 10);
  SioConfigure(0, 9600, 8, 1, 'N', 0);
  EXPECT_EQ(sim_calls(dev, SIM_CLEAR_COMM_BREAK), 1u);
  sim_set_out_queue_count(dev, SIM_NO_OVERRIDE);
  sio_test_close_all();
}
