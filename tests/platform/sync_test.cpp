// Events, waits, critical sections, threads and the clock of the POSIX platform layer.
#include <gtest/gtest.h>

#include <atomic>

#include "serial/platform/win32.h"

namespace {

const DWORD kHang = 10000;  // a bound only a hang reaches

HANDLE new_event(BOOL manual, BOOL initial = FALSE) { return win32.CreateEventA(nullptr, manual, initial, nullptr); }

TEST(PlatformEvents, ResetKindsWaitAnyAndRefusals) {
  HANDLE e[3] = {new_event(FALSE, TRUE), new_event(TRUE, TRUE), new_event(FALSE)}, closed = new_event(TRUE);
  EXPECT_EQ(win32.WaitForMultipleObjects(3, e, FALSE, 0), WAIT_OBJECT_0) << "auto reset: one wait takes it";
  EXPECT_EQ(win32.WaitForMultipleObjects(3, e, FALSE, 0), WAIT_OBJECT_0 + 1) << "lowest index first";
  EXPECT_EQ(win32.WaitForMultipleObjects(3, e, FALSE, 0), WAIT_OBJECT_0 + 1) << "manual reset: stays set";
  EXPECT_TRUE(win32.ResetEvent(e[1]) && win32.SetEvent(e[2]));
  EXPECT_EQ(win32.WaitForMultipleObjects(3, e, FALSE, kHang), WAIT_OBJECT_0 + 2);
  DWORD t0 = win32.timeGetTime();
  EXPECT_EQ(win32.WaitForMultipleObjects(3, e, FALSE, 50), WAIT_TIMEOUT);
  EXPECT_GE(win32.timeGetTime() - t0, 45u) << "the time-out is honoured";

  win32.CloseHandle(closed);
  static int not_a_handle;
  auto error_if = [](bool failed) { return failed ? win32.GetLastError() : 0; };
  const struct {  // each call runs as its row is built, in order
    const char *what;
    DWORD error, expect;
  } rows[] = {
      {"wait on a closed handle", error_if(win32.WaitForSingleObject(closed, 0) == WAIT_FAILED), ERROR_INVALID_HANDLE},
      {"wait on what is no handle", error_if(win32.WaitForSingleObject(&not_a_handle, 0) == WAIT_FAILED),
       ERROR_INVALID_HANDLE},
      {"wait for all of two", error_if(win32.WaitForMultipleObjects(2, e, TRUE, 0) == WAIT_FAILED), ERROR_NOT_SUPPORTED},
      {"close a closed handle", error_if(!win32.CloseHandle(closed)), ERROR_INVALID_HANDLE},
      {"a named event", error_if(!win32.CreateEventA(nullptr, TRUE, FALSE, "x")), ERROR_NOT_SUPPORTED},
  };
  for (const auto &row : rows) EXPECT_EQ(row.error, row.expect) << row.what;
  for (HANDLE one : e) win32.CloseHandle(one);
}

struct Shared {
  HANDLE go, done;          // the hand-off's auto-reset events
  BOOL priority_ok;         // written by the thread before the test reads it
  std::atomic<int> rounds;  // the thread counts, the test reads
  CRITICAL_SECTION cs;
  long counter;  // guarded by cs
};

DWORD WINAPI ping(LPVOID arg) {
  Shared *s = static_cast<Shared *>(arg);
  s->priority_ok = win32.SetThreadPriority(win32.GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
  for (int i = 0; i < 1000; i++) {
    if (win32.WaitForSingleObject(s->go, kHang) != WAIT_OBJECT_0) return 1;
    s->rounds.fetch_add(1);
    win32.SetEvent(s->done);
  }
  return 7;
}

TEST(PlatformThreads, AutoResetHandoffLosesNoSignal) {
  Shared s{new_event(FALSE), new_event(FALSE), FALSE, {0}, {}, 0};
  HANDLE t = win32.CreateThread(nullptr, 16384, ping, &s, 0, nullptr);
  ASSERT_NE(t, nullptr);
  for (int i = 0; i < 1000; i++) {
    win32.SetEvent(s.go);
    ASSERT_EQ(win32.WaitForSingleObject(s.done, kHang), WAIT_OBJECT_0) << "round " << i;
  }
  EXPECT_EQ(win32.WaitForSingleObject(t, kHang), WAIT_OBJECT_0) << "a thread handle is set when it ends";
  DWORD code = 0;
  EXPECT_TRUE(win32.GetExitCodeThread(t, &code) && code == 7);
  EXPECT_EQ(s.rounds.load(), 1000);
  EXPECT_TRUE(s.priority_ok) << "raising its own priority succeeds even where the system does not allow it";
  for (HANDLE one : {t, s.go, s.done}) win32.CloseHandle(one);
}

DWORD WINAPI gated(LPVOID arg) {
  Shared *s = static_cast<Shared *>(arg);
  s->rounds.fetch_add(1);
  win32.SetEvent(s->done);
  win32.WaitForSingleObject(s->go, kHang);
  s->rounds.fetch_add(1);
  return 0;
}

TEST(PlatformThreads, SuspendAndResume) {
  Shared s{new_event(TRUE), new_event(FALSE), FALSE, {0}, {}, 0};
  HANDLE t = win32.CreateThread(nullptr, 0, gated, &s, CREATE_SUSPENDED, nullptr);
  DWORD code = 0;
  EXPECT_EQ(win32.WaitForSingleObject(s.done, 100), WAIT_TIMEOUT) << "CREATE_SUSPENDED holds the start";
  EXPECT_TRUE(win32.GetExitCodeThread(t, &code) && code == STILL_ACTIVE);
  EXPECT_EQ(win32.ResumeThread(t), 1u);
  EXPECT_EQ(win32.WaitForSingleObject(s.done, kHang), WAIT_OBJECT_0);
  // Suspended twice while blocked: it stays held after its wait ends, until resumed twice.
  EXPECT_EQ(win32.SuspendThread(t), 0u);
  EXPECT_EQ(win32.SuspendThread(t), 1u);
  win32.SetEvent(s.go);
  EXPECT_EQ(win32.ResumeThread(t), 2u);
  EXPECT_EQ(win32.WaitForSingleObject(t, 100), WAIT_TIMEOUT) << "one resume of two suspensions";
  EXPECT_EQ(s.rounds.load(), 1);
  EXPECT_EQ(win32.ResumeThread(t), 1u);
  EXPECT_EQ(win32.WaitForSingleObject(t, kHang), WAIT_OBJECT_0);
  EXPECT_EQ(s.rounds.load(), 2);
  for (HANDLE one : {t, s.go, s.done}) win32.CloseHandle(one);
}

DWORD WINAPI count_up(LPVOID arg) {
  Shared *s = static_cast<Shared *>(arg);
  for (int i = 0; i < 10000; i++) {
    win32.EnterCriticalSection(&s->cs);
    win32.EnterCriticalSection(&s->cs);  // re-entrant for the owner
    s->counter++;
    win32.LeaveCriticalSection(&s->cs);
    win32.LeaveCriticalSection(&s->cs);
  }
  return 0;
}

TEST(PlatformThreads, CriticalSectionIsReentrantAndExclusive) {
  Shared s{nullptr, nullptr, FALSE, {0}, {}, 0};
  win32.InitializeCriticalSection(&s.cs);
  HANDLE t[2] = {win32.CreateThread(nullptr, 16384, count_up, &s, 0, nullptr),
                 win32.CreateThread(nullptr, 16384, count_up, &s, 0, nullptr)};
  for (HANDLE one : t) EXPECT_EQ(win32.WaitForSingleObject(one, kHang), WAIT_OBJECT_0);
  EXPECT_EQ(s.counter, 20000);
  for (HANDLE one : t) win32.CloseHandle(one);
  win32.DeleteCriticalSection(&s.cs);
}

TEST(PlatformClock, TimeAndVersion) {
  DWORD t0 = win32.timeGetTime();
  win32.Sleep(30);
  DWORD spent = win32.timeGetTime() - t0;  // unsigned: right across the wrap too
  EXPECT_TRUE(spent >= 30 && spent < 5000) << spent;
  OSVERSIONINFOA v;
  v.dwOSVersionInfoSize = sizeof v;
  ASSERT_TRUE(win32.GetVersionExA(&v));
  EXPECT_EQ(v.dwPlatformId, DWORD(VER_PLATFORM_WIN32_NT)) << "never the Windows 95 family";
}

}  // namespace
