// The simulated device behaves as a Win32 serial driver does in every point the
// library relies on: opening, the COMMCONFIG size protocol, settings, queue sizes and
// counts, comm-event waits, overlapped reads and writes, purges, and its own table.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "sim/sim_device.h"

namespace {

const DWORD kHang = 10000;  // a bound only a hang reaches

HANDLE open_port(const char *name) {
  return win32.CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
}

// A manual-reset event for one overlapped request, closed with the record.
struct Request {
  OVERLAPPED ov;
  Request() {
    memset(&ov, 0, sizeof ov);
    ov.hEvent = win32.CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  ~Request() { win32.CloseHandle(ov.hEvent); }
  bool signalled(DWORD ms = 0) { return win32.WaitForSingleObject(ov.hEvent, ms) == WAIT_OBJECT_0; }
};

class SimDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dev = sim_attach("COM3");
    ASSERT_NE(dev, nullptr);
    h = open_port("COM3");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    if (sim_is_open(dev))
      win32.CloseHandle(sim_handle(dev));
    sim_reset_all();
  }
  void set_mask(DWORD mask) { ASSERT_TRUE(win32.SetCommMask(h, mask)); }

  SimDevice *dev = nullptr;
  HANDLE h = INVALID_HANDLE_VALUE;
};

// --- Start-up guard and opening ------------------------------------------------------

#ifndef _WIN32
TEST(SimDeviceGuard, EveryComNameLeadsNowhereUnlessTheCallerChoseOtherwise) {
#ifdef _WIN32
  GTEST_SKIP() << "skipped: on Windows the COM names are the system's own (under Wine, the "
                  "prefix of tools/windows-test leads every one to no device)";
#endif
  for (int n = 1; n <= 36; n++) {
    std::string var = "TAVO_COM" + std::to_string(n);
    const char *path = getenv(var.c_str());
    ASSERT_NE(path, nullptr) << var;
    EXPECT_EQ(strncmp(path, "/nonexistent/", 13), 0) << var << " = " << path;
  }
}
#endif

TEST(SimDeviceOpen, NamesBusyDevicesAndExclusiveOpen) {
  SimDevice *com3 = sim_attach("COM3");
  SimDevice *com12 = sim_attach("\\\\.\\COM12");
  SimDevice *com7 = sim_attach("COM7");
  ASSERT_TRUE(com3 && com12 && com7);
  EXPECT_EQ(sim_attach("COM3"), com3) << "attaching again gives the same device";
  EXPECT_EQ(sim_find("COM12"), com12);
  EXPECT_EQ(sim_find("COM4"), nullptr);
  EXPECT_EQ(sim_attach("COM37"), nullptr);
  EXPECT_EQ(sim_attach("COM03"), nullptr);
  EXPECT_EQ(sim_port_number(com12), 12);
  sim_set_busy(com7, true);

  struct Row {
    const char *what, *name;
    bool opens;
    DWORD error;
  } rows[] = {
      {"plain name below 10", "COM3", true, 0},
      {"second open of an open device", "COM3", false, ERROR_ACCESS_DENIED},
      {"COM10 and above need the prefix", "COM12", false, ERROR_FILE_NOT_FOUND},
      {"prefixed name", "\\\\.\\COM12", true, 0},
      {"device held by another program", "COM7", false, ERROR_ACCESS_DENIED},
      {"name without a sim: no such device (a path that does not exist; on Windows refused)", "COM5", false,
       ERROR_FILE_NOT_FOUND},
  };
  for (const Row &r : rows) {
    HANDLE got = open_port(r.name);
    EXPECT_EQ(got != INVALID_HANDLE_VALUE, r.opens) << r.what;
    if (!r.opens) {
      DWORD error = win32.GetLastError();
#ifdef _WIN32
      // Under Wine a COM port that leads to no device fails with ERROR_NO_SUCH_DEVICE (433).
      if (error == 433 && r.error == ERROR_FILE_NOT_FOUND) error = r.error;
#endif
      EXPECT_EQ(error, r.error) << r.what;
    }
  }
  EXPECT_EQ(sim_last_open(com12).name, "\\\\.\\COM12");
  EXPECT_EQ(sim_last_open(com12).flags, DWORD(FILE_FLAG_OVERLAPPED));
  EXPECT_EQ(sim_last_open(com12).access, DWORD(GENERIC_READ | GENERIC_WRITE));
  EXPECT_EQ(sim_calls(com3, SIM_CREATE_FILE), 2u);

  // A probe of the busy device: its default configuration is there, the open fails.
  COMMCONFIG cc;
  DWORD size = sizeof cc;
  EXPECT_TRUE(win32.GetDefaultCommConfigA("COM7", &cc, &size));
  EXPECT_FALSE(win32.GetDefaultCommConfigA("\\\\.\\COM7", &cc, &size)) << "plain names only";
  sim_reset_all();
}

