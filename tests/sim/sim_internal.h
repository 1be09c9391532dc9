// The simulated device's state, shared by the sim's files; all of it guarded by sim_mutex.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <type_traits>

#include "sim/sim_device.h"

#define SIM_PORTS 36

// ov->Internal while a request runs; then the Win32 error it ended with (0: success).
#define SIM_STATUS_PENDING (~(ULONG_PTR)0)

// One overlapped request of the driver: a read, a write or a comm-event wait.
struct SimRequest {
  bool pending = false, until_full = false;  // until_full: a read that ends when `len` bytes wait
  OVERLAPPED *ov = nullptr;
  uint8_t *read_buf = nullptr;     // read: where the bytes go
  DWORD len = 0;                   // read: bytes asked; write: bytes given
  const uint8_t *write_buf = nullptr;  // write: the caller's bytes, read as they go out (when it ends)
  DWORD *events = nullptr;         // wait: the caller's event word
};

struct SimDevice {
  int number = 0;  // 1..36; 0 when not attached
  bool open = false;
  unsigned generation = 0;  // picks a new handle value for every open
  HANDLE handle = INVALID_HANDLE_VALUE;
  DWORD fail[SIM_OP_COUNT] = {};
  unsigned calls[SIM_OP_COUNT] = {};

  DCB dcb{};
  COMMTIMEOUTS timeouts{};
  DWORD mask = 0, kept_events = 0;  // kept: masked events no wait has taken yet

  DWORD max_rx = 0, max_tx = 0;
  DWORD fixed_rx = SIM_FROM_SETUP, fixed_tx = SIM_FROM_SETUP, setup_rx = 0, setup_tx = 0;
  std::vector<SimSetup> setups;
  DWORD in_override = SIM_NO_OVERRIDE, out_override = SIM_NO_OVERRIDE;
  DWORD errors = 0, holds = 0, modem = 0;
  std::deque<uint8_t> input;

  SimIoMode read_mode = SIM_IO_AT_ONCE, write_mode = SIM_IO_AT_ONCE;
  DWORD read_error = 0, write_error = 0;
  SimRequest read, write, wait;

  std::vector<DWORD> write_sizes, escapes, purges;
  std::vector<uint8_t> written, transmitted;
  unsigned misuse = 0;
};

extern std::mutex sim_mutex;
extern std::condition_variable sim_changed;  // notified whenever a request ends or a record grows
extern SimDevice sim_devices[SIM_PORTS];
extern Win32Calls sim_saved;  // the entries in force before the sim's, which it forwards to

// Every `win32` entry the sim replaces with its own sim_<name>.
#define SIM_ENTRIES(X)                                                                                   \
  X(CreateFileA) X(CloseHandle) X(GetDefaultCommConfigA) X(GetCommConfig) X(SetCommConfig) X(GetCommState) \
  X(SetCommState) X(GetCommTimeouts) X(SetCommTimeouts) X(GetCommProperties) X(SetupComm) X(PurgeComm)     \
  X(ClearCommError) X(SetCommMask) X(GetCommMask) X(WaitCommEvent) X(ReadFile) X(WriteFile)                \
  X(GetOverlappedResult) X(CancelIo) X(EscapeCommFunction) X(GetCommModemStatus) X(TransmitCommChar)      \
  X(ClearCommBreak) X(timeGetTime)
#define SIM_DECLARE(name) std::remove_pointer_t<decltype(Win32Calls::name)> sim_##name;
SIM_ENTRIES(SIM_DECLARE)

int sim_port_of_name(const char *name, bool *prefixed);  // sim_control.cpp: 1..36, or 0

// sim_calls.cpp. sim_lookup counts the call and returns the device whose open handle h is.
bool sim_is_sim_handle(HANDLE h);
BOOL sim_fail_with(DWORD error);  // SetLastError(error), FALSE
SimDevice *sim_lookup(HANDLE h, SimOp op);

// Opens an entry: a handle that is not the sim's goes to the saved entry; otherwise it
// takes sim_mutex as `lock` and fails unless the handle's device `dev` is open (and,
// with SIM_ENTER, unless sim_fail says so). SIM_ENTRY writes a whole entry.
#define SIM_LOOKUP(h, op, forward)              \
  if (!sim_is_sim_handle(h))                    \
    return sim_saved.forward;                   \
  std::unique_lock<std::mutex> lock(sim_mutex); \
  SimDevice *dev = sim_lookup(h, op);           \
  if (!dev)                                     \
  return sim_fail_with(ERROR_INVALID_HANDLE)
#define SIM_ENTER(h, op, forward) \
  SIM_LOOKUP(h, op, forward);     \
  if (dev->fail[op] != 0)         \
  return sim_fail_with(dev->fail[op])
#define SIM_ENTRY(name, op, params, args, ...) \
  BOOL WINAPI sim_##name params {              \
    SIM_ENTER(h, op, name args);               \
    __VA_ARGS__                                \
  }

// sim_io.cpp: requests and events, all with sim_mutex held
void sim_raise_locked(SimDevice *dev, DWORD events);
void sim_feed_locked(SimDevice *dev, const uint8_t *bytes, size_t len);
void sim_end_all_requests(SimDevice *dev, DWORD error);
void sim_complete_write_locked(SimDevice *dev, DWORD count);
inline DWORD sim_current_rx_queue(const SimDevice *dev) {
  return dev->fixed_rx != SIM_FROM_SETUP ? dev->fixed_rx : dev->setup_rx;
}
