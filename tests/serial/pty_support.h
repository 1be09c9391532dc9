// Pseudo-terminal pairs for the library's integration tests: the library opens the
// slave as COM<n> (TAVO_COM<n> points at it), the test plays the far end on the
// master. Also the process's thread, descriptor and CPU time counts.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <termios.h>

#include <string>
#include <vector>

struct PtyPair {
  int master = -1;
  int slave = -1;  // kept open by the test: it keeps the pair alive and reads termios
  std::string path;
};

// Opens a pair and points TAVO_COM<port + 1> at its slave. False (with the reason in
// *why) when the machine has no pseudo-terminals.
bool pty_open(PtyPair *pty, uint8_t port, std::string *why);
void pty_close(PtyPair *pty);

// Writes all of `bytes` to fd (blocking); false on an error.
bool fd_write_all(int fd, const uint8_t *bytes, size_t len);

// Reads from fd into `out` until it holds `want` bytes or `idle_ms` pass without a
// byte; returns how many it holds.
size_t fd_read_until(int fd, std::vector<uint8_t> *out, size_t want, int idle_ms);

// A reproducible byte stream that no shift or reordering maps onto itself.
std::vector<uint8_t> byte_stream(size_t len, uint32_t seed);

// Entries of /proc/self/task and /proc/self/fd.
int count_threads(void);
int count_descriptors(void);

// CPU time used by the whole process, in milliseconds.
double process_cpu_ms(void);

// termios fields compared before and after the library had the device.
bool same_termios(const struct termios &a, const struct termios &b, std::string *diff);
