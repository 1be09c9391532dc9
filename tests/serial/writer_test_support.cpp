// The handler log and port set-up shared by the writer, transmit and event thread tests.
#include "writer_test_support.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

static std::mutex log_mutex;
static std::condition_variable log_changed;
static std::vector<LoggedEvent> log_entries;

int32_t log_event(uint8_t, uint32_t events) {
  std::lock_guard<std::mutex> lock(log_mutex);
  log_entries.push_back({events, std::this_thread::get_id()});
  log_changed.notify_all();
  return 0;
}

std::vector<LoggedEvent> logged_events(void) {
  std::lock_guard<std::mutex> lock(log_mutex);
  return log_entries;
}

void clear_logged_events(void) {
  std::lock_guard<std::mutex> lock(log_mutex);
  log_entries.clear();
}

static size_t count_locked(uint32_t bits) {
  size_t n = 0;
  for (const LoggedEvent &e : log_entries) n += (e.events & bits) != 0;
  return n;
}

size_t logged_count(uint32_t bits) {
  std::lock_guard<std::mutex> lock(log_mutex);
  return count_locked(bits);
}

bool wait_logged(uint32_t bits, size_t count, int timeout_ms) {
  std::unique_lock<std::mutex> lock(log_mutex);
  return log_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [&] { return count_locked(bits) >= count; });
}

SimDevice *open_logged_port(uint8_t port) {
  SimDevice *dev = sio_test_open(port);
  SioSetEventHandler(port, log_event);
  return dev;
}
