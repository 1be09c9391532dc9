// Support for the library's tests on POSIX systems: pseudo-terminal pairs, descriptor
// I/O on their masters, the process's threads and files.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "support.h"

bool pty_open(PtyPair *pty, uint8_t port, std::string *why) {
  char name[128];
  if (openpty(&pty->master, &pty->slave, name, nullptr, nullptr) != 0) {
    *why = std::string("openpty: ") + strerror(errno);
    return false;
  }
  fcntl(pty->master, F_SETFD, FD_CLOEXEC), fcntl(pty->slave, F_SETFD, FD_CLOEXEC);
  fcntl(pty->master, F_SETFL, fcntl(pty->master, F_GETFL) | O_NONBLOCK);
  setenv(("TAVO_COM" + std::to_string(port + 1)).c_str(), name, 1);
  return true;
}

void pty_close(PtyPair *pty) {
  for (int *fd : {&pty->master, &pty->slave})
    if (*fd >= 0) close(*fd), *fd = -1;
}

// Waits until fd is ready for `events`; false when idle_ms pass first.
static bool fd_ready(int fd, short events, int idle_ms) {
  struct pollfd p = {fd, events, 0};
  int r;
  while ((r = poll(&p, 1, idle_ms)) < 0 && errno == EINTR) continue;
  return r > 0;
}

bool fd_write_all(int fd, const uint8_t *bytes, size_t len, int idle_ms) {
  while (len > 0) {
    ssize_t n = write(fd, bytes, len);
    if (n > 0) bytes += n, len -= size_t(n);
    else if (n < 0 && errno != EINTR && (errno != EAGAIN || !fd_ready(fd, POLLOUT, idle_ms))) return false;
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

long count_threads(void) { return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}); }
long count_descriptors(void) { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }
