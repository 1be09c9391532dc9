// Network ports as devices: the descriptors the device owns, the open (connect and,
// for RFC 2217, negotiate), the close, reads that decode the telnet stream, writes
// that escape it without ever leaving half an escape on the wire, and poll().
#include <errno.h>
#include <string.h>
#include <termios.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <new>

#include "net_connect.h"
#include "net_device.h"
#include "syscalls.h"

namespace posix {

namespace {

// Connections by descriptor. A descriptor past the table cannot be a network port.
const int kMaxFd = 4096;
std::atomic<Conn *> conns[kMaxFd];
// How many are open: poll() looks for network descriptors only while there are any.
std::atomic<int> open_conns{0};

// At most this much of one write is escaped at a time; the rest waits for the next.
const size_t kWriteChunk = 64 * 1024;

void conn_free(Conn *c) {
  for (int fd : {c->ready_fd, c->modem_fd, c->answer_fd}) {
    if (fd >= 0) close(fd);
  }
  delete c;
}

Conn *conn_new(int fd, bool rfc2217) {
  Conn *c = new (std::nothrow) Conn();
  if (c == nullptr) return nullptr;
  c->fd = fd;
  c->ready_fd = c->modem_fd = c->answer_fd = -1;
  c->rfc2217 = rfc2217;
  c->ready_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  c->modem_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  c->answer_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (c->ready_fd < 0 || c->modem_fd < 0 || c->answer_fd < 0) {
    conn_free(c);
    return nullptr;
  }
  // A raw line as a tty in the layer's hands would have it: 9600 8N1, no handshake.
  c->line.cflag = B9600 | CS8 | CREAD | CLOCAL;
  c->line.speed = 9600;
  c->modem_lines = TIOCM_DTR | TIOCM_RTS;  // raised by the open, as on a tty
  return c;
}


// The number of source bytes among src[0..n) whose escaped form is wholly within the
// first sent bytes; *half is set when the next source byte is a 0xFF of which only the
// first IAC was sent.
size_t whole_source_bytes(const uint8_t *src, size_t n, size_t sent, bool *half) {
  size_t used = 0, i = 0;
  *half = false;
  for (; i < n; i++) {
    size_t width = src[i] == telnet::IAC ? 2 : 1;
    if (used + width > sent) {
      *half = used < sent;
      break;
    }
    used += width;
  }
  return i;
}

ssize_t write_raw(Conn *c, const uint8_t *src, size_t n) {
  ssize_t sent = send(c->fd, src, n, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent < 0 && errno != EAGAIN && errno != EINTR) {
    conn_die(c);
    errno = EIO;
  }
  return sent;
}

ssize_t write_escaped(Conn *c, const uint8_t *src, size_t n) {
  if (n > kWriteChunk) n = kWriteChunk;
  std::vector<uint8_t> wire;
  telnet::escape(src, n, &wire);
  ssize_t sent = send(c->fd, wire.data(), wire.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent < 0) {
    if (errno != EAGAIN && errno != EINTR) {
      conn_die(c);
      errno = EIO;
    }
    return -1;
  }
  bool half = false;
  size_t whole = whole_source_bytes(src, n, static_cast<size_t>(sent), &half);
  if (half) {
    // The first IAC of a doubled 0xFF went; its second goes before anything else, and
    // the byte counts as written.
    c->out.push_back(telnet::IAC);
    whole++;
  }
  if (whole == 0) {
    errno = EAGAIN;
    return -1;
  }
  return static_cast<ssize_t>(whole);
}

size_t kept_count(const Conn *c) { return c->kept.size() - c->kept_head; }

size_t take_kept(Conn *c, uint8_t *buf, size_t n) {
  size_t k = kept_count(c);
  if (n > k) n = k;
  memcpy(buf, c->kept.data() + c->kept_head, n);
  c->kept_head += n;
  if (c->kept_head == c->kept.size()) {
    c->kept.clear();
    c->kept_head = 0;
    if (!c->dead) drop_eventfd(c->ready_fd);
  }
  return n;
}

}  // namespace

bool net_path(const char *path) {
  NetAddress addr;
  return path != nullptr && net_parse(path, &addr);
}

Conn *net_conn(int fd) {
  if (fd < 0 || fd >= kMaxFd || open_conns.load(std::memory_order_acquire) == 0) return nullptr;
  return conns[fd].load(std::memory_order_acquire);
}

int net_open(const char *path) {
  NetAddress addr;
  if (!net_parse(path, &addr)) {
    errno = ENOENT;
    return -1;
  }
  int fd = net_connect(addr);
  if (fd < 0) return -1;
  Conn *c = fd < kMaxFd ? conn_new(fd, addr.rfc2217) : nullptr;
  if (c == nullptr) {
    close(fd);
    errno = fd < kMaxFd ? ENOMEM : EMFILE;
    return -1;
  }
  if (c->rfc2217) rfc2217_start(c);
  if (c->dead) {  // closed during the negotiation: ser2net does so when it cannot open the device
    conn_free(c);
    close(fd);
    errno = ECONNRESET;
    return -1;
  }
  open_conns.fetch_add(1, std::memory_order_release);
  conns[fd].store(c, std::memory_order_release);
  return fd;
}

// The caller has stopped every other use of the descriptor, as for any close.
int net_close(Conn *c) {
  int fd = c->fd;
  conns[fd].store(nullptr, std::memory_order_release);
  open_conns.fetch_sub(1, std::memory_order_release);
  conn_free(c);
  return close(fd);
}

ssize_t net_read(Conn *c, void *buf, size_t n) {
  std::lock_guard<std::mutex> hold(c->lock);
  uint8_t *data = static_cast<uint8_t *>(buf);
  if (n == 0) return 0;
  if (kept_count(c) > 0) return static_cast<ssize_t>(take_kept(c, data, n));
  if (c->dead) {
    errno = EIO;  // as a tty whose far end has gone
    return -1;
  }
  // Nothing kept: whatever woke the reader (a line-state notification) has been seen.
  drop_eventfd(c->ready_fd);
  for (;;) {
    ssize_t got = recv(c->fd, data, n, MSG_DONTWAIT);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) break;
    if (got <= 0) {
      conn_die(c);
      errno = EIO;
      return -1;
    }
    size_t decoded = c->rfc2217 ? conn_decode(c, data, static_cast<size_t>(got), data) : static_cast<size_t>(got);
    if (decoded > 0) {
      conn_flush(c);  // negotiation answers the stream asked for
      return static_cast<ssize_t>(decoded);
    }
  }
  conn_flush(c);
  errno = EAGAIN;
  return -1;
}

