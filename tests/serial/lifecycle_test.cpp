// The life of a port against the simulated device: names, the probe, the open, configuring,
// the close that gives the device its own settings back, the threads' suspension and stop.
#include <gtest/gtest.h>
#include <string.h>

#include "support.h"

TEST(Lifecycle, NamesAndProbe) {
  struct Row {
    const char *what; uint8_t port; bool busy, no_config; DWORD config_size; uint16_t probe;
    const char *name, *probe_name;
  } rows[] = {
      {"a free device", 0, false, false, 52, 1, "COM1", "COM1"},
      {"a device another program holds", 1, true, false, 52, 2, "COM2", "COM2"},
      {"no default configuration: no device", 2, false, true, 52, 0, "COM3", "COM3"},
      {"a larger configuration record", 3, false, false, 120, 1, "COM4", "COM4"},
      {"index 9 opens \\\\.\\COM10, probes COM10", 9, false, false, 52, 1, "\\\\.\\COM10", "COM10"},
      {"index 35", 35, false, false, 52, 1, "\\\\.\\COM36", "COM36"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    char name[16], probe_name[16];
    SioBuildPortName(row.port, name, 0), SioBuildPortName(row.port, probe_name, 1);
    EXPECT_EQ(std::string(name) + " " + probe_name, std::string(row.name) + " " + row.probe_name);
    SimDevice *dev = sim_attach(probe_name);
    sim_set_busy(dev, row.busy);
    sim_set_config_size(dev, row.config_size);
    if (row.no_config) sim_fail(dev, SIM_GET_DEFAULT_COMM_CONFIG, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SioProbePort(row.port), row.probe);
    EXPECT_FALSE(sim_is_open(dev)) << "the probe closes what it opened";
    EXPECT_TRUE(row.probe != 1 || sim_last_open(dev).name == row.name) << "opened by its full name";
  }
  sim_reset_all();
}

TEST(Lifecycle, OpenIntoTheStandardState) {
  SimDevice *dev = sim_attach("COM10");
  DCB own = sim_dcb(dev);
  own.BaudRate = 19200, own.fParity = 0, own.XonChar = 1, own.XoffChar = 2;
  sim_set_dcb(dev, own);
  SioOpen(9);
  ASSERT_TRUE(SioIsOpen(9));
  DCB dcb = sim_dcb(dev);
  struct Row { const char *what; uint32_t got, expected; } rows[] = {
      {"XonChar, XoffChar", uint8_t(dcb.XonChar) * 256u + uint8_t(dcb.XoffChar), 0x1113},
      {"fParity", dcb.fParity, 1},
      {"BaudRate as the device had it", dcb.BaudRate, 19200},
      {"reads return at once", sim_timeouts(dev).ReadIntervalTimeout + sim_timeouts(dev).ReadTotalTimeoutConstant,
       MAXDWORD},
      {"no event thread before configuration", table().event_threads[9].thread.load() != nullptr, 0},
  };
  for (const Row &row : rows) EXPECT_EQ(row.got, row.expected) << row.what;
  HANDLE handle = sim_handle(dev);
  SioOpen(9);
  EXPECT_TRUE(SioGetLastError(9) == 1 && sim_handle(dev) == handle) << "a second open is refused";
  close_all();
}

TEST(Lifecycle, ConfiguringTwiceKeepsTheThreads) {
  SimDevice *dev = open_sim_port(0);
  HANDLE writer = table().writer_threads[0].thread.load();
  SioConfigure(0, 9600, 8, 1, 'N', 0);
  HANDLE events = table().event_threads[0].thread.load();
  ASSERT_NE(events, nullptr);
  SioConfigure(0, 300, 5, 2, 's', 0);
  DCB dcb = sim_dcb(dev);
  EXPECT_TRUE(dcb.BaudRate == 300 && dcb.ByteSize == 5 && dcb.Parity == SPACEPARITY && dcb.StopBits == ONE5STOPBITS);
  EXPECT_TRUE(table().event_threads[0].thread.load() == events && table().writer_threads[0].thread.load() == writer)
      << "no second thread";
  ASSERT_TRUE(sim_wait_comm_wait_pending(dev, 10000));
  auto start = std::chrono::steady_clock::now();
  SioClose(0);
  EXPECT_LT(elapsed_ms(start), 1000) << "the stop's empty mask ends the event thread's wait";
  close_all();
}

TEST(Lifecycle, FromOpenToClose) {
  struct Row {
    const char *what; DWORD max_rx, max_tx, in_queue, out_queue;  // driver maxima, what SetupComm got
    DWORD own_dtr, own_rts; uint8_t dtr_state, rts_state;  // the device's before the open, the port's after
    uint8_t options; std::vector<DWORD> escapes; DWORD dtr_back, rts_back;  // the close's, the device's after
  } rows[] = {
      {"no maximum: 8192 and 4096; a DTR handshake held lowered; close 0", 0, 0, 8192, 4096, DTR_CONTROL_HANDSHAKE,
       RTS_CONTROL_ENABLE, 0, 2, 0x00, {CLRDTR, SETRTS}, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_ENABLE},
      {"the driver's maxima; DTR enabled; close 0x05 lowers DTR", 2048, 1024, 2048, 1024, DTR_CONTROL_ENABLE,
       RTS_CONTROL_ENABLE, 1, 2, 0x05, {CLRDTR, SETRTS}, DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE},
      {"close 0x0A lowers RTS", 0, 0, 8192, 4096, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, 1, 2, 0x0A,
       {SETDTR, CLRRTS}, DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE},
      {"both disabled; close 0x03 raises both", 0, 0, 8192, 4096, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, 0,
       0, 0x03, {SETDTR, SETRTS}, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE},
  };
  const COMMTIMEOUTS own_timeouts = {10, 20, 30, 40, 50};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    SimDevice *dev = sim_attach("COM1");
    sim_set_max_queues(dev, row.max_rx, row.max_tx);
    DCB own = sim_dcb(dev);
    own.fDtrControl = row.own_dtr, own.fRtsControl = row.own_rts;
    sim_set_dcb(dev, own);
    sim_set_timeouts(dev, own_timeouts);
    sim_set_comm_mask(dev, EV_RXCHAR | EV_CTS);
    open_sim_port(0);
    auto setups = sim_setup_calls(dev);
    ASSERT_EQ(setups.size(), 1u);
    EXPECT_TRUE(setups[0].in_queue == row.in_queue && setups[0].out_queue == row.out_queue) << "SetupComm";
    EXPECT_TRUE(port_record(0).dtr_state.load() == row.dtr_state && port_record(0).rts_state == row.rts_state);
    SioConfigureEx(0, 115200, 7, 2, 'E', 0x30, 0x03);  // handshakes that the close drops
    SioSetEventMask(0, 0x1FF, 0);
    sim_clear_records(dev);
    SioCloseEx(0, row.options);
    EXPECT_FALSE(sim_is_open(dev));
    EXPECT_EQ(sim_escapes(dev), row.escapes);
    DCB back = sim_dcb(dev);
    EXPECT_TRUE(back.fDtrControl == row.dtr_back && back.fRtsControl == row.rts_back) << "DTR, RTS controls";
    EXPECT_TRUE(back.BaudRate == 9600 && back.ByteSize == 8 && back.Parity == NOPARITY) << "its own line";
    COMMTIMEOUTS t = sim_timeouts(dev);
    EXPECT_EQ(memcmp(&t, &own_timeouts, sizeof t), 0) << "its own time-outs";
    EXPECT_EQ(sim_comm_mask(dev), DWORD(EV_RXCHAR | EV_CTS));
    EXPECT_EQ(rx_ring(0).data.load(), nullptr);
    sim_reset_all();
  }
}

