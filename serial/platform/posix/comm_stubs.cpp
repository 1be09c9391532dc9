// Device entries not yet provided: each fails with ERROR_NOT_SUPPORTED.
#include "objects.h"

namespace posix {

static BOOL unsupported() {
  set_error(ERROR_NOT_SUPPORTED);
  return FALSE;
}

HANDLE WINAPI CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  set_error(ERROR_FILE_NOT_FOUND);
  return INVALID_HANDLE_VALUE;
}
BOOL WINAPI GetDefaultCommConfigA(LPCSTR, LPCOMMCONFIG, LPDWORD) { set_error(ERROR_FILE_NOT_FOUND); return FALSE; }
BOOL WINAPI GetCommConfig(HANDLE, LPCOMMCONFIG, LPDWORD) { return unsupported(); }
BOOL WINAPI SetCommConfig(HANDLE, LPCOMMCONFIG, DWORD) { return unsupported(); }
BOOL WINAPI GetCommState(HANDLE, LPDCB) { return unsupported(); }
BOOL WINAPI SetCommState(HANDLE, LPDCB) { return unsupported(); }
BOOL WINAPI GetCommTimeouts(HANDLE, LPCOMMTIMEOUTS) { return unsupported(); }
BOOL WINAPI SetCommTimeouts(HANDLE, LPCOMMTIMEOUTS) { return unsupported(); }
BOOL WINAPI GetCommProperties(HANDLE, LPCOMMPROP) { return unsupported(); }
BOOL WINAPI SetupComm(HANDLE, DWORD, DWORD) { return unsupported(); }
BOOL WINAPI PurgeComm(HANDLE, DWORD) { return unsupported(); }
BOOL WINAPI ClearCommError(HANDLE, LPDWORD, LPCOMSTAT) { return unsupported(); }
BOOL WINAPI SetCommMask(HANDLE, DWORD) { return unsupported(); }
BOOL WINAPI GetCommMask(HANDLE, LPDWORD) { return unsupported(); }
BOOL WINAPI WaitCommEvent(HANDLE, LPDWORD, LPOVERLAPPED) { return unsupported(); }
BOOL WINAPI ReadFile(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) { return unsupported(); }
BOOL WINAPI WriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) { return unsupported(); }
BOOL WINAPI GetOverlappedResult(HANDLE, LPOVERLAPPED, LPDWORD, BOOL) { return unsupported(); }
BOOL WINAPI CancelIo(HANDLE) { return unsupported(); }
BOOL WINAPI EscapeCommFunction(HANDLE, DWORD) { return unsupported(); }
BOOL WINAPI GetCommModemStatus(HANDLE, LPDWORD) { return unsupported(); }
BOOL WINAPI TransmitCommChar(HANDLE, char) { return unsupported(); }
BOOL WINAPI ClearCommBreak(HANDLE) { return unsupported(); }

}  // namespace posix
