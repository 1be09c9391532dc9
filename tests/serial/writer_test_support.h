// Helpers for the tests of the transmit ring, the writer thread and the event thread:
// bounded waits on a condition, a handler log that can be waited on, and platform
// entries that count or stall calls.
#pragma once

#include <stdint.h>

#include <chrono>
#include <thread>
#include <vector>

#include "library_hooks.h"

// Waits until pred() holds, looking again every millisecond; false when timeout_ms
// passes first. The bound is one that only a hang reaches.
template <class Pred>
bool wait_until(Pred pred, int timeout_ms = 10000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The handler log: every call with its event word and the thread that made it.
struct LoggedEvent {
  uint32_t events;
  std::thread::id thread;
};
int32_t log_event(uint8_t port, uint32_t events);
std::vector<LoggedEvent> logged_events(void);
void clear_logged_events(void);
// How many calls carried any of `bits`; waits until at least `count` did.
size_t logged_count(uint32_t bits);
bool wait_logged(uint32_t bits, size_t count, int timeout_ms = 10000);

// Opens COM<port+1> on a simulated device and installs log_event as its handler.
SimDevice *open_logged_port(uint8_t port);

// Milliseconds since a steady-clock stamp.
inline long elapsed_ms(std::chrono::steady_clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - since)
                               .count());
}