TEST(SimDeviceOpen, EveryOpenGivesANewHandleAndAClosedOneIsRefused) {
  SimDevice *dev = sim_attach("COM1");
  HANDLE first = open_port("COM1");
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(sim_handle(dev), first);
  EXPECT_TRUE(win32.CloseHandle(first));
  EXPECT_FALSE(sim_is_open(dev));
  HANDLE second = open_port("COM1");
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_NE(second, first);

  DCB dcb;
  EXPECT_FALSE(win32.GetCommState(first, &dcb));
  EXPECT_EQ(win32.GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(win32.CloseHandle(first));
  EXPECT_TRUE(win32.GetCommState(second, &dcb));
  EXPECT_TRUE(win32.CloseHandle(second));
  sim_reset_all();
}

// --- COMMCONFIG size protocol --------------------------------------------------------

TEST_F(SimDeviceTest, ConfigRecordsDemandTheirSizeAndCarryProviderData) {
  struct Row {
    const char *what;
    DWORD demand;
  } rows[] = {{"the usual 52 bytes", 52}, {"a provider with extra data", 80}};
  const DCB initial = sim_dcb(dev);
  for (const Row &r : rows) {
    sim_set_dcb(dev, initial);
    sim_set_config_size(dev, r.demand);
    std::vector<uint8_t> buf(r.demand + 8, 0x55);
    COMMCONFIG *cc = reinterpret_cast<COMMCONFIG *>(buf.data());
    DWORD size = 52;
    BOOL ok = win32.GetCommConfig(h, cc, &size);
    EXPECT_EQ(ok != 0, r.demand == 52) << r.what;
    EXPECT_EQ(size, r.demand) << r.what << ": the size to retry with";
    if (!ok) {
      EXPECT_EQ(win32.GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER)) << r.what;
      size = 52;
      EXPECT_FALSE(win32.GetDefaultCommConfigA("COM3", cc, &size)) << r.what;
      EXPECT_EQ(size, r.demand) << r.what;
      EXPECT_FALSE(win32.SetCommConfig(h, cc, 52)) << r.what;
      EXPECT_TRUE(win32.GetCommConfig(h, cc, &size)) << r.what;
      EXPECT_EQ(cc->dwProviderOffset, 48u) << r.what;
      EXPECT_EQ(cc->dwProviderSize, r.demand - 48) << r.what;
      EXPECT_EQ(buf[48], 0xA0) << r.what;
      EXPECT_EQ(buf[r.demand - 1], 0xA0 + (r.demand - 49)) << r.what;
    }
    EXPECT_EQ(cc->dwSize, r.demand) << r.what;
    EXPECT_EQ(cc->dcb.BaudRate, 9600u) << r.what;

    cc->dcb.BaudRate = 76800;
    EXPECT_TRUE(win32.SetCommConfig(h, cc, size)) << r.what;
    EXPECT_EQ(sim_dcb(dev).BaudRate, 76800u) << r.what;
    std::vector<uint8_t> sent = sim_last_config_written(dev);
    EXPECT_EQ(sent, std::vector<uint8_t>(buf.begin(), buf.begin() + size))
        << r.what << ": the whole record, provider data included";
  }
}

// --- Settings ------------------------------------------------------------------------

