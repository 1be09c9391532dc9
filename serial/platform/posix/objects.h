// Private to the POSIX platform layer: handle objects with a kind tag, the registry
// that tells live handles from dead ones, waitable objects, and the entry points
// that fill the Win32Calls table.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "serial/platform/win32.h"

namespace posix {

// What a HANDLE points to. Every object starts with an Object; the registry holds the
// live ones, so a closed or made-up handle is refused with ERROR_INVALID_HANDLE
// rather than followed.
enum class Kind : uint32_t { Event = 0x45564e54u, Thread = 0x54485244u, Port = 0x504f5254u };

struct Object {
  Kind kind;
  // References: one for the handle, one for each call using the object, one for a
  // running thread. Touched by every thread that uses the handle.
  std::atomic<int> refs;
  // Runs once, when CloseHandle removes the handle (may be null).
  void (*on_close)(Object *obj);
  // Frees the object when the last reference goes.
  void (*destroy)(Object *obj);
};

// Adds obj to the registry with one reference (the handle's) and returns it as a HANDLE.
HANDLE handle_register(Object *obj);
// The live object of that kind behind h, with a reference taken, or null with
// ERROR_INVALID_HANDLE set.
Object *handle_acquire(HANDLE h, Kind kind);
void handle_release(Object *obj);

// The pseudo-handle of GetCurrentThread.
#define POSIX_CURRENT_THREAD ((HANDLE)(intptr_t)-2)

// One thread's place in the waiter lists of the objects it waits for.
struct Waiter {
  std::mutex lock;
  std::condition_variable wake;
  bool woken;  // under lock
};

// The signalled state shared by events and threads. Setting it with nobody waiting
// takes an uncontended mutex and makes no system call.
struct Waitable {
  std::mutex lock;
  bool signalled;                // under lock
  bool manual_reset;             // fixed at creation
  std::vector<Waiter *> waiters;  // under lock: threads blocked on this object
};

void waitable_set(Waitable *w);
void waitable_reset(Waitable *w);
// Waits until one of the objects is signalled (taking the signal of an auto-reset
// one) or ms have passed; WAIT_OBJECT_0 + index or WAIT_TIMEOUT.
DWORD waitable_wait_any(Waitable *const *objs, DWORD count, DWORD ms);

// The waitable part of an event or thread handle, with a reference taken (returned
// in *obj), or null with ERROR_INVALID_HANDLE set.
Waitable *waitable_of(HANDLE h, Object **obj);
Waitable *waitable_of_event(Object *event);

// Cooperative suspension: a thread that SuspendThread has suspended stops here, at its
// next entry to or exit from a blocking platform wait, until it is resumed.
void suspend_point();

void set_error(DWORD code);

// The entries of the table.
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD code);
BOOL WINAPI CloseHandle(HANDLE h);

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL manual_reset, BOOL initial, LPCSTR name);
BOOL WINAPI SetEvent(HANDLE h);
BOOL WINAPI ResetEvent(HANDLE h);
DWORD WINAPI WaitForSingleObject(HANDLE h, DWORD ms);
DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL all, DWORD ms);

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs);

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                           LPVOID arg, DWORD flags, LPDWORD id);
DWORD WINAPI SuspendThread(HANDLE h);
DWORD WINAPI ResumeThread(HANDLE h);
BOOL WINAPI GetExitCodeThread(HANDLE h, LPDWORD code);
BOOL WINAPI SetThreadPriority(HANDLE h, int priority);
HANDLE WINAPI GetCurrentThread(void);
void WINAPI Sleep(DWORD ms);
DWORD WINAPI timeGetTime(void);
BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA info);

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                          DWORD disposition, DWORD flags, HANDLE tmpl);
BOOL WINAPI GetDefaultCommConfigA(LPCSTR name, LPCOMMCONFIG cc, LPDWORD size);
BOOL WINAPI GetCommConfig(HANDLE h, LPCOMMCONFIG cc, LPDWORD size);
BOOL WINAPI SetCommConfig(HANDLE h, LPCOMMCONFIG cc, DWORD size);
BOOL WINAPI GetCommState(HANDLE h, LPDCB dcb);
BOOL WINAPI SetCommState(HANDLE h, LPDCB dcb);
BOOL WINAPI GetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t);
BOOL WINAPI SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t);
BOOL WINAPI GetCommProperties(HANDLE h, LPCOMMPROP p);
BOOL WINAPI SetupComm(HANDLE h, DWORD in_queue, DWORD out_queue);
BOOL WINAPI PurgeComm(HANDLE h, DWORD flags);
BOOL WINAPI ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat);
BOOL WINAPI SetCommMask(HANDLE h, DWORD mask);
BOOL WINAPI GetCommMask(HANDLE h, LPDWORD mask);
BOOL WINAPI WaitCommEvent(HANDLE h, LPDWORD events, LPOVERLAPPED ov);
BOOL WINAPI ReadFile(HANDLE h, LPVOID buf, DWORD len, LPDWORD got, LPOVERLAPPED ov);
BOOL WINAPI WriteFile(HANDLE h, LPCVOID buf, DWORD len, LPDWORD put, LPOVERLAPPED ov);
BOOL WINAPI GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD count, BOOL wait);
BOOL WINAPI CancelIo(HANDLE h);
BOOL WINAPI EscapeCommFunction(HANDLE h, DWORD func);
BOOL WINAPI GetCommModemStatus(HANDLE h, LPDWORD status);
BOOL WINAPI TransmitCommChar(HANDLE h, char c);
BOOL WINAPI ClearCommBreak(HANDLE h);

}  // namespace posix