TEST(Lifecycle, SuspendingAndStoppingTheEventThread) {
  SimDevice *dev = open_sim_port(0);
  SioSetEventHandler(0, log_event);
  SioConfigure(0, 9600, 8, 1, 'N', 0);
  struct Step { const char *what; uint16_t resume, result, suspended; } steps[] = {
      {"suspend", 0, 1, 1}, {"suspend again: nothing", 0, 0, 1},
      {"resume", 1, 0, 0},  {"suspend before the stop", 0, 1, 1},
  };
  for (const Step &step : steps) {
    EXPECT_EQ(SioSuspendEventThread(0, step.resume), step.result) << step.what;
    EXPECT_EQ(table().event_threads[0].suspended.load(), step.suspended) << step.what;
  }
  EXPECT_EQ(SioSuspendEventThread(1, 0), 0) << "a port without an event thread";
#ifdef _WIN32
  (void)dev;  // the thread stopped at once, maybe holding the device's lock: no touching it
#else
  sim_raise(dev, EV_CTS);  // a suspended thread here stops at its next wait: let it get there
#endif
  auto start = std::chrono::steady_clock::now();
  SioStopEventThread(0);
  EXPECT_LT(elapsed_ms(start), 2000);
  EXPECT_TRUE(table().event_threads[0].thread.load() == nullptr && table().event_threads[0].suspended.load() == 0);
  close_all();
}

