// The simulated device's state, shared by its control functions (sim_control.cpp),
// its device entries (sim_calls.cpp, sim_io.cpp) and its table handling (sim_table.cpp).
// Everything here is guarded by sim_mutex unless a comment says otherwise.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>

#include "sim/sim_device.h"

#define SIM_PORTS 36

// ov->Internal of a request that has not ended (any other value is the Win32 error
// it ended with, 0 for success; ov->InternalHigh is then its byte count).
#define SIM_STATUS_PENDING (~(ULONG_PTR)0)

// One overlapped request of the driver: a read, a write or a comm-event wait.
struct SimRequest {
  bool pending = false;
  OVERLAPPED *ov = nullptr;
  uint8_t *read_buf = nullptr;     // read: where the bytes go
  DWORD len = 0;                   // read: bytes asked; write: bytes given
  bool until_full = false;         // read: ends when `len` bytes are waiting
  std::vector<uint8_t> write_data; // write: the bytes, until released
  DWORD *events = nullptr;         // wait: the caller's event word
};

struct SimDevice {
  int number = 0;  // 1..36; 0 when not attached
  bool open = false;
  unsigned generation = 0;  // picks a new handle value for every open
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool busy = false;
  SimOpenArgs last_open{};

  DWORD fail[SIM_OP_COUNT] = {};
  unsigned calls[SIM_OP_COUNT] = {};

  DCB dcb{};
  DWORD config_size = sizeof(COMMCONFIG);
  std::vector<uint8_t> last_config;
  COMMTIMEOUTS timeouts{};
  DWORD mask = 0;
  DWORD kept_events = 0;  // masked events no wait has taken yet

  DWORD max_rx = 0, max_tx = 0;
  DWORD fixed_rx = SIM_FROM_SETUP, fixed_tx = SIM_FROM_SETUP;
  DWORD setup_rx = 0, setup_tx = 0;
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
// Notified (under sim_mutex) whenever a request ends or recorded state grows.
extern std::condition_variable sim_changed;
extern SimDevice sim_devices[SIM_PORTS];
// Calls not tied to a device (timeGetTime, GetVersionExA).
extern unsigned sim_global_calls[SIM_OP_COUNT];
// The table entries in force before the sim installed its own; the sim forwards to
// them and completes requests through their events.
extern Win32Calls sim_saved;

// sim_table.cpp
void sim_install_locked(void);  // installs the sim's entries once
void sim_restore_locked(void);  // puts the saved entries back

// sim_control.cpp
int sim_port_of_name(const char *name, bool *prefixed);  // 1..36, or 0 for no COM name
void sim_device_init(SimDevice *dev, int number);

// sim_calls.cpp: handles and the start of every simulated call
HANDLE sim_make_handle(SimDevice *dev);
bool sim_is_sim_handle(HANDLE h);
BOOL sim_fail_with(DWORD error);  // SetLastError(error), FALSE
// Counts the call on the handle's device and returns the device; null with *error
// set when the handle is not the open handle of an attached device.
SimDevice *sim_lookup(HANDLE h, SimOp op, DWORD *error);

// Opens an entry: a handle that is not the sim's goes to the saved entry with the
// call `forward`; otherwise it takes sim_mutex as `lock` and fails the call unless
// the handle's device `dev` is open. SIM_ENTER fails it too when sim_fail says so.
#define SIM_LOOKUP(h, op, forward)                 \
  if (!sim_is_sim_handle(h))                       \
    return sim_saved.forward;                      \
  std::unique_lock<std::mutex> lock(sim_mutex);    \
  DWORD error = 0;                                 \
  SimDevice *dev = sim_lookup((h), (op), &error);  \
  if (!dev)                                        \
  return sim_fail_with(error)
#define SIM_ENTER(h, op, forward) \
  SIM_LOOKUP(h, op, forward);     \
  if (dev->fail[op] != 0)         \
  return sim_fail_with(dev->fail[op])

// sim_io.cpp: requests and events, all with sim_mutex held
void sim_request_end(SimRequest &r, DWORD error, DWORD count);
void sim_raise_locked(SimDevice *dev, DWORD events);
void sim_feed_locked(SimDevice *dev, const uint8_t *bytes, size_t len);
void sim_end_all_requests(SimDevice *dev, DWORD error);
void sim_complete_write_locked(SimDevice *dev, DWORD count);
DWORD sim_current_rx_queue(const SimDevice *dev);
