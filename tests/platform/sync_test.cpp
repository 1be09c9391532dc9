// Events, waits, critical sections, threads and the clock of the POSIX platform layer.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/time.h>

#include <atomic>

#include "serial/platform/win32.h"

namespace {

const DWORD kHang = 10000;  // a bound only a hang reaches

struct EventRow {
  const char *what;
  BOOL manual;
  BOOL initial;
  DWORD first;   // first wait (0 ms)
  DWORD second;  // second wait (0 ms), nothing set in between
};

TEST(PlatformEvents, ResetKinds) {
  const EventRow rows[] = {
      {"auto reset, set: one wait takes the signal", FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT},
      {"manual reset, set: stays set", TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0},
      {"auto reset, unset: times out", FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
      {"manual reset, unset: times out", TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
  };
  for (const EventRow &row : rows) {
    HANDLE e = win32.CreateEventA(nullptr, row.manual, row.initial, nullptr);
    ASSERT_NE(e, nullptr) << row.what;
    EXPECT_EQ(win32.WaitForSingleObject(e, 0), row.first) << row.what;
    EXPECT_EQ(win32.WaitForSingleObject(e, 0), row.second) << row.what;
    EXPECT_TRUE(win32.SetEvent(e)) << row.what;
    EXPECT_TRUE(win32.ResetEvent(e)) << row.what;
    EXPECT_EQ(win32.WaitForSingleObject(e, 0), WAIT_TIMEOUT) << row.what << " after ResetEvent";
    EXPECT_TRUE(win32.CloseHandle(e)) << row.what;
  }
}

TEST(PlatformEvents, WaitAnyReportsTheSignalledIndex) {
  HANDLE e[3];
  for (HANDLE &h : e) h = win32.CreateEventA(nullptr, FALSE, FALSE, nullptr);
  win32.SetEvent(e[2]);
  EXPECT_EQ(win32.WaitForMultipleObjects(3, e, FALSE, kHang), WAIT_OBJECT_0 + 2);
  win32.SetEvent(e[1]);
  win32.SetEvent(e[2]);
  EXPECT_EQ(win32.WaitForMultipleObjects(3, e, FALSE, kHang), WAIT_OBJECT_0 + 1) << "lowest index first";
  EXPECT_EQ(win32.WaitForMultipleObjects(3, e, FALSE, kHang), WAIT_OBJECT_0 + 2);
  DWORD t0 = win32.timeGetTime();
  EXPECT_EQ(win32.WaitForMultipleObjects(3, e, FALSE, 50), WAIT_TIMEOUT);
  EXPECT_GE(win32.timeGetTime() - t0, 45u) << "the time-out is honoured";
  for (HANDLE h : e) win32.CloseHandle(h);
}

struct Refusal {
  const char *what;
  bool (*call)(HANDLE open_event, HANDLE closed_event);  // true when the call failed
  DWORD error;
};

TEST(PlatformEvents, Refusals) {
  const Refusal rows[] = {
      {"wait on a closed handle", [](HANDLE, HANDLE c) { return win32.WaitForSingleObject(c, 0) == WAIT_FAILED; },
       ERROR_INVALID_HANDLE},
      {"wait on a pointer that is no handle",
       [](HANDLE, HANDLE) {
         static int not_a_handle;
         return win32.WaitForSingleObject(&not_a_handle, 0) == WAIT_FAILED;
       },
       ERROR_INVALID_HANDLE},
      {"wait on null", [](HANDLE, HANDLE) { return win32.WaitForSingleObject(nullptr, 0) == WAIT_FAILED; },
       ERROR_INVALID_HANDLE},
      {"wait for all of two",
       [](HANDLE e, HANDLE) {
         HANDLE two[2] = {e, e};
         return win32.WaitForMultipleObjects(2, two, TRUE, 0) == WAIT_FAILED;
       },
       ERROR_NOT_SUPPORTED},
      {"wait on no objects", [](HANDLE e, HANDLE) { return win32.WaitForMultipleObjects(0, &e, FALSE, 0) == WAIT_FAILED; },
       ERROR_INVALID_PARAMETER},
      {"set a closed event", [](HANDLE, HANDLE c) { return !win32.SetEvent(c); }, ERROR_INVALID_HANDLE},
      {"close a closed handle", [](HANDLE, HANDLE c) { return !win32.CloseHandle(c); }, ERROR_INVALID_HANDLE},
      {"a named event", [](HANDLE, HANDLE) { return win32.CreateEventA(nullptr, TRUE, FALSE, "x") == nullptr; },
       ERROR_NOT_SUPPORTED},
  };
  HANDLE e = win32.CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE closed = win32.CreateEventA(nullptr, TRUE, FALSE, nullptr);
  win32.CloseHandle(closed);
  for (const Refusal &row : rows) {
    win32.SetLastError(0);
    EXPECT_TRUE(row.call(e, closed)) << row.what;
    EXPECT_EQ(win32.GetLastError(), row.error) << row.what;
  }
  win32.CloseHandle(e);
}

struct Handoff {
  HANDLE go;
  HANDLE done;
  std::atomic<int> rounds;
};

DWORD WINAPI ping(LPVOID arg) {
  Handoff *h = static_cast<Handoff *>(arg);
  for (int i = 0; i < 1000; i++) {
    if (win32.WaitForSingleObject(h->go, kHang) != WAIT_OBJECT_0) return 1;
    h->rounds.fetch_add(1);
    win32.SetEvent(h->done);
  }
  return 7;
}

TEST(PlatformThreads, AutoResetHandoffLosesNoSignal) {
  Handoff h;
  h.go = win32.CreateEventA(nullptr, FALSE, FALSE, nullptr);
  h.done = win32.CreateEventA(nullptr, FALSE, FALSE, nullptr);
  h.rounds = 0;
  HANDLE t = win32.CreateThread(nullptr, 16384, ping, &h, 0, nullptr);
  ASSERT_NE(t, nullptr);
  for (int i = 0; i < 1000; i++) {
    win32.SetEvent(h.go);
    ASSERT_EQ(win32.WaitForSingleObject(h.done, kHang), WAIT_OBJECT_0) << "round " << i;
  }
  EXPECT_EQ(win32.WaitForSingleObject(t, kHang), WAIT_OBJECT_0) << "a thread handle is set when it ends";
  DWORD code = 0;
  EXPECT_TRUE(win32.GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_EQ(h.rounds.load(), 1000);
  win32.CloseHandle(t);
  win32.CloseHandle(h.go);
  win32.CloseHandle(h.done);
}

struct Gate {
  HANDLE started;
  HANDLE release;
  std::atomic<int> passes;
};

DWORD WINAPI gated(LPVOID arg) {
  Gate *g = static_cast<Gate *>(arg);
  g->passes.fetch_add(1);
  win32.SetEvent(g->started);
  win32.WaitForSingleObject(g->release, kHang);
  g->passes.fetch_add(1);
  return 0;
}

TEST(PlatformThreads, ExitCodeSuspendAndResume) {
  Gate g;
  g.started = win32.CreateEventA(nullptr, FALSE, FALSE, nullptr);
  g.release = win32.CreateEventA(nullptr, TRUE, FALSE, nullptr);
  g.passes = 0;
  HANDLE t = win32.CreateThread(nullptr, 0, gated, &g, CREATE_SUSPENDED, nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(win32.WaitForSingleObject(g.started, 100), WAIT_TIMEOUT) << "CREATE_SUSPENDED holds the start";
  EXPECT_EQ(g.passes.load(), 0);
  DWORD code = 0;
  EXPECT_TRUE(win32.GetExitCodeThread(t, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(win32.ResumeThread(t), 1u);
  EXPECT_EQ(win32.WaitForSingleObject(g.started, kHang), WAIT_OBJECT_0);

  // Suspended while blocked: it stays held after its wait ends, until resumed.
  EXPECT_EQ(win32.SuspendThread(t), 0u);
  EXPECT_EQ(win32.SuspendThread(t), 1u) << "suspensions count";
  win32.SetEvent(g.release);
  EXPECT_EQ(win32.WaitForSingleObject(t, 100), WAIT_TIMEOUT);
  EXPECT_EQ(g.passes.load(), 1);
  EXPECT_EQ(win32.ResumeThread(t), 2u);
  EXPECT_EQ(win32.WaitForSingleObject(t, 100), WAIT_TIMEOUT) << "one resume of two suspensions";
  EXPECT_EQ(win32.ResumeThread(t), 1u);
  EXPECT_EQ(win32.WaitForSingleObject(t, kHang), WAIT_OBJECT_0);
  EXPECT_EQ(g.passes.load(), 2);
  EXPECT_TRUE(win32.GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(win32.ResumeThread(t), 0u) << "resuming a running thread changes nothing";
  win32.CloseHandle(t);
  EXPECT_FALSE(win32.GetExitCodeThread(t, &code)) << "a closed handle";
  EXPECT_EQ(win32.GetLastError(), ERROR_INVALID_HANDLE);
  win32.CloseHandle(g.started);
  win32.CloseHandle(g.release);
}

DWORD WINAPI raise_own_priority(LPVOID arg) {
  *static_cast<BOOL *>(arg) = win32.SetThreadPriority(win32.GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
  DWORD code = 0;
  win32.GetExitCodeThread(win32.GetCurrentThread(), &code);
  return code;
}

TEST(PlatformThreads, PriorityIsBestEffort) {
  BOOL ok = FALSE;
  HANDLE t = win32.CreateThread(nullptr, 16384, raise_own_priority, &ok, 0, nullptr);
  ASSERT_EQ(win32.WaitForSingleObject(t, kHang), WAIT_OBJECT_0);
  DWORD code = 0;
  win32.GetExitCodeThread(t, &code);
  EXPECT_TRUE(ok) << "raising a priority succeeds even where the system does not allow it";
  EXPECT_EQ(code, STILL_ACTIVE) << "the pseudo-handle names the running caller";
  EXPECT_FALSE(win32.SetThreadPriority(t, 42)) << "not a priority";
  EXPECT_EQ(win32.GetLastError(), ERROR_INVALID_PARAMETER);
  win32.CloseHandle(t);
}

struct Shared {
  CRITICAL_SECTION cs;
  long counter;
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
  return 0;
}

TEST(PlatformThreads, CriticalSectionIsReentrantAndExclusive) {
  Shared s;
  s.counter = 0;
  win32.InitializeCriticalSection(&s.cs);
  HANDLE t[2];
  for (HANDLE &h : t) h = win32.CreateThread(nullptr, 16384, count_up, &s, 0, nullptr);
  EXPECT_EQ(win32.WaitForSingleObject(t[0], kHang), WAIT_OBJECT_0);
  EXPECT_EQ(win32.WaitForSingleObject(t[1], kHang), WAIT_OBJECT_0);
  EXPECT_EQ(s.counter, 20000);
  for (HANDLE h : t) win32.CloseHandle(h);
  win32.DeleteCriticalSection(&s.cs);
}

long system_microseconds() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_stime.tv_sec * 1000000L + ru.ru_stime.tv_usec;
}

TEST(PlatformEvents, SettingAnEventNobodyWaitsForMakesNoSystemCall) {
  HANDLE e = win32.CreateEventA(nullptr, FALSE, FALSE, nullptr);
  long before = system_microseconds();
  for (int i = 0; i < 500000; i++) win32.SetEvent(e);
  long spent = system_microseconds() - before;
  // One system call each would cost the process well over 100 ms of kernel time.
  EXPECT_LT(spent, 40000) << "500000 SetEvent calls took " << spent << " us in the kernel";
  win32.CloseHandle(e);
}

TEST(PlatformClock, TimeAndVersion) {
  DWORD t0 = win32.timeGetTime();
  win32.Sleep(30);
  DWORD spent = win32.timeGetTime() - t0;  // unsigned: right across the wrap too
  EXPECT_GE(spent, 30u);
  EXPECT_LT(spent, 5000u);
  OSVERSIONINFOA v;
  v.dwOSVersionInfoSize = sizeof v;
  ASSERT_TRUE(win32.GetVersionExA(&v));
  EXPECT_EQ(v.dwPlatformId, VER_PLATFORM_WIN32_NT);
  v.dwOSVersionInfoSize = 20;
  EXPECT_FALSE(win32.GetVersionExA(&v)) << "a record too small";
}

}  // namespace
