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

// Attaches a simulated device to COM<port + 1> and opens the port on it; with a handler,
// the port's mask is the default one and the ring-emptied event.
SimDevice *open_sim_port(uint8_t port, PortEventHandler handler = nullptr);
// Closes every open port, detaches every simulated device and empties the log.
void close_all(void);

// The handler log: every call's event word. take_and_log also takes, on EV_RXCHAR and
// EV_RX80FULL, what SioPendingCount announces, as the host's handler does. The waits
// block until `count` calls carried any of `bits`, or `count` bytes were taken.
int32_t log_event(uint8_t port, uint32_t events);
int32_t take_and_log(uint8_t port, uint32_t events);
std::vector<uint32_t> logged_words(void);
std::vector<uint8_t> logged_bytes(void);
size_t logged_count(uint32_t bits);
bool wait_logged(uint32_t bits, size_t count, int timeout_ms = 20000);
bool wait_bytes(size_t count, int timeout_ms = 20000);
void clear_log(void);
// Queues all of `data` on port 0, waiting for the ring to run empty whenever it is full
// (the handler logs SIO_EV_TXRING_EMPTY).
bool send_all(const std::vector<uint8_t> &data);

// Waits until pred() holds, looking every millisecond (for state no event announces).
template <class Pred>
bool wait_until(Pred pred, int timeout_ms = 10000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (; !pred(); std::this_thread::sleep_for(std::chrono::milliseconds(1)))
    if (std::chrono::steady_clock::now() > end) return false;
  return true;
}

inline long elapsed_ms(std::chrono::steady_clock::time_point since) {
  return long(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count());
}

// A pseudo-terminal pair whose slave TAVO_COM<port + 1> names; the master does not block.
struct PtyPair { int master = -1, slave = -1; };
bool pty_open(PtyPair *pty, uint8_t port, std::string *why);
void pty_close(PtyPair *pty);
// Writes all of `bytes`; false on an error or when the fd takes nothing for idle_ms.
bool fd_write_all(int fd, const uint8_t *bytes, size_t len, int idle_ms = 20000);
// Reads until `out` holds `want` bytes or idle_ms pass without one; the size held.
size_t fd_read_until(int fd, std::vector<uint8_t> *out, size_t want, int idle_ms = 10000);

// A reproducible byte stream that no shift or reordering maps onto itself.
std::vector<uint8_t> byte_stream(size_t len, uint32_t seed);
// The process's threads and open descriptors.
long count_threads(void);
long count_descriptors(void);
