// The table of platform entries: the POSIX layer's own functions, in force from the
// start (constant-initialised, so usable before any constructor runs).
#include "objects.h"

namespace {

constexpr Win32Calls kNative = {
    posix::CreateFileA,
    posix::CloseHandle,
    posix::GetDefaultCommConfigA,
    posix::GetCommConfig,
    posix::SetCommConfig,
    posix::GetCommState,
    posix::SetCommState,
    posix::GetCommTimeouts,
    posix::SetCommTimeouts,
    posix::GetCommProperties,
    posix::SetupComm,
    posix::PurgeComm,
    posix::ClearCommError,
    posix::SetCommMask,
    posix::GetCommMask,
    posix::WaitCommEvent,
    posix::ReadFile,
    posix::WriteFile,
    posix::GetOverlappedResult,
    posix::CancelIo,
    posix::EscapeCommFunction,
    posix::GetCommModemStatus,
    posix::TransmitCommChar,
    posix::ClearCommBreak,
    posix::GetLastError,
    posix::SetLastError,
    posix::CreateEventA,
    posix::SetEvent,
    posix::ResetEvent,
    posix::WaitForSingleObject,
    posix::WaitForMultipleObjects,
    posix::InitializeCriticalSection,
    posix::EnterCriticalSection,
    posix::LeaveCriticalSection,
    posix::DeleteCriticalSection,
    posix::CreateThread,
    posix::SuspendThread,
    posix::ResumeThread,
    posix::GetExitCodeThread,
    posix::SetThreadPriority,
    posix::GetCurrentThread,
    posix::Sleep,
    posix::timeGetTime,
    posix::GetVersionExA,
};

}  // namespace

const Win32Calls win32_native = kNative;
Win32Calls win32 = kNative;
