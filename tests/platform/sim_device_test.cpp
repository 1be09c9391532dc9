// The simulated device behaves as a Win32 serial driver does in the points the
// library's tests rely on: comm-event waits, reads that return at once, pending
// writes, error reporting, the COMMCONFIG size demand, busy devices, and handles
// that are not its own.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "sim/sim_device.h"

namespace {

struct SimDeviceTest : ::testing::Test {
  void SetUp() override {
    dev = sim_attach("COM3");
    h = win32.CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                          nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ov.hEvent = win32.CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  void TearDown() override {
    if (sim_is_open(dev)) win32.CloseHandle(h);
    win32.CloseHandle(ov.hEvent);
    sim_reset_all();
  }
  bool signalled() { return win32.WaitForSingleObject(ov.hEvent, 0) == WAIT_OBJECT_0; }
  SimDevice *dev = nullptr;
  HANDLE h = INVALID_HANDLE_VALUE;
  OVERLAPPED ov = {};
};

#ifndef _WIN32  // the COM names of a Windows build are the system's own
TEST(SimDeviceGuard, EveryComNameLeadsNowhereUnlessTheCallerChoseOtherwise) {
  for (int n = 1; n <= 36; n++) {
    const char *path = getenv(("TAVO_COM" + std::to_string(n)).c_str());
    EXPECT_TRUE(path && strncmp(path, "/nonexistent/", 13) == 0) << "TAVO_COM" << n;
  }
}
#endif

TEST_F(SimDeviceTest, AWaitEndsOnMaskedEventsOnlyAndAMaskChangeEndsItEmpty) {
  ASSERT_TRUE(win32.SetCommMask(h, EV_RXCHAR | EV_TXEMPTY));
  DWORD events = 0xFFFF, count;
  ASSERT_FALSE(win32.WaitCommEvent(h, &events, &ov));
  ASSERT_EQ(win32.GetLastError(), DWORD(ERROR_IO_PENDING));
  sim_raise(dev, EV_CTS | EV_RING);
  EXPECT_FALSE(signalled()) << "events outside the mask";
  EXPECT_FALSE(win32.GetOverlappedResult(h, &ov, &count, FALSE));
  EXPECT_EQ(win32.GetLastError(), DWORD(ERROR_IO_INCOMPLETE));
  sim_raise(dev, EV_CTS | EV_RXCHAR);
  EXPECT_TRUE(signalled() && win32.GetOverlappedResult(h, &ov, &count, FALSE));
  EXPECT_EQ(events, DWORD(EV_RXCHAR)) << "the masked events alone";

  sim_raise(dev, EV_TXEMPTY);
  EXPECT_TRUE(win32.WaitCommEvent(h, &events, &ov)) << "an event with no wait pending is kept";
  EXPECT_EQ(events, DWORD(EV_TXEMPTY));

  ASSERT_FALSE(win32.WaitCommEvent(h, &events, &ov));
  ASSERT_TRUE(win32.SetCommMask(h, 0));
  EXPECT_TRUE(signalled() && win32.GetOverlappedResult(h, &ov, &count, FALSE));
  EXPECT_EQ(events, 0u) << "a mask change ends the wait with no events";
  EXPECT_FALSE(win32.WaitCommEvent(h, &events, &ov)) << "with an empty mask nothing could end a wait";
  EXPECT_EQ(win32.GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(SimDeviceTest, ReadsWithTheLibrarysTimeoutsReturnAtOnce) {
  COMMTIMEOUTS t = {MAXDWORD, 0, 0, 0, 0};
  ASSERT_TRUE(win32.SetCommTimeouts(h, &t));
  sim_feed(dev, "abcdef");
  const struct {
    const char *what;
    DWORD ask;
    const char *want;
  } rows[] = {
      {"less than is waiting", 4, "abcd"},
      {"more than is waiting", 10, "ef"},
      {"nothing waiting: success with 0 bytes", 10, ""},
  };
  for (const auto &r : rows) {
    char buf[16];
    DWORD got = 99, count = 99;
    EXPECT_TRUE(win32.ReadFile(h, buf, r.ask, &got, &ov)) << r.what;
    EXPECT_EQ(std::string(buf, got), r.want) << r.what;
    EXPECT_TRUE(signalled() && win32.GetOverlappedResult(h, &ov, &count, FALSE) && count == got) << r.what;
  }
}

TEST_F(SimDeviceTest, APendingWriteWaitsForReleaseOrPurge) {
  sim_set_write_mode(dev, SIM_IO_PENDING);
  const struct {
    const char *what;
    bool purge;
    DWORD release;
    DWORD error;  // of the completed write
    const char *written;
  } rows[] = {
      {"released in full", false, MAXDWORD, 0, "abcdef"},
      {"released in part", false, 2, 0, "ab"},
      {"abandoned by PURGE_TXABORT: nothing goes out", true, 0, ERROR_OPERATION_ABORTED, ""},
  };
  for (const auto &r : rows) {
    sim_clear_records(dev);
    DWORD put = 99, count = 99;
    COMSTAT st;
    ASSERT_FALSE(win32.WriteFile(h, "abcdef", 6, &put, &ov)) << r.what;
    ASSERT_EQ(win32.GetLastError(), DWORD(ERROR_IO_PENDING)) << r.what;
    EXPECT_FALSE(signalled()) << r.what;
    ASSERT_TRUE(win32.ClearCommError(h, nullptr, &st));
    EXPECT_EQ(st.cbOutQue, 6u) << r.what << ": the driver counts the pending write";
    ASSERT_TRUE(r.purge ? win32.PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR) : sim_release_write(dev, r.release));
    EXPECT_TRUE(signalled()) << r.what;
    BOOL ok = win32.GetOverlappedResult(h, &ov, &count, FALSE);
    EXPECT_EQ(ok ? 0 : win32.GetLastError(), r.error) << r.what;
    EXPECT_EQ(count, strlen(r.written)) << r.what;
    EXPECT_EQ(sim_written_text(dev), r.written) << r.what;
    EXPECT_FALSE(sim_release_write(dev)) << r.what << ": nothing left pending";
  }
}

TEST_F(SimDeviceTest, ClearCommErrorReportsErrorsOnce) {
  sim_feed(dev, "hello");
  sim_set_errors(dev, CE_FRAME);
  sim_set_errors(dev, CE_BREAK);
  DWORD errors = 0;
  COMSTAT st;
  ASSERT_TRUE(win32.ClearCommError(h, &errors, &st));
  EXPECT_EQ(errors, DWORD(CE_FRAME | CE_BREAK)) << "the errors since the last report";
  EXPECT_EQ(st.cbInQue, 5u);
  ASSERT_TRUE(win32.ClearCommError(h, &errors, &st));
  EXPECT_EQ(errors, 0u) << "cleared by the report";
  sim_set_errors(dev, CE_OVERRUN);
  EXPECT_TRUE(win32.ClearCommError(h, nullptr, nullptr) && win32.ClearCommError(h, &errors, nullptr));
  EXPECT_EQ(errors, 0u) << "cleared even when the caller did not ask for them";
}

TEST_F(SimDeviceTest, ConfigRecordsDemandTheirSize) {
  sim_set_config_size(dev, 80);
  std::vector<uint8_t> buf(88);
  COMMCONFIG *cc = reinterpret_cast<COMMCONFIG *>(buf.data());
  DWORD size = 52;
  EXPECT_FALSE(win32.GetCommConfig(h, cc, &size));
  EXPECT_EQ(win32.GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(size, 80u) << "the size to retry with";
  size = 52;
  EXPECT_FALSE(win32.GetDefaultCommConfigA("COM3", cc, &size));
  EXPECT_EQ(size, 80u);
  ASSERT_TRUE(win32.GetCommConfig(h, cc, &size));
  EXPECT_EQ(cc->dwSize, 80u);
  cc->dcb.BaudRate = 76800;
  EXPECT_FALSE(win32.SetCommConfig(h, cc, 52)) << "a record short of the demand";
  EXPECT_TRUE(win32.SetCommConfig(h, cc, size));
  EXPECT_EQ(sim_dcb(dev).BaudRate, 76800u);
}

TEST(SimDeviceOpen, BusyDeviceIsRefusedAndForeignHandlesGoToThePlatform) {
  Win32Calls before = win32;
  SimDevice *com7 = sim_attach("COM7");
  sim_set_busy(com7, true);
  COMMCONFIG cc;
  DWORD size = sizeof cc;
  EXPECT_EQ(win32.CreateFileA("COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(win32.GetLastError(), DWORD(ERROR_ACCESS_DENIED)) << "held by another program";
  EXPECT_TRUE(win32.GetDefaultCommConfigA("COM7", &cc, &size)) << "yet its configuration is there";

  HANDLE ev = win32.CreateEventA(nullptr, TRUE, FALSE, nullptr);  // no device: the platform answers
  DCB dcb;
  EXPECT_FALSE(win32.GetCommState(ev, &dcb));
  EXPECT_TRUE(win32.CloseHandle(ev));
  EXPECT_EQ(sim_calls(nullptr, SIM_GET_COMM_STATE) + sim_calls(nullptr, SIM_CLOSE_HANDLE), 0u);
  sim_reset_all();
  EXPECT_EQ(memcmp(&win32, &before, sizeof before), 0) << "the table as it was";
}

}  // namespace
