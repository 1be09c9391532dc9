// The simulated device's place in the `win32` table: installing and restoring its
// entries, and the two entries that are not device calls (timeGetTime, GetVersionExA).
#include <string.h>

#include <atomic>

#include "sim/sim_internal.h"

std::mutex sim_mutex;
std::condition_variable sim_changed;
SimDevice sim_devices[SIM_PORTS];
unsigned sim_global_calls[SIM_OP_COUNT];
Win32Calls sim_saved;

namespace {

bool installed = false;  // guarded by sim_mutex

// Read by any thread calling timeGetTime or GetVersionExA, set by the test thread.
std::atomic<bool> clock_on{false};
std::atomic<DWORD> clock_ms{0};
std::atomic<bool> win95{false};

void count_global(SimOp op) {
  std::lock_guard<std::mutex> lock(sim_mutex);
  sim_global_calls[op]++;
}

DWORD WINAPI sim_timeGetTime(void) {
  count_global(SIM_TIME_GET_TIME);
  bool on = clock_on.load(std::memory_order_relaxed);
  return on ? clock_ms.load(std::memory_order_relaxed) : sim_saved.timeGetTime();
}

BOOL WINAPI sim_GetVersionExA(LPOSVERSIONINFOA info) {
  count_global(SIM_GET_VERSION_EX);
  if (!win95.load(std::memory_order_relaxed))
    return sim_saved.GetVersionExA(info);
  if (!info || info->dwOSVersionInfoSize < sizeof(OSVERSIONINFOA))
    return sim_fail_with(ERROR_INSUFFICIENT_BUFFER);
  memset(info, 0, sizeof *info);
  info->dwOSVersionInfoSize = sizeof *info;
  info->dwMajorVersion = 4;
  info->dwBuildNumber = 0x040003B6;  // 4.0.950
  info->dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
  return TRUE;
}

// Copies the entries the sim replaces from one table to another.
void copy_sim_entries(Win32Calls &to, const Win32Calls &from) {
#define SIM_COPY(name) to.name = from.name;
  SIM_COPY(CreateFileA) SIM_COPY(CloseHandle) SIM_COPY(GetDefaultCommConfigA) SIM_COPY(GetCommConfig)
  SIM_COPY(SetCommConfig) SIM_COPY(GetCommState) SIM_COPY(SetCommState) SIM_COPY(GetCommTimeouts)
  SIM_COPY(SetCommTimeouts) SIM_COPY(GetCommProperties) SIM_COPY(SetupComm) SIM_COPY(PurgeComm)
  SIM_COPY(ClearCommError) SIM_COPY(SetCommMask) SIM_COPY(GetCommMask) SIM_COPY(WaitCommEvent)
  SIM_COPY(ReadFile) SIM_COPY(WriteFile) SIM_COPY(GetOverlappedResult) SIM_COPY(CancelIo)
  SIM_COPY(EscapeCommFunction) SIM_COPY(GetCommModemStatus) SIM_COPY(TransmitCommChar) SIM_COPY(ClearCommBreak)
  SIM_COPY(timeGetTime) SIM_COPY(GetVersionExA)
#undef SIM_COPY
}

}  // namespace

void sim_fill_device_entries(Win32Calls &t);  // sim_calls.cpp
void sim_fill_io_entries(Win32Calls &t);      // sim_io.cpp

void sim_install_locked(void) {
  if (installed)
    return;
  // The sim forwards to, and completes requests through, what is in force now.
  sim_saved = win32;
  Win32Calls mine = win32;
  sim_fill_device_entries(mine);
  sim_fill_io_entries(mine);
  mine.timeGetTime = sim_timeGetTime;
  mine.GetVersionExA = sim_GetVersionExA;
  copy_sim_entries(win32, mine);
  installed = true;
}

void sim_restore_locked(void) {
  if (!installed)
    return;
  copy_sim_entries(win32, sim_saved);
  installed = false;
  clock_on.store(false, std::memory_order_relaxed);
  win95.store(false, std::memory_order_relaxed);
}

namespace {

// The clock and the Windows 95 switch install the sim too, so that its entries answer.
void install(void) {
  std::lock_guard<std::mutex> lock(sim_mutex);
  sim_install_locked();
}

}  // namespace

void sim_set_win95(bool on) {
  install();
  win95.store(on, std::memory_order_relaxed);
}

void sim_set_clock(DWORD ms) {
  install();
  clock_ms.store(ms, std::memory_order_relaxed);
  clock_on.store(true, std::memory_order_relaxed);
}

void sim_advance_clock(DWORD ms) {
  install();
  clock_ms.fetch_add(ms, std::memory_order_relaxed);  // wraps at 2^32 as the real clock does
  clock_on.store(true, std::memory_order_relaxed);
}
