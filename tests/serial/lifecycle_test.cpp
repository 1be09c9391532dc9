// The life of a port against the simulated device: the open into the standard state,
// configuring, and the close that gives the device its own settings back.
#include <gtest/gtest.h>
#include <string.h>

#include "support.h"

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
  const COMMTIMEOUTS own_timeouts = {10, 20, 30, 40, 50}, at_once = {MAXDWORD, 0, 0, 0, 0};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    SimDevice *dev = sim_attach("COM1");
    sim_set_max_queues(dev, row.max_rx, row.max_tx);
    DCB dcb = sim_dcb(dev);
    dcb.BaudRate = 19200, dcb.fParity = 0, dcb.XonChar = 1, dcb.XoffChar = 2;
    dcb.fDtrControl = row.own_dtr, dcb.fRtsControl = row.own_rts;
    sim_set_dcb(dev, dcb);
    sim_set_timeouts(dev, own_timeouts);
    sim_set_comm_mask(dev, EV_RXCHAR | EV_CTS);
    open_sim_port(0);
    PortTable &t = table();
    dcb = sim_dcb(dev);
    COMMTIMEOUTS tm = sim_timeouts(dev);
    EXPECT_TRUE(dcb.XonChar == 0x11 && dcb.XoffChar == 0x13 && dcb.fParity == 1 && dcb.BaudRate == 19200)
        << "the standard DCB at the device's own speed";
    EXPECT_EQ(memcmp(&tm, &at_once, sizeof tm), 0) << "reads return at once, writes have no limit";
    auto setups = sim_setup_calls(dev);
    ASSERT_EQ(setups.size(), 1u);
    EXPECT_TRUE(setups[0].in_queue == row.in_queue && setups[0].out_queue == row.out_queue) << "SetupComm";
    EXPECT_TRUE(t.ports[0].dtr_state.load() == row.dtr_state && t.ports[0].rts_state.load() == row.rts_state);
    EXPECT_EQ(t.event_threads[0].thread.load(), nullptr) << "no event thread before configuration";
    HANDLE handle = sim_handle(dev), writer = t.writer_threads[0].thread.load();
    SioOpen(0);
    EXPECT_TRUE(SioGetLastError(0) == SIO_FAILED && sim_handle(dev) == handle) << "a second open is refused";

    SioConfigure(0, 300, 5, 2, 's', 0);
    dcb = sim_dcb(dev);
    EXPECT_TRUE(dcb.BaudRate == 300 && dcb.ByteSize == 5 && dcb.Parity == SPACEPARITY && dcb.StopBits == ONE5STOPBITS);
    HANDLE events = t.event_threads[0].thread.load();
    ASSERT_NE(events, nullptr);
    SioConfigureEx(0, 115200, 7, 2, 'E', 0x30, 0x03);  // handshakes that the close drops
    EXPECT_TRUE(t.event_threads[0].thread.load() == events && t.writer_threads[0].thread.load() == writer)
        << "configuring again starts no second thread";
    SioSetEventMask(0, 0x1FF, 0);
    ASSERT_TRUE(sim_wait_comm_wait_pending(dev, 10000));
    sim_clear_records(dev);
    auto start = std::chrono::steady_clock::now();
    SioCloseEx(0, row.options);
    EXPECT_LT(elapsed_ms(start), 1000) << "the stop's empty mask ends the event thread's wait";
    EXPECT_EQ(sim_escapes(dev), row.escapes);
    dcb = sim_dcb(dev), tm = sim_timeouts(dev);
    EXPECT_TRUE(dcb.fDtrControl == row.dtr_back && dcb.fRtsControl == row.rts_back) << "DTR, RTS controls";
    EXPECT_TRUE(dcb.BaudRate == 19200 && dcb.ByteSize == 8 && dcb.Parity == NOPARITY && dcb.fParity == 0 &&
                dcb.XonChar == 1 && dcb.XoffChar == 2) << "its own line";
    EXPECT_EQ(memcmp(&tm, &own_timeouts, sizeof tm), 0) << "its own time-outs";
    EXPECT_EQ(sim_comm_mask(dev), DWORD(EV_RXCHAR | EV_CTS));
    EXPECT_TRUE(t.event_threads[0].thread.load() == nullptr && table().rx_rings[0].data.load() == nullptr);
    sim_reset_all();
  }
}

