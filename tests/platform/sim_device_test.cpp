// The simulated device behaves as a Win32 serial driver does in the points the
// library's tests rely on: comm-event waits.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "sim/sim_device.h"

namespace {

#ifndef _WIN32  // the COM names of a Windows build are the system's own
TEST(SimDeviceGuard, EveryComNameLeadsNowhereUnlessTheCallerChoseOtherwise) {
  for (int n = 1; n <= 36; n++) {
    const char *path = getenv(("TAVO_COM" + std::to_string(n)).c_str());
    EXPECT_TRUE(path && strncmp(path, "/nonexistent/", 13) == 0) << "TAVO_COM" << n;
  }
}
#endif

// A pending wait's result: 0 or its error, ERROR_IO_INCOMPLETE while it is pending;
// 0xBAD when the request's event says otherwise.
DWORD result(HANDLE h, OVERLAPPED *ov) {
  DWORD count, error = win32.GetOverlappedResult(h, ov, &count, FALSE) ? 0 : win32.GetLastError();
  bool set = win32.WaitForSingleObject(ov->hEvent, 0) == WAIT_OBJECT_0;
  return set == (error != ERROR_IO_INCOMPLETE) ? error : 0xBAD;
}

TEST(SimDevice, AWaitEndsOnMaskedEventsOnlyAndAMaskChangeEndsItEmpty) {
  SimDevice *dev = sim_attach("COM3");
  HANDLE h = win32.CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
  OVERLAPPED ov = {};
  ov.hEvent = win32.CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD events = 0xFFFF;
  ASSERT_TRUE(win32.SetCommMask(h, EV_RXCHAR | EV_TXEMPTY) && !win32.WaitCommEvent(h, &events, &ov));
  ASSERT_EQ(win32.GetLastError(), DWORD(ERROR_IO_PENDING));
  sim_raise(dev, EV_CTS | EV_RING);
  EXPECT_EQ(result(h, &ov), DWORD(ERROR_IO_INCOMPLETE)) << "events outside the mask";
  sim_raise(dev, EV_CTS | EV_RXCHAR);
  EXPECT_TRUE(result(h, &ov) == 0 && events == EV_RXCHAR) << "the masked events alone";
  sim_raise(dev, EV_TXEMPTY);
  EXPECT_TRUE(win32.WaitCommEvent(h, &events, &ov) && events == EV_TXEMPTY) << "an event with no wait pending is kept";
  ASSERT_FALSE(win32.WaitCommEvent(h, &events, &ov));
  ASSERT_TRUE(win32.SetCommMask(h, 0));
  EXPECT_TRUE(result(h, &ov) == 0 && events == 0) << "a mask change ends the wait with no events";
  EXPECT_TRUE(!win32.WaitCommEvent(h, &events, &ov) && win32.GetLastError() == ERROR_INVALID_PARAMETER)
      << "with an empty mask nothing could end a wait";
  win32.CloseHandle(h), win32.CloseHandle(ov.hEvent);
  sim_reset_all();
}

}  // namespace
