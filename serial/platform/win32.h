// The Win32 serial, synchronisation and thread interface as the library sees it:
// <windows.h> on Windows, our own declarations elsewhere, and on both one table of
// function pointers through which every call goes, so that a test can swap any entry.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include "posix/win32_types.h"
#endif

struct Win32Calls {
  // Devices
  HANDLE(WINAPI *CreateFileA)(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                              DWORD disposition, DWORD flags, HANDLE tmpl);
  BOOL(WINAPI *CloseHandle)(HANDLE h);
  BOOL(WINAPI *GetDefaultCommConfigA)(LPCSTR name, LPCOMMCONFIG cc, LPDWORD size);
  BOOL(WINAPI *GetCommConfig)(HANDLE h, LPCOMMCONFIG cc, LPDWORD size);
  BOOL(WINAPI *SetCommConfig)(HANDLE h, LPCOMMCONFIG cc, DWORD size);
  BOOL(WINAPI *GetCommState)(HANDLE h, LPDCB dcb);
  BOOL(WINAPI *SetCommState)(HANDLE h, LPDCB dcb);
  BOOL(WINAPI *GetCommTimeouts)(HANDLE h, LPCOMMTIMEOUTS t);
  BOOL(WINAPI *SetCommTimeouts)(HANDLE h, LPCOMMTIMEOUTS t);
  BOOL(WINAPI *GetCommProperties)(HANDLE h, LPCOMMPROP p);
  BOOL(WINAPI *SetupComm)(HANDLE h, DWORD in_queue, DWORD out_queue);
  BOOL(WINAPI *PurgeComm)(HANDLE h, DWORD flags);
  BOOL(WINAPI *ClearCommError)(HANDLE h, LPDWORD errors, LPCOMSTAT stat);
  BOOL(WINAPI *SetCommMask)(HANDLE h, DWORD mask);
  BOOL(WINAPI *GetCommMask)(HANDLE h, LPDWORD mask);
  BOOL(WINAPI *WaitCommEvent)(HANDLE h, LPDWORD events, LPOVERLAPPED ov);
  BOOL(WINAPI *ReadFile)(HANDLE h, LPVOID buf, DWORD len, LPDWORD got, LPOVERLAPPED ov);
  BOOL(WINAPI *WriteFile)(HANDLE h, LPCVOID buf, DWORD len, LPDWORD put, LPOVERLAPPED ov);
  BOOL(WINAPI *GetOverlappedResult)(HANDLE h, LPOVERLAPPED ov, LPDWORD count, BOOL wait);
  BOOL(WINAPI *CancelIo)(HANDLE h);
  BOOL(WINAPI *EscapeCommFunction)(HANDLE h, DWORD func);
  BOOL(WINAPI *GetCommModemStatus)(HANDLE h, LPDWORD status);
  BOOL(WINAPI *TransmitCommChar)(HANDLE h, char c);
  BOOL(WINAPI *ClearCommBreak)(HANDLE h);

  // Errors
  DWORD(WINAPI *GetLastError)(void);
  void(WINAPI *SetLastError)(DWORD code);

  // Events and waits
  HANDLE(WINAPI *CreateEventA)(LPSECURITY_ATTRIBUTES sa, BOOL manual_reset, BOOL initial, LPCSTR name);
  BOOL(WINAPI *SetEvent)(HANDLE h);
  BOOL(WINAPI *ResetEvent)(HANDLE h);
  DWORD(WINAPI *WaitForSingleObject)(HANDLE h, DWORD ms);
  DWORD(WINAPI *WaitForMultipleObjects)(DWORD count, const HANDLE *handles, BOOL all, DWORD ms);

  // Critical sections (re-entrant for the owning thread)
  void(WINAPI *InitializeCriticalSection)(LPCRITICAL_SECTION cs);
  void(WINAPI *EnterCriticalSection)(LPCRITICAL_SECTION cs);
  void(WINAPI *LeaveCriticalSection)(LPCRITICAL_SECTION cs);
  void(WINAPI *DeleteCriticalSection)(LPCRITICAL_SECTION cs);

  // Threads and time
  HANDLE(WINAPI *CreateThread)(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                               LPVOID arg, DWORD flags, LPDWORD id);
  DWORD(WINAPI *SuspendThread)(HANDLE h);
  DWORD(WINAPI *ResumeThread)(HANDLE h);
  BOOL(WINAPI *GetExitCodeThread)(HANDLE h, LPDWORD code);
  BOOL(WINAPI *SetThreadPriority)(HANDLE h, int priority);
  HANDLE(WINAPI *GetCurrentThread)(void);
  void(WINAPI *Sleep)(DWORD ms);
  DWORD(WINAPI *timeGetTime)(void);
  BOOL(WINAPI *GetVersionExA)(LPOSVERSIONINFOA info);
};

// The table in force. Every platform call of the library goes through it.
extern Win32Calls win32;

// The platform's own entries, as the table starts out; tests put them back from here.
extern const Win32Calls win32_native;