TEST_F(SimDeviceTest, SettingsComeBackExactlyAsSetAndStayWithTheDevice) {
  DCB first;
  ASSERT_TRUE(win32.GetCommState(h, &first));
  EXPECT_EQ(first.DCBlength, sizeof(DCB));
  EXPECT_EQ(first.BaudRate, 9600u);
  EXPECT_EQ(first.ByteSize, 8);
  EXPECT_EQ(first.Parity, NOPARITY);
  EXPECT_EQ(first.StopBits, ONESTOPBIT);
  EXPECT_EQ(first.fDtrControl, (DWORD)DTR_CONTROL_ENABLE);
  EXPECT_EQ(first.fRtsControl, (DWORD)RTS_CONTROL_ENABLE);
  EXPECT_EQ(first.fBinary, 1u);

  // Values a pseudo-terminal could not keep: 5 bits, mark parity, 1.5 stop bits.
  DCB odd = first;
  odd.BaudRate = 76800;
  odd.ByteSize = 5;
  odd.Parity = MARKPARITY;
  odd.StopBits = ONE5STOPBITS;
  odd.fOutxCtsFlow = 1;
  odd.fOutxDsrFlow = 1;
  odd.fDtrControl = DTR_CONTROL_HANDSHAKE;
  odd.fRtsControl = RTS_CONTROL_TOGGLE;
  odd.fOutX = odd.fInX = 1;
  odd.XonLim = 123;
  odd.XoffLim = 456;
  odd.XonChar = 'q';
  odd.XoffChar = 's';
  odd.EvtChar = '\n';
  ASSERT_TRUE(win32.SetCommState(h, &odd));
  COMMTIMEOUTS t = {MAXDWORD, 1, 2, 3, 4};
  ASSERT_TRUE(win32.SetCommTimeouts(h, &t));
  set_mask(EV_RXCHAR | EV_CTS);

  ASSERT_TRUE(win32.CloseHandle(h));
  h = open_port("COM3");
  DCB back;
  COMMTIMEOUTS tback;
  DWORD mask = 0;
  ASSERT_TRUE(win32.GetCommState(h, &back));
  ASSERT_TRUE(win32.GetCommTimeouts(h, &tback));
  ASSERT_TRUE(win32.GetCommMask(h, &mask));
  EXPECT_EQ(memcmp(&back, &odd, sizeof back), 0);
  EXPECT_EQ(memcmp(&tback, &t, sizeof t), 0);
  EXPECT_EQ(mask, DWORD(EV_RXCHAR | EV_CTS));
  EXPECT_EQ(sim_comm_mask(dev), DWORD(EV_RXCHAR | EV_CTS));
  EXPECT_EQ(sim_timeouts(dev).WriteTotalTimeoutConstant, 4u);
}

// --- Queues and counts ---------------------------------------------------------------

TEST_F(SimDeviceTest, QueueSizesFollowSetupUnlessFixed) {
  struct Row {
    const char *what;
    DWORD max_rx, max_tx, fixed_rx, fixed_tx, setup_in, setup_out;
    DWORD want_rx, want_tx;
  } rows[] = {
      {"no limit, current from SetupComm", 0, 0, SIM_FROM_SETUP, SIM_FROM_SETUP, 8192, 4096, 8192,
       4096},
      {"limits reported as set", 16384, 2048, SIM_FROM_SETUP, SIM_FROM_SETUP, 100, 50, 100, 50},
      {"fixed current sizes win over SetupComm", 0, 0, 4096, 0, 8192, 4096, 4096, 0},
  };
  for (const Row &r : rows) {
    sim_set_max_queues(dev, r.max_rx, r.max_tx);
    sim_set_current_queues(dev, r.fixed_rx, r.fixed_tx);
    ASSERT_TRUE(win32.SetupComm(h, r.setup_in, r.setup_out));
    COMMPROP p;
    ASSERT_TRUE(win32.GetCommProperties(h, &p));
    EXPECT_EQ(p.dwMaxRxQueue, r.max_rx) << r.what;
    EXPECT_EQ(p.dwMaxTxQueue, r.max_tx) << r.what;
    EXPECT_EQ(p.dwCurrentRxQueue, r.want_rx) << r.what;
    EXPECT_EQ(p.dwCurrentTxQueue, r.want_tx) << r.what;
  }
  std::vector<SimSetup> setups = sim_setup_calls(dev);
  ASSERT_EQ(setups.size(), 3u);
  EXPECT_EQ(setups[1].in_queue, 100u);
  EXPECT_EQ(setups[1].out_queue, 50u);
}

TEST_F(SimDeviceTest, ClearCommErrorReportsCountsHoldsAndErrorsOnce) {
  sim_feed(dev, "hello");
  sim_set_errors(dev, CE_FRAME);
  sim_set_errors(dev, CE_BREAK);
  sim_set_holds(dev, SIM_HOLD_CTS | SIM_XOFF_SENT);
  sim_set_out_queue_count(dev, 17);

  struct Row {
    const char *what;
    DWORD in_override;
    DWORD want_errors, want_in, want_out;
  } rows[] = {
      {"bytes waiting, errors reported", SIM_NO_OVERRIDE, CE_FRAME | CE_BREAK, 5, 17},
      {"errors cleared after the report", SIM_NO_OVERRIDE, 0, 5, 17},
      {"cbInQue overridden", 3000, 0, 3000, 17},
  };
  for (const Row &r : rows) {
    sim_set_in_queue_count(dev, r.in_override);
    DWORD errors = 0xDEAD;
    COMSTAT st;
    ASSERT_TRUE(win32.ClearCommError(h, &errors, &st)) << r.what;
    EXPECT_EQ(errors, r.want_errors) << r.what;
    EXPECT_EQ(st.cbInQue, r.want_in) << r.what;
    EXPECT_EQ(st.cbOutQue, r.want_out) << r.what;
    EXPECT_EQ(st.fCtsHold, 1u) << r.what;
    EXPECT_EQ(st.fXoffSent, 1u) << r.what;
    EXPECT_EQ(st.fDsrHold, 0u) << r.what;
  }
  // Errors are cleared even when the caller does not ask for them.
  sim_set_errors(dev, CE_OVERRUN);
  EXPECT_TRUE(win32.ClearCommError(h, nullptr, nullptr));
  DWORD errors = 1;
  EXPECT_TRUE(win32.ClearCommError(h, &errors, nullptr));
  EXPECT_EQ(errors, 0u);
}

