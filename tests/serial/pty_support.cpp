// Pseudo-terminal pairs and process counts for the library's integration tests.
#include "pty_support.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

bool pty_open(PtyPair *pty, uint8_t port, std::string *why) {
  char name[128];
  if (openpty(&pty->master, &pty->slave, name, nullptr, nullptr) != 0) {
    *why = std::string("openpty: ") + strerror(errno);
    return false;
  }
  fcntl(pty->master, F_SETFD, FD_CLOEXEC);
  fcntl(pty->slave, F_SETFD, FD_CLOEXEC);
  pty->path = name;
  std::string var = "TAVO_COM" + std::to_string(port + 1);
  setenv(var.c_str(), name, 1);
  return true;
}

void pty_close(PtyPair *pty) {
  if (pty->master >= 0) close(pty->master);
  if (pty->slave >= 0) close(pty->slave);
  pty->master = pty->slave = -1;
}

bool fd_write_all(int fd, const uint8_t *bytes, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, bytes, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

size_t fd_read_until(int fd, std::vector<uint8_t> *out, size_t want, int idle_ms) {
  uint8_t buf[65536];
  while (out->size() < want) {
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, idle_ms);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    size_t room = want - out->size();
    ssize_t n = read(fd, buf, room < sizeof buf ? room : sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out->insert(out->end(), buf, buf + n);
  }
  return out->size();
}

std::vector<uint8_t> byte_stream(size_t len, uint32_t seed) {
  std::vector<uint8_t> bytes(len);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < len; i++) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bytes[i] = static_cast<uint8_t>(x >> 24);
  }
  return bytes;
}

static int count_entries(const char *dir_name) {
  DIR *dir = opendir(dir_name);
  if (dir == nullptr) return -1;
  int n = 0;
  while (struct dirent *e = readdir(dir))
    if (e->d_name[0] != '.') n++;
  closedir(dir);
  return n;
}

int count_threads(void) { return count_entries("/proc/self/task"); }

// The directory stream's own descriptor is not counted.
int count_descriptors(void) { return count_entries("/proc/self/fd") - 1; }

double process_cpu_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

bool same_termios(const struct termios &a, const struct termios &b, std::string *diff) {
  diff->clear();
  if (a.c_iflag != b.c_iflag) *diff += " c_iflag";
  if (a.c_oflag != b.c_oflag) *diff += " c_oflag";
  if (a.c_cflag != b.c_cflag) *diff += " c_cflag";
  if (a.c_lflag != b.c_lflag) *diff += " c_lflag";
  if (memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) != 0) *diff += " c_cc";
  if (cfgetispeed(&a) != cfgetispeed(&b)) *diff += " input speed";
  if (cfgetospeed(&a) != cfgetospeed(&b)) *diff += " output speed";
  return diff->empty();
}
