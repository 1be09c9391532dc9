// Network port addresses and the connection: "rfc2217://HOST:PORT" or
// "tcp://HOST:PORT" (HOST a name, an IPv4 address or a bracketed IPv6 address), a
// connect bounded in time, TCP_NODELAY, and keep-alive so that a dead server is noticed.
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "net_connect.h"

namespace posix {

namespace {

const char kRfc2217Scheme[] = "rfc2217://";
const char kTcpScheme[] = "tcp://";

// How long a connect may take, all addresses of the name together.
const int kConnectMs = 4000;

// A connection with nothing heard for this long is probed; after the probes go
// unanswered, or sent data stays unacknowledged for kUnackedMs, it is broken.
const int kKeepIdleS = 10, kKeepIntervalS = 3, kKeepProbes = 3;
const unsigned kUnackedMs = 20000;

int64_t monotonic_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Splits "HOST:PORT" or "[V6]:PORT".
bool split_host_port(const char *rest, std::string *host, std::string *port) {
  const char *colon;
  if (rest[0] == '[') {
    const char *close = strchr(rest, ']');
    if (close == nullptr || close[1] != ':') return false;
    host->assign(rest + 1, close);
    colon = close + 1;
  } else {
    colon = strrchr(rest, ':');
    if (colon == nullptr || memchr(rest, ':', static_cast<size_t>(colon - rest)) != nullptr) return false;
    host->assign(rest, colon);
  }
  *port = colon + 1;
  if (host->empty() || port->empty() || port->size() > 5) return false;
  for (char ch : *port) {
    if (ch < '0' || ch > '9') return false;
  }
  long n = strtol(port->c_str(), nullptr, 10);
  return n > 0 && n <= 65535;
}

void set_socket_options(int fd) {
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepProbes, sizeof kKeepProbes);
  setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUnackedMs, sizeof kUnackedMs);
}

// Connects a non-blocking socket to one address by the deadline; the socket, or -1
// with errno set.
int connect_one(const struct addrinfo *ai, int64_t deadline) {
  int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
  if (fd < 0) return -1;
  if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) return fd;
  int err = errno;
  while (err == EINPROGRESS || err == EINTR) {
    int64_t left = deadline - monotonic_ms();
    if (left <= 0) {
      err = ETIMEDOUT;
      break;
    }
    struct pollfd p = {fd, POLLOUT, 0};
    int n = poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n == 0 ? ETIMEDOUT : errno;
      break;
    }
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err == 0) return fd;
  }
  close(fd);
  errno = err;
  return -1;
}

}  // namespace

bool net_parse(const char *path, NetAddress *out) {
  const char *rest;
  if (strncmp(path, kRfc2217Scheme, sizeof kRfc2217Scheme - 1) == 0) {
    out->rfc2217 = true;
    rest = path + sizeof kRfc2217Scheme - 1;
  } else if (strncmp(path, kTcpScheme, sizeof kTcpScheme - 1) == 0) {
    out->rfc2217 = false;
    rest = path + sizeof kTcpScheme - 1;
  } else {
    return false;
  }
  return split_host_port(rest, &out->host, &out->port);
}

int net_connect(const NetAddress &addr) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
  struct addrinfo *list = nullptr;
  int rc = getaddrinfo(addr.host.c_str(), addr.port.c_str(), &hints, &list);
  if (rc != 0) {
    errno = rc == EAI_SYSTEM ? errno : kNoSuchHost;
    return -1;
  }
  int64_t deadline = monotonic_ms() + kConnectMs;
  int fd = -1, err = kNoSuchHost;
  for (const struct addrinfo *ai = list; ai != nullptr && fd < 0; ai = ai->ai_next) {
    fd = connect_one(ai, deadline);
    if (fd < 0) err = errno;
    if (err == ETIMEDOUT) break;
  }
  freeaddrinfo(list);
  if (fd < 0) {
    errno = err;
    return -1;
  }
  set_socket_options(fd);
  return fd;
}

}  // namespace posix