TEST_F(SimDeviceTest, TheInputQueueFillsToItsSizeThenOverflows) {
  set_mask(EV_RXCHAR | EV_RX80FULL | EV_ERR);
  ASSERT_TRUE(win32.SetupComm(h, 100, 100));
  DWORD events = 0;
  Request wait;
  std::string bytes(79, 'x');
  sim_feed(dev, bytes);
  ASSERT_TRUE(win32.WaitCommEvent(h, &events, &wait.ov));
  EXPECT_EQ(events, DWORD(EV_RXCHAR)) << "79 of 100 bytes: below 80 %";
  sim_feed(dev, "y");
  ASSERT_TRUE(win32.WaitCommEvent(h, &events, &wait.ov));
  EXPECT_EQ(events, DWORD(EV_RXCHAR | EV_RX80FULL)) << "80 of 100 bytes";
  sim_feed(dev, std::string(30, 'z'));
  ASSERT_TRUE(win32.WaitCommEvent(h, &events, &wait.ov));
  EXPECT_EQ(events, DWORD(EV_RXCHAR | EV_ERR)) << "10 bytes dropped";
  EXPECT_EQ(sim_rx_waiting(dev), 100u);
  DWORD errors = 0;
  ASSERT_TRUE(win32.ClearCommError(h, &errors, nullptr));
  EXPECT_EQ(errors, DWORD(CE_RXOVER));
}

// --- Comm-event waits ----------------------------------------------------------------

TEST_F(SimDeviceTest, AWaitEndsOnAMaskedEventOnly) {
  set_mask(EV_RXCHAR | EV_TXEMPTY);
  Request wait;
  DWORD events = 0xFFFF;
  ASSERT_FALSE(win32.WaitCommEvent(h, &events, &wait.ov));
  ASSERT_EQ(win32.GetLastError(), DWORD(ERROR_IO_PENDING));
  EXPECT_TRUE(sim_comm_wait_pending(dev));

  sim_raise(dev, EV_CTS | EV_RING);  // not in the mask
  EXPECT_FALSE(wait.signalled());
  DWORD count;
  EXPECT_FALSE(win32.GetOverlappedResult(h, &wait.ov, &count, FALSE));
  EXPECT_EQ(win32.GetLastError(), DWORD(ERROR_IO_INCOMPLETE));

  sim_raise(dev, EV_CTS | EV_RXCHAR);
  EXPECT_TRUE(wait.signalled());
  EXPECT_TRUE(win32.GetOverlappedResult(h, &wait.ov, &count, FALSE));
  EXPECT_EQ(events, DWORD(EV_RXCHAR));

  // An event while no wait is pending is kept: the next wait ends at once.
  sim_raise(dev, EV_TXEMPTY);
  events = 0;
  EXPECT_TRUE(win32.WaitCommEvent(h, &events, &wait.ov));
  EXPECT_EQ(events, DWORD(EV_TXEMPTY));
  EXPECT_TRUE(wait.signalled());
}

