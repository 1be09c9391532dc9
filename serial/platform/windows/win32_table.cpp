// The Win32 interface table on Windows: every entry is the system's own function from
// <windows.h> (and timeGetTime from the multimedia timer library, winmm).
#include "serial/platform/win32.h"

#include <mmsystem.h>

// The addresses of imported functions are known only once the program is loaded, so
// these tables are filled by a constructor; the priority runs it before the
// constructors of every other file, in case one of them reaches the table.
#define WIN32_NATIVE_ENTRIES                                                            \
  {                                                                                     \
    ::CreateFileA, ::CloseHandle, ::GetDefaultCommConfigA, ::GetCommConfig,             \
        ::SetCommConfig, ::GetCommState, ::SetCommState, ::GetCommTimeouts,             \
        ::SetCommTimeouts, ::GetCommProperties, ::SetupComm, ::PurgeComm,               \
        ::ClearCommError, ::SetCommMask, ::GetCommMask, ::WaitCommEvent, ::ReadFile,    \
        ::WriteFile, ::GetOverlappedResult, ::CancelIo, ::EscapeCommFunction,           \
        ::GetCommModemStatus, ::TransmitCommChar, ::ClearCommBreak, ::GetLastError,     \
        ::SetLastError, ::CreateEventA, ::SetEvent, ::ResetEvent, ::WaitForSingleObject, \
        ::WaitForMultipleObjects, ::InitializeCriticalSection, ::EnterCriticalSection,  \
        ::LeaveCriticalSection, ::DeleteCriticalSection, ::CreateThread,                \
        ::SuspendThread, ::ResumeThread, ::GetExitCodeThread, ::SetThreadPriority,      \
        ::GetCurrentThread, ::Sleep, ::timeGetTime, ::GetVersionExA,                    \
  }

const Win32Calls win32_native __attribute__((init_priority(101))) = WIN32_NATIVE_ENTRIES;
Win32Calls win32 __attribute__((init_priority(101))) = WIN32_NATIVE_ENTRIES;
