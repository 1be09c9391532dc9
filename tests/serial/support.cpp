// Support for the library's tests on every platform: simulated ports, the handler log,
// byte streams. The pseudo-terminal helpers are in support_posix.cpp.
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

SimDevice *open_sim_port(uint8_t port) {
  std::string name = "COM" + std::to_string(port + 1);
  SimDevice *dev = sim_attach(name.c_str());
  SioOpen(port);
  EXPECT_TRUE(SioIsOpen(port)) << name << " did not open";
  return dev;
}

void close_all(void) {
  if (port_table.load() != nullptr)
    for (uint8_t port = 0; port < SIO_PORT_COUNT; port++)
      if (port_record(port).handle.load() != nullptr) SioClose(port);
  sim_reset_all();
  clear_log();
}

static std::mutex log_mutex;
static std::condition_variable log_changed;
static std::vector<LoggedEvent> log_entries;  // any thread, under log_mutex

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

std::vector<uint32_t> logged_words(void) {
  std::vector<uint32_t> words;
  for (const LoggedEvent &e : logged_events()) words.push_back(e.events);
  return words;
}

void clear_log(void) {
  std::lock_guard<std::mutex> lock(log_mutex);
  log_entries.clear();
}

static size_t count_locked(uint32_t bits) {
  return size_t(std::count_if(log_entries.begin(), log_entries.end(), [&](auto &e) { return e.events & bits; }));
}

size_t logged_count(uint32_t bits) {
  std::lock_guard<std::mutex> lock(log_mutex);
  return count_locked(bits);
}

bool wait_logged(uint32_t bits, size_t count, int timeout_ms) {
  std::unique_lock<std::mutex> lock(log_mutex);
  return log_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return count_locked(bits) >= count; });
}

std::vector<uint8_t> byte_stream(size_t len, uint32_t seed) {
  std::vector<uint8_t> bytes(len);
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t &b : bytes) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;  // xorshift32
    b = uint8_t(x >> 24);
  }
  return bytes;
}
