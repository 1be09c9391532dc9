// Events, waits, critical sections and threads of the POSIX platform layer.
#include <gtest/gtest.h>

#include <atomic>

#include "serial/platform/win32.h"

namespace {

const DWORD kHang = 10000;  // a bound only a hang reaches

HANDLE new_event(BOOL manual, BOOL initial = FALSE) { return win32.CreateEventA(nullptr, manual, initial, nullptr); }

TEST(PlatformEvents, ResetKindsAndWaitAny) {
  HANDLE e[3] = {new_event(FALSE, TRUE), new_event(TRUE, TRUE), new_event(FALSE)};
  EXPECT_EQ(win32.WaitForMultipleObjects(3, e, FALSE, 0), WAIT_OBJECT_0) << "auto reset: one wait takes it";
  EXPECT_EQ(win32.WaitForMultipleObjects(3, e, FALSE, 0), WAIT_OBJECT_0 + 1) << "lowest index first";
  EXPECT_EQ(win32.WaitForMultipleObjects(3, e, FALSE, 0), WAIT_OBJECT_0 + 1) << "manual reset: stays set";
  EXPECT_TRUE(win32.ResetEvent(e[1]) && win32.SetEvent(e[2]));
  EXPECT_EQ(win32.WaitForMultipleObjects(3, e, FALSE, kHang), WAIT_OBJECT_0 + 2);
  EXPECT_EQ(win32.WaitForMultipleObjects(3, e, FALSE, 50), WAIT_TIMEOUT);
  for (HANDLE one : e) win32.CloseHandle(one);
}

HANDLE go, ready;             // manual reset; auto reset
std::atomic<int> resumed{0};  // the gated thread counts, the test reads
CRITICAL_SECTION cs;
long counter = 0;  // guarded by cs

DWORD WINAPI count_up(LPVOID) {
  for (int i = 0; i < 10000; i++) {
    win32.EnterCriticalSection(&cs), win32.EnterCriticalSection(&cs);  // re-entrant for the owner
    counter++;
    win32.LeaveCriticalSection(&cs), win32.LeaveCriticalSection(&cs);
  }
  return 3;
}

DWORD WINAPI gated(LPVOID) {
  win32.SetEvent(ready);
  win32.WaitForSingleObject(go, kHang);
  resumed++;
  return 7;
}

TEST(PlatformThreads, CriticalSectionSuspensionsAndExitCodes) {
  go = new_event(TRUE), ready = new_event(FALSE);
  win32.InitializeCriticalSection(&cs);
  HANDLE t[3] = {win32.CreateThread(nullptr, 0, gated, nullptr, 0, nullptr),
                 win32.CreateThread(nullptr, 16384, count_up, nullptr, 0, nullptr),
                 win32.CreateThread(nullptr, 16384, count_up, nullptr, 0, nullptr)};
  ASSERT_EQ(win32.WaitForSingleObject(ready, kHang), WAIT_OBJECT_0);
  EXPECT_TRUE(win32.SuspendThread(t[0]) == 0 && win32.SuspendThread(t[0]) == 1 && win32.SetEvent(go));
  EXPECT_EQ(win32.ResumeThread(t[0]), 2u);
  EXPECT_EQ(win32.WaitForSingleObject(t[0], 100), WAIT_TIMEOUT) << "one resume of two suspensions";
  EXPECT_EQ(resumed.load(), 0);
  EXPECT_EQ(win32.ResumeThread(t[0]), 1u);
  for (HANDLE one : t) {
    DWORD code = 0;
    EXPECT_EQ(win32.WaitForSingleObject(one, kHang), WAIT_OBJECT_0) << "a thread handle is set when it ends";
    EXPECT_TRUE(win32.GetExitCodeThread(one, &code) && code == (one == t[0] ? 7u : 3u));
    win32.CloseHandle(one);
  }
  EXPECT_TRUE(resumed.load() == 1 && counter == 20000);
  win32.DeleteCriticalSection(&cs);
  win32.CloseHandle(go), win32.CloseHandle(ready);
}

}  // namespace