namespace {

// A handler that blocks on the events in `block_on` until `gate` is set.
HANDLE gate = nullptr;                      // a manual-reset event
std::atomic<uint32_t> block_on{0};          // test thread sets; library threads read
std::atomic<bool> in_handler{false};        // library thread sets; test thread reads
int32_t blocking_handler(uint8_t port, uint32_t events) {
  log_event(port, events);
  if (!(events & block_on.load())) return 0;
  auto wait = win32.WaitForSingleObject;  // read before the test may swap it
  in_handler = true;
  wait(gate, INFINITE);
  return 0;
}

// Timed waits on the stuck thread move the simulated clock on instead of taking real
// time, so that the stop reaches its 5000 ms limit at once.
DWORD(WINAPI *wait_in_force)(HANDLE, DWORD) = nullptr;
std::atomic<HANDLE> fast_thread{nullptr};
DWORD WINAPI FastForwardWait(HANDLE h, DWORD ms) {
  if (ms == INFINITE || ms == 0 || h != fast_thread.load()) return wait_in_force(h, ms);
  DWORD result = wait_in_force(h, 1);
  if (result == WAIT_TIMEOUT) sim_advance_clock(ms);
  return result;
}

}  // namespace

TEST(Lifecycle, AThreadThatOutlivesItsStop) {
  sim_set_clock(1000);
  SimDevice *dev = open_sim_port(0);
  SioSetEventHandler(0, blocking_handler);
  gate = win32.CreateEventA(nullptr, TRUE, FALSE, nullptr), block_on = EV_CTS;
  SioConfigure(0, 9600, 8, 1, 'N', 0);
  ASSERT_TRUE(sim_wait_comm_wait_pending(dev, 10000));
  sim_raise(dev, EV_CTS);
  ASSERT_TRUE(wait_until([] { return in_handler.load(); }));
  ThreadRecord &record = table().event_threads[0];
  HANDLE stuck = record.thread.load();
  fast_thread = stuck, wait_in_force = win32.WaitForSingleObject;
  win32.WaitForSingleObject = FastForwardWait;
  auto start = std::chrono::steady_clock::now();
  SioClose(0);
  EXPECT_LT(elapsed_ms(start), 3000);
  EXPECT_TRUE(SioThreadAlive(stuck)) << "still in the handler";
  EXPECT_EQ(tx_ring(0).data.load(), nullptr) << "the rings went with the lingering thread";
  EXPECT_EQ(rx_ring(0).data.load(), nullptr);

  // The port opens again with new threads; the old one, let go, touches nothing.
  block_on = 0;
  open_sim_port(0);
  SioSetEventHandler(0, blocking_handler);
  SioConfigure(0, 9600, 8, 1, 'N', 0);
  HANDLE fresh = record.thread.load();
  ASSERT_NE(fresh, nullptr);
  win32.SetEvent(gate);
  ASSERT_TRUE(wait_until([&] { return !SioThreadAlive(stuck); }));
  EXPECT_EQ(record.thread.load(), fresh) << "the old thread left the record alone";
  uint8_t bytes[5] = {1, 2, 3, 4, 5};
  ASSERT_EQ(SioTxRingWrite(0, bytes, 5), 5u);
  ASSERT_TRUE(sim_wait_written(dev, 5, 10000));
  ASSERT_TRUE(sim_wait_comm_wait_pending(dev, 10000));
  clear_log();
  sim_raise(dev, EV_DSR);
  EXPECT_TRUE(wait_logged(EV_DSR, 1));
  SioClose(0);
  win32.WaitForSingleObject = wait_in_force;
  win32.CloseHandle(gate);
  sim_reset_all();
}
