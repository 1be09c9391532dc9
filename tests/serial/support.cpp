// Support for the library's tests: simulated ports, the handler log, pseudo-terminals.
#include "support.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
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

bool pty_open(PtyPair *pty, uint8_t port, std::string *why) {
  char name[128];
  if (openpty(&pty->master, &pty->slave, name, nullptr, nullptr) != 0) {
    *why = std::string("openpty: ") + strerror(errno);
    return false;
  }
  fcntl(pty->master, F_SETFD, FD_CLOEXEC);
  fcntl(pty->slave, F_SETFD, FD_CLOEXEC);
  fcntl(pty->master, F_SETFL, fcntl(pty->master, F_GETFL) | O_NONBLOCK);
  setenv(("TAVO_COM" + std::to_string(port + 1)).c_str(), name, 1);
  return true;
}

void pty_close(PtyPair *pty) {
  if (pty->master >= 0) close(pty->master);
  if (pty->slave >= 0) close(pty->slave);
  pty->master = pty->slave = -1;
}

// Waits until fd is ready for `events`; false when idle_ms pass first.
static bool fd_ready(int fd, short events, int idle_ms) {
  struct pollfd p = {fd, events, 0};
  int r;
  while ((r = poll(&p, 1, idle_ms)) < 0 && errno == EINTR) {
  }
  return r > 0;
}

bool fd_write_all(int fd, const uint8_t *bytes, size_t len, int idle_ms) {
  while (len > 0) {
    ssize_t n = write(fd, bytes, len);
    if (n > 0) {
      bytes += n;
      len -= size_t(n);
    } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
      return false;
    } else if (n < 0 && errno == EAGAIN && !fd_ready(fd, POLLOUT, idle_ms)) {
      return false;
    }
  }
  return true;
}

size_t fd_read_until(int fd, std::vector<uint8_t> *out, size_t want, int idle_ms) {
  uint8_t buf[65536];
  while (out->size() < want && fd_ready(fd, POLLIN, idle_ms)) {
    ssize_t n = read(fd, buf, std::min(sizeof buf, want - out->size()));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    out->insert(out->end(), buf, buf + n);
  }
  return out->size();
}

std::vector<uint8_t> byte_stream(size_t len, uint32_t seed) {
  std::vector<uint8_t> bytes(len);
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t &b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = uint8_t(x >> 24);
  }
  return bytes;
}

long count_threads(void) {
  return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {});
}
long count_descriptors(void) {
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}