ssize_t net_write(Conn *c, const void *buf, size_t n) {
  std::lock_guard<std::mutex> hold(c->lock);
  if (c->dead) {
    errno = EIO;
    return -1;
  }
  if (!conn_flush(c)) return -1;
  if (!c->out.empty()) {
    errno = EAGAIN;
    return -1;
  }
  if (n == 0) return 0;
  const uint8_t *src = static_cast<const uint8_t *>(buf);
  return c->rfc2217 ? write_escaped(c, src, n) : write_raw(c, src, n);
}

bool conn_flush(Conn *c) {
  if (c->dead) {
    errno = EIO;
    return false;
  }
  size_t done = 0;
  while (done < c->out.size()) {
    ssize_t sent = send(c->fd, c->out.data() + done, c->out.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno == EAGAIN) break;
    if (sent < 0) {
      conn_die(c);
      errno = EIO;
      return false;
    }
    done += static_cast<size_t>(sent);
  }
  c->out.erase(c->out.begin(), c->out.begin() + static_cast<std::ptrdiff_t>(done));
  return true;
}

void conn_pump(Conn *c) {
  while (!c->dead) {
    uint8_t raw[4096];
    ssize_t got = recv(c->fd, raw, sizeof raw, MSG_DONTWAIT);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) break;
    if (got <= 0) {
      conn_die(c);
      break;
    }
    uint8_t data[sizeof raw];
    size_t n = c->rfc2217 ? conn_decode(c, raw, static_cast<size_t>(got), data) : static_cast<size_t>(got);
    if (n > 0) {
      c->kept.insert(c->kept.end(), c->rfc2217 ? data : raw, (c->rfc2217 ? data : raw) + n);
      poke_eventfd(c->ready_fd);
    }
  }
  conn_flush(c);
}

size_t conn_decode(Conn *c, const uint8_t *raw, size_t n, uint8_t *data) {
  size_t out = telnet::decode(&c->decoder, raw, n, data, rfc2217_on_event, c);
  if (!c->purging) return out;
  uint64_t first = c->decoder.produced - out;  // the place of data[0] in the data
  size_t drop = c->purge_end <= first ? 0 : static_cast<size_t>(std::min<uint64_t>(out, c->purge_end - first));
  memmove(data, data + drop, out - drop);
  if (c->decoder.produced >= c->purge_end) c->purging = false;
  return out - drop;
}

void conn_die(Conn *c) {
  if (c->dead) return;
  c->dead = true;
  for (int fd : {c->ready_fd, c->modem_fd, c->answer_fd}) poke_eventfd(fd);
}

void drop_eventfd(int fd) {
  uint64_t count;
  ssize_t rc = read(fd, &count, sizeof count);
  (void)rc;  // already zero
}

void poke_eventfd(int fd) {
  uint64_t one = 1;
  ssize_t rc = write(fd, &one, sizeof one);
  (void)rc;  // a full counter still reads ready
}

// Each network descriptor is polled through its ready eventfd beside the socket: kept
// data and a hang-up seen by another thread wake the poller as the socket itself would.
int net_poll(struct pollfd *fds, nfds_t n, int timeout) {
  if (open_conns.load(std::memory_order_acquire) == 0) return sys_native.poll(fds, n, timeout);
  const nfds_t kMax = 16;
  Conn *owner[kMax];
  struct pollfd all[2 * kMax];
  nfds_t extra = 0;
  if (n > kMax) return sys_native.poll(fds, n, timeout);  // the layer polls two at most
  for (nfds_t i = 0; i < n; i++) {
    all[i] = fds[i];
    owner[i] = net_conn(fds[i].fd);
    if (owner[i] != nullptr && (fds[i].events & POLLIN)) all[n + extra++] = {owner[i]->ready_fd, POLLIN, 0};
  }
  int rc = sys_native.poll(all, n + extra, timeout);
  if (rc < 0) return rc;
  int ready = 0;
  nfds_t next_extra = n;
  for (nfds_t i = 0; i < n; i++) {
    fds[i].revents = all[i].revents;
    if (owner[i] != nullptr && (fds[i].events & POLLIN)) {
      if (all[next_extra++].revents & POLLIN) fds[i].revents |= POLLIN;
    }
    if (fds[i].revents != 0) ready++;
  }
  return ready;
}

}  // namespace posix