// A probe or an open that fails leaves the reason in last_error, from the device's
// error; an error the library does not know stays the plain failure. (A missing device,
// a plain file, a busy port and a denied one are refused end to end through POSIX.)
TEST(Lifecycle, ARefusedProbeOrOpenSaysWhy) {
  const struct {
    SimOp op; DWORD error; uint16_t probe; int16_t code; const char *what;
  } rows[] = {
      {SIM_GET_DEFAULT_COMM_CONFIG, ERROR_PATH_NOT_FOUND, 0, SIO_ERR_NO_DEVICE, "no such path"},
      {SIM_CREATE_FILE, ERROR_INVALID_FUNCTION, 2, SIO_ERR_NOT_SERIAL, "no serial functions"},
      {SIM_CREATE_FILE, ERROR_GEN_FAILURE, 2, SIO_FAILED, "a reason the library does not know"},
      {SIM_CREATE_FILE, 0, 1, SIO_OK, "a port that opens says nothing was wrong"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    SimDevice *dev = sim_attach("COM3");
    sim_fail(dev, row.op, row.error);
    EXPECT_EQ(SioProbePort(2), row.probe);
    EXPECT_EQ(SioGetLastError(2), row.code) << "after the probe";
    if (row.op == SIM_CREATE_FILE) {
      SioOpen(2);
      EXPECT_EQ(SioGetLastError(2), row.code) << "after the open";
      EXPECT_EQ(sim_handle(dev) != INVALID_HANDLE_VALUE, row.error == 0);
    }
    close_all();
  }
}

namespace {

// A handler stuck on EV_CTS until `gate` is set; timed waits on the stuck thread move
// the simulated clock on, so that a stop reaches its 5000 ms limit at once.
HANDLE gate = nullptr;
std::atomic<bool> stuck_on_cts{true}, in_handler{false};  // test thread / library threads
DWORD(WINAPI *real_wait)(HANDLE, DWORD) = nullptr;
std::atomic<HANDLE> stuck_thread{nullptr};
int32_t stuck_handler(uint8_t port, uint32_t events) {
  log_event(port, events);
  if (!(events & EV_CTS) || !stuck_on_cts) return 0;
  in_handler = true;
  real_wait(gate, INFINITE);
  return 0;
}
DWORD WINAPI fast_forward_wait(HANDLE h, DWORD ms) {
  if (ms == INFINITE || ms == 0 || h != stuck_thread.load()) return real_wait(h, ms);
  DWORD result = real_wait(h, 1);
  if (result == WAIT_TIMEOUT) sim_advance_clock(ms);
  return result;
}

}  // namespace

// A close that gives up on an event thread stuck in the handler keeps what that thread
// can still reach; the port opens again with new threads, and the old one, let go,
// leaves the new record alone.
TEST(Lifecycle, AThreadThatOutlivesItsStop) {
  sim_set_clock(1000);
  real_wait = win32.WaitForSingleObject;
  gate = win32.CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SimDevice *dev = open_sim_port(0);
  SioSetEventHandler(0, stuck_handler);
  SioConfigure(0, 9600, 8, 1, 'N', 0);
  ASSERT_TRUE(sim_wait_comm_wait_pending(dev, 10000));
  sim_raise(dev, EV_CTS);
  ASSERT_TRUE(wait_until([] { return in_handler.load(); }));
  ThreadRecord &record = table().event_threads[0];
  HANDLE stuck = record.thread.load();
  stuck_thread = stuck, win32.WaitForSingleObject = fast_forward_wait;
  auto start = std::chrono::steady_clock::now();
  SioClose(0);
  EXPECT_LT(elapsed_ms(start), 3000);
  EXPECT_TRUE(SioThreadAlive(stuck) && table().tx_rings[0].data.load() == nullptr && table().rx_rings[0].data.load() == nullptr)
      << "the rings went with the lingering thread";
  stuck_on_cts = false;
  open_sim_port(0);
  SioSetEventHandler(0, stuck_handler);
  SioConfigure(0, 9600, 8, 1, 'N', 0);
  HANDLE fresh = record.thread.load();
  ASSERT_NE(fresh, nullptr);
  win32.SetEvent(gate);
  ASSERT_TRUE(wait_until([&] { return !SioThreadAlive(stuck); }));
  EXPECT_EQ(record.thread.load(), fresh) << "the old thread left the record alone";
  ASSERT_TRUE(sim_wait_comm_wait_pending(dev, 10000));
  clear_log();
  sim_raise(dev, EV_DSR);
  EXPECT_TRUE(wait_logged(EV_DSR, 1)) << "the new thread delivers";
  SioClose(0);
  win32.WaitForSingleObject = real_wait;
  win32.CloseHandle(gate);
  close_all();
}

namespace {

// Entries of the library lock, and deletions of port 0's lock, counted through swapped
// entries (any thread).
std::atomic<int> library_lock_entries{0}, port_lock_deletions{0};
decltype(Win32Calls::EnterCriticalSection) real_enter = nullptr;
decltype(Win32Calls::DeleteCriticalSection) real_delete = nullptr;
void WINAPI counting_enter(LPCRITICAL_SECTION cs) {
  if (cs == &table().library_lock) library_lock_entries.fetch_add(1);
  real_enter(cs);
}
void WINAPI counting_delete(LPCRITICAL_SECTION cs) {
  if (cs == &table().port_locks[0]) port_lock_deletions.fetch_add(1);
  real_delete(cs);
}

}  // namespace

// Two closes of one port at once, both past the open test before either has the
// library lock (held here until both wait for it): one closes the port, the other
// finds it closed, and the port's locks are deleted once.
TEST(Lifecycle, TwoClosesAtOnce) {
  real_enter = win32.EnterCriticalSection, real_delete = win32.DeleteCriticalSection;
  win32.EnterCriticalSection = counting_enter, win32.DeleteCriticalSection = counting_delete;
  for (int round = 0; round < 20 && !HasFailure(); round++) {
    SimDevice *dev = open_sim_port(0);
    SioConfigure(0, 9600, 8, 1, 'N', 0);
    port_lock_deletions = 0;
    SioLockLibrary();
    library_lock_entries = 0;
    std::thread first([] { SioClose(0); }), second([] { SioClose(0); });
    EXPECT_TRUE(wait_until([] { return library_lock_entries.load() == 2; })) << "both closes wait for the lock";
    SioUnlockLibrary();
    first.join(), second.join();
    EXPECT_EQ(port_lock_deletions.load(), 1) << "round " << round;
    EXPECT_TRUE(!SioIsOpen(0) && sim_handle(dev) == INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim_calls(dev, SIM_CLOSE_HANDLE), 1u) << "the device was closed once";
    sim_reset_all();
  }
  win32.EnterCriticalSection = real_enter, win32.DeleteCriticalSection = real_delete;
}