TEST_F(SimDeviceTest, AMaskChangeEndsAPendingWaitWithNoEvents) {
  set_mask(EV_RXCHAR);
  Request wait;
  DWORD events = 0xFFFF;
  ASSERT_FALSE(win32.WaitCommEvent(h, &events, &wait.ov));
  ASSERT_EQ(win32.GetLastError(), DWORD(ERROR_IO_PENDING));
  set_mask(0);
  EXPECT_TRUE(wait.signalled());
  DWORD count;
  EXPECT_TRUE(win32.GetOverlappedResult(h, &wait.ov, &count, FALSE));
  EXPECT_EQ(events, 0u);

  // With an empty mask nothing could end a wait: the driver refuses it.
  EXPECT_FALSE(win32.WaitCommEvent(h, &events, &wait.ov));
  EXPECT_EQ(win32.GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

  // A mask change forgets kept events.
  set_mask(EV_RXCHAR);
  sim_feed(dev, "a");
  set_mask(EV_RXCHAR | EV_CTS);
  ASSERT_FALSE(win32.WaitCommEvent(h, &events, &wait.ov));
  EXPECT_EQ(win32.GetLastError(), DWORD(ERROR_IO_PENDING));
  EXPECT_TRUE(win32.CancelIo(h));
  EXPECT_FALSE(win32.GetOverlappedResult(h, &wait.ov, &count, FALSE));
  EXPECT_EQ(win32.GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
}

TEST_F(SimDeviceTest, EvtCharRaisesRxFlag) {
  DCB dcb = sim_dcb(dev);
  dcb.EvtChar = '\r';
  ASSERT_TRUE(win32.SetCommState(h, &dcb));
  set_mask(EV_RXCHAR | EV_RXFLAG);
  Request wait;
  DWORD events = 0;
  sim_feed(dev, "ab");
  ASSERT_TRUE(win32.WaitCommEvent(h, &events, &wait.ov));
  EXPECT_EQ(events, DWORD(EV_RXCHAR));
  sim_feed(dev, "c\rd");
  ASSERT_TRUE(win32.WaitCommEvent(h, &events, &wait.ov));
  EXPECT_EQ(events, DWORD(EV_RXCHAR | EV_RXFLAG));
}

// --- Reads ---------------------------------------------------------------------------

TEST_F(SimDeviceTest, ReadsWithTheLibrarysTimeoutsReturnAtOnce) {
  COMMTIMEOUTS t = {MAXDWORD, 0, 0, 0, 0};
  ASSERT_TRUE(win32.SetCommTimeouts(h, &t));
  sim_feed(dev, "abcdef");
  struct Row {
    const char *what;
    DWORD ask;
    const char *want;
  } rows[] = {
      {"less than is waiting", 4, "abcd"},
      {"more than is waiting", 10, "ef"},
      {"nothing waiting: success with 0 bytes", 10, ""},
  };
  for (const Row &r : rows) {
    Request rd;
    char buf[16] = {};
    DWORD got = 99;
    EXPECT_TRUE(win32.ReadFile(h, buf, r.ask, &got, &rd.ov)) << r.what;
    EXPECT_EQ(std::string(buf, got), r.want) << r.what;
    EXPECT_TRUE(rd.signalled()) << r.what;
    DWORD count = 99;
    EXPECT_TRUE(win32.GetOverlappedResult(h, &rd.ov, &count, FALSE)) << r.what;
    EXPECT_EQ(count, got) << r.what;
  }
}

TEST_F(SimDeviceTest, PendingReadsEndWhenToldFedAbortedOrPurged) {
  sim_feed(dev, "0123456789");
  // Made to stay pending, then completed by the test: takes what is waiting.
  sim_set_read_mode(dev, SIM_IO_PENDING);
  Request rd;
  char buf[16] = {};
  DWORD got = 0;
  ASSERT_FALSE(win32.ReadFile(h, buf, 4, &got, &rd.ov));
  ASSERT_EQ(win32.GetLastError(), DWORD(ERROR_IO_PENDING));
  EXPECT_TRUE(sim_read_pending(dev));
  EXPECT_FALSE(rd.signalled());
  EXPECT_TRUE(sim_complete_read(dev));
  EXPECT_TRUE(rd.signalled());
  ASSERT_TRUE(win32.GetOverlappedResult(h, &rd.ov, &got, FALSE));
  EXPECT_EQ(std::string(buf, got), "0123");

  // PURGE_RXABORT ends it with nothing; PURGE_RXCLEAR empties the input.
  ASSERT_FALSE(win32.ReadFile(h, buf, 4, &got, &rd.ov));
  ASSERT_TRUE(win32.PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR));
  EXPECT_FALSE(win32.GetOverlappedResult(h, &rd.ov, &got, FALSE));
  EXPECT_EQ(win32.GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(sim_rx_waiting(dev), 0u);

  // Under timeouts that wait for the whole request, arriving bytes complete it.
  sim_set_read_mode(dev, SIM_IO_AT_ONCE);
  COMMTIMEOUTS t = {0, 0, 0, 0, 0};
  ASSERT_TRUE(win32.SetCommTimeouts(h, &t));
  ASSERT_FALSE(win32.ReadFile(h, buf, 4, &got, &rd.ov));
  sim_feed(dev, "ab");
  EXPECT_FALSE(rd.signalled());
  sim_feed(dev, "cde");
  EXPECT_TRUE(rd.signalled());
  ASSERT_TRUE(win32.GetOverlappedResult(h, &rd.ov, &got, FALSE));
  EXPECT_EQ(std::string(buf, got), "abcd");
  EXPECT_EQ(sim_rx_waiting(dev), 1u);

  // A read that cannot start.
  sim_set_read_mode(dev, SIM_IO_FAIL, ERROR_GEN_FAILURE);
  EXPECT_FALSE(win32.ReadFile(h, buf, 4, &got, &rd.ov));
  EXPECT_EQ(win32.GetLastError(), DWORD(ERROR_GEN_FAILURE));
}

TEST_F(SimDeviceTest, ASecondRequestWhileOneIsPendingIsCountedAsMisuse) {
  sim_set_read_mode(dev, SIM_IO_PENDING);
  Request a, b;
  char buf[4];
  DWORD got;
  ASSERT_FALSE(win32.ReadFile(h, buf, 4, &got, &a.ov));
  EXPECT_FALSE(win32.ReadFile(h, buf, 4, &got, &b.ov));
  EXPECT_EQ(win32.GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(sim_misuse_count(dev), 1u);
  EXPECT_TRUE(sim_read_pending(dev)) << "the first read goes on";
  EXPECT_TRUE(win32.CancelIo(h));  // before its OVERLAPPED goes out of scope
}

// --- Writes --------------------------------------------------------------------------

TEST_F(SimDeviceTest, WritesCompleteAtOnceByDefault) {
  set_mask(EV_TXEMPTY);
  Request wr;
  DWORD put = 0;
  EXPECT_TRUE(win32.WriteFile(h, "abc", 3, &put, &wr.ov));
  EXPECT_EQ(put, 3u);
  EXPECT_TRUE(wr.signalled());
  EXPECT_TRUE(win32.WriteFile(h, "de", 2, &put, &wr.ov));
  EXPECT_EQ(sim_written_text(dev), "abcde");
  EXPECT_EQ(sim_write_sizes(dev), (std::vector<DWORD>{3, 2}));
  DWORD events = 0;
  EXPECT_TRUE(win32.WaitCommEvent(h, &events, &wr.ov));
  EXPECT_EQ(events, DWORD(EV_TXEMPTY)) << "output drained";
}

TEST_F(SimDeviceTest, APendingWriteWaitsForReleaseOrAbort) {
  sim_set_write_mode(dev, SIM_IO_PENDING);
  struct Row {
    const char *what;
    bool abort;
    DWORD release;
    BOOL want_ok;
    DWORD want_count;
    const char *want_written;
  } rows[] = {
      {"released in full", false, MAXDWORD, TRUE, 6, "abcdef"},
      {"released in part", false, 2, TRUE, 2, "ab"},
      {"abandoned by PURGE_TXABORT: nothing goes out", true, 0, FALSE, 0, ""},
  };
  for (const Row &r : rows) {
    sim_clear_records(dev);
    Request wr;
    DWORD put = 99;
    ASSERT_FALSE(win32.WriteFile(h, "abcdef", 6, &put, &wr.ov)) << r.what;
    ASSERT_EQ(win32.GetLastError(), DWORD(ERROR_IO_PENDING)) << r.what;
    EXPECT_TRUE(sim_write_pending(dev)) << r.what;
    EXPECT_FALSE(wr.signalled()) << r.what;
    COMSTAT st;
    ASSERT_TRUE(win32.ClearCommError(h, nullptr, &st));
    EXPECT_EQ(st.cbOutQue, 6u) << r.what << ": the driver counts the pending write";
    if (r.abort)
      ASSERT_TRUE(win32.PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR)) << r.what;
    else
      ASSERT_TRUE(sim_release_write(dev, r.release)) << r.what;
    EXPECT_TRUE(wr.signalled()) << r.what;
    DWORD count = 99;
    EXPECT_EQ(win32.GetOverlappedResult(h, &wr.ov, &count, FALSE), r.want_ok) << r.what;
    if (!r.want_ok) {
      EXPECT_EQ(win32.GetLastError(), DWORD(ERROR_OPERATION_ABORTED)) << r.what;
    }
    EXPECT_EQ(count, r.want_count) << r.what;
    EXPECT_EQ(sim_written_text(dev), r.want_written) << r.what;
    EXPECT_FALSE(sim_release_write(dev)) << r.what << ": nothing left pending";
  }
  EXPECT_EQ(sim_purges(dev), (std::vector<DWORD>{PURGE_TXABORT | PURGE_TXCLEAR}));

  // A write that cannot start still has its length recorded.
  sim_clear_records(dev);
  sim_set_write_mode(dev, SIM_IO_FAIL, ERROR_GEN_FAILURE);
  Request wr;
  DWORD put;
  EXPECT_FALSE(win32.WriteFile(h, "xyz", 3, &put, &wr.ov));
  EXPECT_EQ(win32.GetLastError(), DWORD(ERROR_GEN_FAILURE));
  EXPECT_EQ(sim_write_sizes(dev), (std::vector<DWORD>{3}));
  EXPECT_TRUE(sim_written(dev).empty());
}

TEST_F(SimDeviceTest, CloseEndsEveryPendingRequest) {
  sim_set_write_mode(dev, SIM_IO_PENDING);
  sim_set_read_mode(dev, SIM_IO_PENDING);
  set_mask(EV_RXCHAR);
  Request wr, rd, wait;
  DWORD n, events;
  char buf[4];
  ASSERT_FALSE(win32.WriteFile(h, "a", 1, &n, &wr.ov));
  ASSERT_FALSE(win32.ReadFile(h, buf, 4, &n, &rd.ov));
  ASSERT_FALSE(win32.WaitCommEvent(h, &events, &wait.ov));
  ASSERT_TRUE(win32.CloseHandle(h));
  EXPECT_TRUE(wr.signalled());
  EXPECT_TRUE(rd.signalled());
  EXPECT_TRUE(wait.signalled());
  EXPECT_FALSE(sim_write_pending(dev) || sim_read_pending(dev) || sim_comm_wait_pending(dev));
  EXPECT_TRUE(sim_written(dev).empty());
}

// --- Modem lines, escapes, break, failures -------------------------------------------

TEST_F(SimDeviceTest, LinesEscapesBreakAndInjectedFailures) {
  DWORD ms = 0xFF;
  EXPECT_TRUE(win32.GetCommModemStatus(h, &ms));
  EXPECT_EQ(ms, 0u);
  sim_set_modem_status(dev, MS_CTS_ON | MS_RLSD_ON);
  EXPECT_TRUE(win32.GetCommModemStatus(h, &ms));
  EXPECT_EQ(ms, DWORD(MS_CTS_ON | MS_RLSD_ON));
  sim_fail(dev, SIM_GET_COMM_MODEM_STATUS, ERROR_INVALID_FUNCTION);
  EXPECT_FALSE(win32.GetCommModemStatus(h, &ms));
  EXPECT_EQ(win32.GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
  sim_fail(dev, SIM_GET_COMM_MODEM_STATUS, 0);
  EXPECT_TRUE(win32.GetCommModemStatus(h, &ms));
  EXPECT_EQ(sim_calls(dev, SIM_GET_COMM_MODEM_STATUS), 4u) << "failed calls are counted";

  EXPECT_TRUE(win32.EscapeCommFunction(h, SETDTR));
  EXPECT_TRUE(win32.EscapeCommFunction(h, CLRRTS));
  EXPECT_FALSE(win32.EscapeCommFunction(h, 77));
  EXPECT_EQ(sim_escapes(dev), (std::vector<DWORD>{SETDTR, CLRRTS, 77}));

  EXPECT_TRUE(win32.TransmitCommChar(h, 0x11));
  EXPECT_TRUE(win32.TransmitCommChar(h, (char)0xFE));
  EXPECT_EQ(sim_transmitted_chars(dev), (std::vector<uint8_t>{0x11, 0xFE}));
  EXPECT_TRUE(sim_written(dev).empty()) << "immediate characters are not queued output";

  EXPECT_TRUE(win32.ClearCommBreak(h));
  EXPECT_TRUE(win32.ClearCommBreak(h));
  EXPECT_EQ(sim_calls(dev, SIM_CLEAR_COMM_BREAK), 2u);

  sim_fail(dev, SIM_SET_COMM_STATE, ERROR_INVALID_PARAMETER);
  DCB dcb = sim_dcb(dev);
  dcb.BaudRate = 1200;
  EXPECT_FALSE(win32.SetCommState(h, &dcb));
  EXPECT_EQ(sim_dcb(dev).BaudRate, 9600u) << "a failed call changes nothing";
}

// --- The table, the clock and the platform family ------------------------------------

TEST(SimDeviceTable, ForeignHandlesGoToThePlatformAndResetPutsTheTableBack) {
  Win32Calls before = win32;
  SimDevice *dev = sim_attach("COM2");
  ASSERT_NE(dev, nullptr);
  EXPECT_NE(win32.WriteFile, before.WriteFile);
  EXPECT_EQ(win32.CreateEventA, before.CreateEventA) << "only device calls are the sim's";

  // An event is no device: the platform answers for it.
  HANDLE ev = win32.CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DCB dcb;
  EXPECT_FALSE(win32.GetCommState(ev, &dcb));
  EXPECT_EQ(sim_calls(nullptr, SIM_GET_COMM_STATE), 0u);
  EXPECT_TRUE(win32.CloseHandle(ev));
  EXPECT_EQ(sim_calls(nullptr, SIM_CLOSE_HANDLE), 0u);

  sim_reset_all();
  EXPECT_EQ(memcmp(&win32, &before, sizeof before), 0);
  EXPECT_EQ(sim_find("COM2"), nullptr);
}

TEST(SimDeviceTable, ClockWrapsAndTheWindows95FamilyCanBeReported) {
  sim_set_clock(0xFFFFFFF0u);
  EXPECT_EQ(win32.timeGetTime(), 0xFFFFFFF0u);
  sim_advance_clock(0x20);
  EXPECT_EQ(win32.timeGetTime(), 0x10u);
  EXPECT_EQ(sim_calls(nullptr, SIM_TIME_GET_TIME), 2u);

  OSVERSIONINFOA info;
  memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  ASSERT_TRUE(win32.GetVersionExA(&info));
  EXPECT_NE(info.dwPlatformId, (DWORD)VER_PLATFORM_WIN32_WINDOWS);
  sim_set_win95(true);
  ASSERT_TRUE(win32.GetVersionExA(&info));
  EXPECT_EQ(info.dwPlatformId, (DWORD)VER_PLATFORM_WIN32_WINDOWS);
  EXPECT_EQ(info.dwMajorVersion, 4u);
  sim_reset_all();
  ASSERT_TRUE(win32.GetVersionExA(&info));
  EXPECT_NE(info.dwPlatformId, (DWORD)VER_PLATFORM_WIN32_WINDOWS);
}

// --- Threads -------------------------------------------------------------------------

// The library's shape: a writer thread and an event thread use the device while the
// test thread feeds it, releases writes and reads what happened.
TEST_F(SimDeviceTest, WriterAndEventThreadsAgainstTheTestThread) {
  const int kWrites = 200, kFeeds = 200;
  sim_set_write_mode(dev, SIM_IO_PENDING);
  set_mask(EV_RXCHAR);

  std::thread writer([this] {
    Request wr;
    for (int i = 0; i < kWrites; i++) {
      char byte = static_cast<char>('A' + i % 26);
      DWORD put = 0;
      if (!win32.WriteFile(h, &byte, 1, &put, &wr.ov) && win32.GetLastError() == ERROR_IO_PENDING)
        win32.GetOverlappedResult(h, &wr.ov, &put, TRUE);
    }
  });
  DWORD seen = 0;  // the event thread's; read after it has ended
  std::thread events([this, &seen] {
    Request wait;
    while (seen < (DWORD)kFeeds) {
      DWORD ev = 0, n;
      BOOL ok = win32.WaitCommEvent(h, &ev, &wait.ov);
      if (!ok && win32.GetLastError() == ERROR_IO_PENDING)
        ok = win32.GetOverlappedResult(h, &wait.ov, &n, TRUE);
      if (!ok || ev == 0)
        break;
      COMSTAT st;
      win32.ClearCommError(h, nullptr, &st);
      char buf[64];
      DWORD got = 0;
      Request rd;
      win32.ReadFile(h, buf, st.cbInQue < sizeof buf ? st.cbInQue : sizeof buf, &got, &rd.ov);
      seen += got;
    }
  });
  COMMTIMEOUTS t = {MAXDWORD, 0, 0, 0, 0};
  ASSERT_TRUE(win32.SetCommTimeouts(h, &t));
  for (int i = 0; i < kWrites; i++) {
    ASSERT_TRUE(sim_wait_write_pending(dev, kHang));
    ASSERT_TRUE(sim_release_write(dev));
    if (i < kFeeds)
      sim_feed(dev, "x");
  }
  writer.join();
  events.join();  // every byte fed raised EV_RXCHAR, so it takes them all
  EXPECT_EQ(seen, (DWORD)kFeeds);
  EXPECT_EQ(sim_written(dev).size(), (size_t)kWrites);
  EXPECT_EQ(sim_written_text(dev).substr(0, 3), "ABC");
  EXPECT_EQ(sim_misuse_count(dev), 0u);
}

}  // namespace
