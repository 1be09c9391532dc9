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

struct Shared {
  HANDLE go, ready;          // manual reset; auto reset
  std::atomic<int> resumed;  // the gated thread counts, the test reads
  CRITICAL_SECTION cs;
  long counter;  // guarded by cs
};

DWORD WINAPI count_up(LPVOID arg) {
  Shared *s = static_cast<Shared *>(arg);
  for (int i = 0; i < 10000; i++) {
    win32.EnterCriticalSection(&s->cs);
    win32.EnterCriticalSection(&s->cs);  // re-entrant for the owner
    s->counter++;
    win32.LeaveCriticalSection(&s->cs);
    win32.LeaveCriticalSection(&s->cs);
  }
  return 3;
}

DWORD WINAPI gated(LPVOID arg) {
  Shared *s = static_cast<Shared *>(arg);
  win32.SetEvent(s->ready);
  win32.WaitForSingleObject(s->go, kHang);
  s->resumed++;
  return 7;
}

TEST(PlatformThreads, CriticalSectionSuspensionsAndExitCodes) {
  Shared s{new_event(TRUE), new_event(FALSE), {0}, {}, 0};
  win32.InitializeCriticalSection(&s.cs);
  HANDLE t[3] = {win32.CreateThread(nullptr, 0, gated, &s, 0, nullptr),
                 win32.CreateThread(nullptr, 16384, count_up, &s, 0, nullptr),
                 win32.CreateThread(nullptr, 16384, count_up, &s, 0, nullptr)};
  ASSERT_EQ(win32.WaitForSingleObject(s.ready, kHang), WAIT_OBJECT_0);
  EXPECT_TRUE(win32.SuspendThread(t[0]) == 0 && win32.SuspendThread(t[0]) == 1 && win32.SetEvent(s.go));
  EXPECT_EQ(win32.ResumeThread(t[0]), 2u);
  EXPECT_EQ(win32.WaitForSingleObject(t[0], 100), WAIT_TIMEOUT) << "one resume of two suspensions";
  EXPECT_EQ(s.resumed.load(), 0);
  EXPECT_EQ(win32.ResumeThread(t[0]), 1u);
  for (HANDLE one : t) {
    DWORD code = 0;
    EXPECT_EQ(win32.WaitForSingleObject(one, kHang), WAIT_OBJECT_0) << "a thread handle is set when it ends";
    EXPECT_TRUE(win32.GetExitCodeThread(one, &code) && code == (one == t[0] ? 7u : 3u));
    win32.CloseHandle(one);
  }
  EXPECT_TRUE(s.resumed.load() == 1 && s.counter == 20000);
  win32.DeleteCriticalSection(&s.cs);
  win32.CloseHandle(s.go);
  win32.CloseHandle(s.ready);
}

}  // namespace
