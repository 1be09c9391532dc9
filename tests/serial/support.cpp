// Support for the library's tests on every platform: simulated ports, the handler log,
// byte streams. The pseudo-terminal helpers are in support_posix.cpp.
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

SimDevice *open_sim_port(uint8_t port, PortEventHandler handler) {
  SimDevice *dev = sim_attach(("COM" + std::to_string(port + 1)).c_str());
  SioOpen(port);
  EXPECT_TRUE(SioIsOpen(port)) << "COM" << port + 1 << " did not open";
  if (handler)
    SioSetEventHandler(port, handler), SioSetEventMask(port, SIO_DEFAULT_EVENT_MASK | SIO_EV_TXRING_EMPTY, 0);
  return dev;
}

void close_all(void) {
  for (uint8_t port = 0; port < SIO_PORT_COUNT; port++) SioClose(port);
  sim_reset_all();
  clear_log();
}

static std::mutex log_mutex;
static std::condition_variable log_changed;
static std::vector<uint32_t> log_words;  // any thread, under log_mutex
static std::vector<uint8_t> log_bytes;  // any thread, under log_mutex
using Hold = std::lock_guard<std::mutex>;

// Adds a call's event word to the log, or with `bytes` the bytes a call took.
static void log_add(uint32_t events, const uint8_t *bytes, size_t len) {
  Hold hold(log_mutex);
  if (bytes) log_bytes.insert(log_bytes.end(), bytes, bytes + len);
  else log_words.push_back(events);
  log_changed.notify_all();
}

int32_t log_event(uint8_t, uint32_t events) { return log_add(events, nullptr, 0), 0; }

// Each take goes into the log at once: a take can fill the ring and so call the handler
// from inside itself (EV_RX80FULL), and the bytes that call takes come first. On
// EV_RX80FULL alone the bytes are taken one at a time, otherwise in blocks.
int32_t take_and_log(uint8_t port, uint32_t events) {
  uint8_t buf[4096];
  uint32_t n = (events & (EV_RXCHAR | EV_RX80FULL)) ? SioPendingCount(port, 0) : 0;
  uint32_t step = (events & EV_RXCHAR) ? uint32_t(sizeof buf) : 1;
  for (uint32_t got; n > 0 && (got = step == 1 ? SioGetByte(port, buf) : SioGetBytes(port, buf, std::min(n, step)));)
    log_add(0, buf, got), n -= got;
  return log_event(port, events);
}

std::vector<uint32_t> logged_words(void) { Hold hold(log_mutex); return log_words; }
std::vector<uint8_t> logged_bytes(void) { Hold hold(log_mutex); return log_bytes; }
void clear_log(void) { Hold hold(log_mutex); log_words.clear(), log_bytes.clear(); }

static size_t count_locked(uint32_t bits) {
  return size_t(std::count_if(log_words.begin(), log_words.end(), [&](uint32_t w) { return w & bits; }));
}
size_t logged_count(uint32_t bits) { Hold hold(log_mutex); return count_locked(bits); }

template <class Pred>
static bool wait_log(Pred pred, int timeout_ms) {
  std::unique_lock<std::mutex> lock(log_mutex);
  return log_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), pred);
}

bool wait_logged(uint32_t bits, size_t n, int ms) { return wait_log([&] { return count_locked(bits) >= n; }, ms); }

bool send_all(const std::vector<uint8_t> &data) {
  for (size_t sent = 0; sent < data.size();) {
    size_t empties = logged_count(SIO_EV_TXRING_EMPTY);
    sent += SioTxRingWrite(0, data.data() + sent, uint32_t(data.size() - sent));
    if (sent < data.size() && !wait_logged(SIO_EV_TXRING_EMPTY, empties + 1)) return false;
  }
  return true;
}
bool wait_bytes(size_t count, int ms) { return wait_log([&] { return log_bytes.size() >= count; }, ms); }

std::vector<uint8_t> byte_stream(size_t len, uint32_t seed) {
  std::vector<uint8_t> bytes(len);
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t &b : bytes) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;  // xorshift32
    b = uint8_t(x >> 24);
  }
  return bytes;
}
