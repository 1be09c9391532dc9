// Support for the library's tests: ports on the simulated device, a handler log that
// can be waited on, and pseudo-terminal pairs (the slave as COM<n>, the test on the master).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "serial/port_table.h"
#include "sim/sim_device.h"

// Attaches a simulated device to COM<port + 1> and opens the port on it.
SimDevice *open_sim_port(uint8_t port);

// Closes every open port, detaches every simulated device and empties the log.
void close_all(void);

inline PortRecord &port_record(uint8_t port) { return table().ports[port]; }
inline RingQueue &rx_ring(uint8_t port) { return table().rx_rings[port]; }
inline RingQueue &tx_ring(uint8_t port) { return table().tx_rings[port]; }

// The handler log: every call's event word and the thread that made it.
struct LoggedEvent { uint32_t events; std::thread::id thread; };
int32_t log_event(uint8_t port, uint32_t events);
std::vector<LoggedEvent> logged_events(void);
std::vector<uint32_t> logged_words(void);
void clear_log(void);
// How many calls carried any of `bits`; the wait blocks until at least `count` did.
size_t logged_count(uint32_t bits);
bool wait_logged(uint32_t bits, size_t count, int timeout_ms = 10000);

// Waits until pred() holds, looking every millisecond (for state no event announces).
template <class Pred>
bool wait_until(Pred pred, int timeout_ms = 10000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline long elapsed_ms(std::chrono::steady_clock::time_point since) {
  return long(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count());
}

// A pseudo-terminal pair; the master is non-blocking, the slave stays open in the test
// and shows the termios the library leaves.
struct PtyPair { int master = -1, slave = -1; };
// Opens a pair and points TAVO_COM<port + 1> at its slave; false with the reason.
bool pty_open(PtyPair *pty, uint8_t port, std::string *why);
void pty_close(PtyPair *pty);

// Writes all of `bytes`; false on an error or when the fd takes nothing for idle_ms.
bool fd_write_all(int fd, const uint8_t *bytes, size_t len, int idle_ms = 20000);
// Reads until `out` holds `want` bytes or idle_ms pass without one; the size held.
size_t fd_read_until(int fd, std::vector<uint8_t> *out, size_t want, int idle_ms);

// A reproducible byte stream that no shift or reordering maps onto itself.
std::vector<uint8_t> byte_stream(size_t len, uint32_t seed);

// The process's threads and open descriptors (/proc/self/task, /proc/self/fd).
long count_threads(void);
long count_descriptors(void);
