// The fake UART: its driver model, the test's controls, and the system-call entries
// stacked on the POSIX layer's table, which serve the fakes' descriptors and paths and
// pass everything else on to the entries they replaced. A thread blocked on a fake
// (poll, TIOCMIWAIT) sleeps in a real poll() on an eventfd of its own, which every
// change of a fake's state writes to.
#include "fake_uart.h"

#include <errno.h>
#include <linux/serial.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <set>

#include "serial/platform/posix/syscalls.h"

namespace {

// The kernel's struct termios2, as TCGETS2 and TCSETS2 take it; a fake keeps its
// settings in one, the output speed in c_ospeed.
struct KernelTermios2 {
  uint32_t c_iflag, c_oflag, c_cflag, c_lflag;
  uint8_t c_line, c_cc[19];
  uint32_t c_ispeed, c_ospeed;
};
constexpr unsigned long kGets2 = _IOR('T', 0x2A, KernelTermios2);
constexpr unsigned long kSets2 = _IOW('T', 0x2B, KernelTermios2);

}  // namespace

struct FakeUart {
  std::string path;
  int index = 0;         // the minor number of its device node, from 64
  std::vector<int> fds;  // its open descriptors (eventfds the fake made)
  // A serial port's state after boot.
  KernelTermios2 t = {ICRNL | IXON, OPOST | ONLCR, B9600 | CS8 | CREAD | HUPCL | CLOCAL,
                      ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN, 0,
                      {3, 28, 127, 21, 4, 0, 1, 0, 0x11, 0x13, 26, 0, 18, 15, 23, 22, 0, 0, 0}, 9600, 9600};
  int lines = 0;  // TIOCM_ bits, outputs and inputs
  std::vector<int> line_history;
  unsigned rts_meddling = 0;
  serial_icounter_struct icount = {};
  std::deque<uint8_t> rx, tx;
  size_t tx_capacity = 4096;
  int64_t tx_clock_ns = 0;  // when the next character began to go out
  std::string sent;
  std::map<unsigned long, unsigned> ioctl_counts;
  int serial_flags = 0;  // TIOCGSERIAL's flags
  bool hung_up = false;
};

namespace {

struct FakeState {
  std::mutex lock;  // guards everything here and every fake; nothing blocks holding it
  std::vector<FakeUart *> uarts;
  std::set<int> waiters;  // eventfds of threads blocked in a poll or TIOCMIWAIT on a fake
  posix::SysCalls previous;  // the entries the fakes replaced
  bool installed = false;
};
FakeState &state() {
  static FakeState *s = new FakeState();  // outlives threads still in a call at exit
  return *s;
}

// The calling thread's wake-up eventfd.
struct Waiter {
  int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  ~Waiter() { close(fd); }
};
thread_local Waiter waiter;

int fail(int err) { return errno = err, -1; }

int64_t now_ns() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

FakeUart *by_fd(int fd) {
  for (FakeUart *u : state().uarts)
    if (std::find(u->fds.begin(), u->fds.end(), fd) != u->fds.end()) return u;
  return nullptr;
}

FakeUart *by_path(const char *path) {
  for (FakeUart *u : state().uarts)
    if (path != nullptr && u->path == path) return u;
  return nullptr;
}

// Wakes every waiter to look again.
void wake() {
  uint64_t one = 1;
  for (int fd : state().waiters) {
    ssize_t rc = write(fd, &one, sizeof one);
    (void)rc;  // a full counter wakes it all the same
  }
}

// Blocks in the waiter's eventfd (and `others`, the caller's own descriptors) until a
// wake or `ms`, with the lock let go meanwhile; poll()'s result, errno kept.
int sleep_unlocked(std::unique_lock<std::mutex> &hold, std::vector<struct pollfd> &others, int ms) {
  state().waiters.insert(waiter.fd);
  hold.unlock();
  others.push_back({waiter.fd, POLLIN, 0});
  int rc = state().previous.poll(others.data(), others.size(), ms), err = errno;
  others.pop_back();
  uint64_t count;
  ssize_t drained = read(waiter.fd, &count, sizeof count);
  (void)drained;
  hold.lock();
  state().waiters.erase(waiter.fd);
  return errno = err, rc;
}

// Ten bits a character at the line's speed.
int64_t char_ns(const FakeUart *u) { return int64_t(10) * 1000000000 / u->t.c_ospeed; }

bool output_flowing(const FakeUart *u) {
  return u->t.c_ospeed != 0 && !((u->t.c_cflag & CRTSCTS) && !(u->lines & TIOCM_CTS));
}

// Moves what has gone out at the line's speed from the output queue.
void advance(FakeUart *u) {
  int64_t now = now_ns();
  if (!output_flowing(u) || u->tx.empty()) {
    u->tx_clock_ns = now;
    return;
  }
  for (int64_t each = char_ns(u); !u->tx.empty() && now - u->tx_clock_ns >= each; u->tx_clock_ns += each) {
    u->sent.push_back(char(u->tx.front()));
    u->tx.pop_front();
  }
  if (u->tx.empty()) u->tx_clock_ns = now;
}

// Nanoseconds until the next character has gone out; -1 when output does not move.
int64_t next_char_ns(const FakeUart *u) {
  if (!output_flowing(u) || u->tx.empty()) return -1;
  return std::max<int64_t>(0, u->tx_clock_ns + char_ns(u) - now_ns());
}

// The output lines to `lines`, recorded when they changed.
void drive_lines(FakeUart *u, int lines) {
  const int outputs = TIOCM_DTR | TIOCM_RTS;
  lines = (u->lines & ~outputs) | (lines & outputs);
  if (lines != u->lines) u->lines = lines, u->line_history.push_back(lines & outputs);
}

template <typename Call>
auto locked(Call call) {
  std::lock_guard<std::mutex> hold(state().lock);
  return call();
}

// Opens an entry: the fake that `find` names, with the lock held as `hold`; or, for
// anything else, the call passed on to the entry the fakes replaced.
#define FAKE_ENTRY(find, forward)                  \
  std::unique_lock<std::mutex> hold(state().lock); \
  FakeUart *u = find;                              \
  if (u == nullptr) return hold.unlock(), state().previous.forward

int fake_open(const char *path, int flags, mode_t mode) {
  FAKE_ENTRY(by_path(path), open(path, flags, mode));
  int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd >= 0 && u->fds.empty()) drive_lines(u, TIOCM_DTR | TIOCM_RTS);  // as a tty's first open does
  if (fd >= 0) u->fds.push_back(fd);
  return fd;
}

int fake_close(int fd) {
  FAKE_ENTRY(by_fd(fd), close(fd));
  u->fds.erase(std::find(u->fds.begin(), u->fds.end(), fd));
  if (u->fds.empty() && (u->t.c_cflag & HUPCL)) drive_lines(u, 0);
  return close(fd);
}

ssize_t fake_read(int fd, void *buf, size_t len) {
  FAKE_ENTRY(by_fd(fd), read(fd, buf, len));
  if (u->hung_up) return fail(EIO);
  size_t n = std::min(len, u->rx.size());
  if (n == 0 && len > 0) return fail(EAGAIN);
  std::copy_n(u->rx.begin(), n, static_cast<uint8_t *>(buf));
  u->rx.erase(u->rx.begin(), u->rx.begin() + n);
  return ssize_t(n);
}

ssize_t fake_write(int fd, const void *buf, size_t len) {
  FAKE_ENTRY(by_fd(fd), write(fd, buf, len));
  if (u->hung_up) return fail(EIO);
  advance(u);
  size_t n = std::min(len, u->tx_capacity - std::min(u->tx_capacity, u->tx.size()));
  if (n == 0 && len > 0) return fail(EAGAIN);
  u->tx.insert(u->tx.end(), static_cast<const uint8_t *>(buf), static_cast<const uint8_t *>(buf) + n);
  return ssize_t(n);
}

// TIOCMIWAIT: blocks until one of the lines asked for changes (by the driver's
// counters) or a signal interrupts it.
int wait_lines(std::unique_lock<std::mutex> &hold, FakeUart *u, int lines) {
  const serial_icounter_struct was = u->icount;
  for (;;) {
    const serial_icounter_struct &c = u->icount;
    if (((lines & TIOCM_CTS) && c.cts != was.cts) || ((lines & TIOCM_DSR) && c.dsr != was.dsr) ||
        ((lines & TIOCM_CD) && c.dcd != was.dcd) || ((lines & TIOCM_RNG) && c.rng != was.rng))
      return 0;
    if (u->hung_up) return fail(EIO);
    std::vector<struct pollfd> none;
    if (sleep_unlocked(hold, none, -1) < 0) return -1;
  }
}

int set_lines(FakeUart *u, unsigned long request, int bits) {
  bits &= TIOCM_DTR | TIOCM_RTS;
  if ((u->t.c_cflag & CRTSCTS) && (bits & TIOCM_RTS)) u->rts_meddling++;
  drive_lines(u, request == TIOCMBIS ? u->lines | bits : request == TIOCMBIC ? u->lines & ~bits : bits);
  return 0;
}

int fake_ioctl(int fd, unsigned long request, void *arg) {
  FAKE_ENTRY(by_fd(fd), ioctl(fd, request, arg));
  u->ioctl_counts[request]++;
  int *value = static_cast<int *>(arg);
  switch (request) {
    case TIOCMGET: return *value = u->lines, 0;
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCMSET: return set_lines(u, request, *value);
    case TIOCMIWAIT: return wait_lines(hold, u, int(reinterpret_cast<intptr_t>(arg)));
    case TIOCGICOUNT: return *static_cast<serial_icounter_struct *>(arg) = u->icount, 0;
    case TIOCOUTQ: return advance(u), *value = int(u->tx.size()), 0;
    case FIONREAD: return *value = int(u->rx.size()), 0;
    case TIOCEXCL:
    case TIOCNXCL: return 0;  // only other programs' opens would show it
    case TIOCGSERIAL: {
      serial_struct *info = static_cast<serial_struct *>(arg);
      return *info = {}, info->flags = u->serial_flags, 0;
    }
    case TIOCSSERIAL: return u->serial_flags = static_cast<const serial_struct *>(arg)->flags, 0;
    case kGets2: return *static_cast<KernelTermios2 *>(arg) = u->t, 0;
    case kSets2: return advance(u), u->t = *static_cast<const KernelTermios2 *>(arg), wake(), 0;
  }
  return fail(ENOTTY);
}

int fake_tcgetattr(int fd, struct termios *t) {
  FAKE_ENTRY(by_fd(fd), tcgetattr(fd, t));
  *t = termios{};
  t->c_iflag = u->t.c_iflag, t->c_oflag = u->t.c_oflag, t->c_cflag = u->t.c_cflag, t->c_lflag = u->t.c_lflag;
  memcpy(t->c_cc, u->t.c_cc, sizeof u->t.c_cc);
  return 0;
}

// The speed stays as TCSETS2 last set it (the layer sets it there).
int fake_tcsetattr(int fd, int when, const struct termios *t) {
  FAKE_ENTRY(by_fd(fd), tcsetattr(fd, when, t));
  advance(u);
  u->t.c_iflag = t->c_iflag, u->t.c_oflag = t->c_oflag, u->t.c_cflag = t->c_cflag, u->t.c_lflag = t->c_lflag;
  memcpy(u->t.c_cc, t->c_cc, sizeof u->t.c_cc);
  wake();
  return 0;
}

int fake_tcflush(int fd, int queue) {
  FAKE_ENTRY(by_fd(fd), tcflush(fd, queue));
  advance(u);
  if (queue != TCOFLUSH) u->rx.clear();
  if (queue != TCIFLUSH) u->tx.clear();
  wake();
  return 0;
}

// XON and XOFF through the driver's priority path, ahead of its output queue.
int fake_tcflow(int fd, int action) {
  FAKE_ENTRY(by_fd(fd), tcflow(fd, action));
  if (action != TCION && action != TCIOFF) return fail(EINVAL);
  advance(u);
  u->sent.push_back(char(u->t.c_cc[action == TCION ? VSTART : VSTOP]));
  return 0;
}

int fake_flock(int fd, int operation) {
  FAKE_ENTRY(by_fd(fd), flock(fd, operation));
  return 0;  // one open at a time here: the lock is always this one's
}

// A serial port's character device (ttyS, major 4, minors from 64).
int device_stat(const FakeUart *u, struct stat *st) {
  *st = {};
  st->st_mode = S_IFCHR | 0660, st->st_rdev = makedev(4, 64 + u->index);
  return 0;
}
int fake_fstat(int fd, struct stat *st) {
  FAKE_ENTRY(by_fd(fd), fstat(fd, st));
  return device_stat(u, st);
}
int fake_stat(const char *path, struct stat *st) {
  FAKE_ENTRY(by_path(path), stat(path, st));
  return device_stat(u, st);
}
int fake_isatty(int fd) {
  FAKE_ENTRY(by_fd(fd), isatty(fd));
  return 1;
}

// Under the lock: what a fake entry of a poll reports now, and in *next_ns when output
// it waits for has room again (left alone when it is not waiting on output).
short fake_revents(FakeUart *u, short events, int64_t *next_ns) {
  advance(u);
  if (u->hung_up) return POLLHUP;
  short revents = 0;
  if ((events & POLLIN) && !u->rx.empty()) revents |= POLLIN;
  if ((events & POLLOUT) && u->tx.size() < u->tx_capacity) revents |= POLLOUT;
  if ((events & POLLOUT) && revents == 0) *next_ns = next_char_ns(u);
  return revents;
}

// A poll over fakes and other descriptors: the fakes' readiness comes from their
// state, the others' from the poll() in force before, slept in beside the waiter.
int fake_poll(struct pollfd *fds, nfds_t count, int timeout) {
  std::vector<FakeUart *> fakes(count);
  std::unique_lock<std::mutex> hold(state().lock);
  bool any = false;
  for (nfds_t i = 0; i < count; i++) any |= (fakes[i] = fds[i].fd >= 0 ? by_fd(fds[i].fd) : nullptr) != nullptr;
  if (!any) return hold.unlock(), state().previous.poll(fds, count, timeout);
  int64_t deadline = timeout < 0 ? -1 : now_ns() + int64_t(timeout) * 1000000;
  std::vector<struct pollfd> real(fds, fds + count);
  for (nfds_t i = 0; i < count; i++)
    if (fakes[i] != nullptr) real[i].fd = -1;
  for (;;) {
    int ready = 0;
    int64_t next = -1;  // ns until a fake's output queue has room again
    for (nfds_t i = 0; i < count; i++)
      if (fakes[i] != nullptr) ready += (fds[i].revents = fake_revents(fakes[i], fds[i].events, &next)) != 0;
    int64_t left = deadline < 0 ? -1 : std::max<int64_t>(0, deadline - now_ns());
    if (next >= 0 && (left < 0 || next < left)) left = next;
    int ms = ready ? 0 : left < 0 ? -1 : int((left + 999999) / 1000000);
    if (sleep_unlocked(hold, real, ms) < 0) return -1;
    for (nfds_t i = 0; i < count; i++)
      if (fakes[i] == nullptr) ready += (fds[i].revents = real[i].revents) != 0;
    if (ready > 0 || (deadline >= 0 && now_ns() >= deadline)) return ready;
  }
}

// Under the lock: stacks the entries on the table once.
void install_calls() {
  FakeState &s = state();
  if (s.installed) return;
  s.previous = posix::sys, s.installed = true;
  posix::sys = posix::SysCalls{fake_open,  fake_close, fake_read, fake_write,    fake_ioctl,
                               fake_tcgetattr, fake_tcsetattr, fake_tcflush, fake_tcflow, fake_poll,
                               fake_flock, fake_fstat, fake_stat, fake_isatty};
}

}  // namespace

FakeUart *fake_uart_attach(const char *path) {
  return locked([&] {
    if (FakeUart *u = by_path(path)) return u;
    FakeUart *u = new FakeUart();
    u->path = path, u->index = int(state().uarts.size()), u->tx_clock_ns = now_ns();
    state().uarts.push_back(u);
    install_calls();
    return u;
  });
}

void fake_uart_reset_all(void) {
  locked([] {
    FakeState &s = state();
    for (FakeUart *u : s.uarts) {
      for (int fd : u->fds) close(fd);
      delete u;
    }
    s.uarts.clear();
    if (s.installed) posix::sys = s.previous, s.installed = false;
  });
}

void fake_uart_set_line(FakeUart *u, int bit, bool up) {
  locked([&] {
    advance(u);
    int was = u->lines;
    u->lines = up ? (u->lines | bit) : (u->lines & ~bit);
    if (was == u->lines) return;
    if (bit == TIOCM_CTS) u->icount.cts++;
    if (bit == TIOCM_DSR) u->icount.dsr++;
    if (bit == TIOCM_CD) u->icount.dcd++;
    if (bit == TIOCM_RNG && !up) u->icount.rng++;  // the driver counts the trailing edge of a ring
    wake();
  });
}

void fake_uart_receive(FakeUart *u, const std::string &bytes) {
  locked([&] { u->rx.insert(u->rx.end(), bytes.begin(), bytes.end()), wake(); });
}

void fake_uart_line_error(FakeUart *u, FakeLineError kind, uint8_t byte) {
  locked([&] {
    switch (kind) {
      case FAKE_FRAMING: u->icount.frame++, byte = 0; break;
      case FAKE_PARITY: u->icount.parity++, byte = 0; break;
      case FAKE_OVERRUN: u->icount.overrun++; break;
      case FAKE_BREAK: u->icount.brk++, byte = 0; break;
    }
    u->rx.push_back(byte), wake();
  });
}

void fake_uart_hang_up(FakeUart *u) { locked([&] { u->hung_up = true, u->rx.clear(), wake(); }); }
void fake_uart_set_serial_flags(FakeUart *u, int flags) { locked([&] { u->serial_flags = flags; }); }
int fake_uart_serial_flags(FakeUart *u) { return locked([&] { return u->serial_flags; }); }

std::string fake_uart_sent(FakeUart *u) { return locked([&] { return advance(u), u->sent; }); }
size_t fake_uart_output_queue(FakeUart *u) { return locked([&] { return advance(u), u->tx.size(); }); }
void fake_uart_set_output_capacity(FakeUart *u, size_t capacity) { locked([&] { u->tx_capacity = capacity; }); }
int fake_uart_lines(FakeUart *u) { return locked([&] { return u->lines; }); }
std::vector<int> fake_uart_line_history(FakeUart *u) { return locked([&] { return u->line_history; }); }
unsigned fake_uart_rts_meddling(FakeUart *u) { return locked([&] { return u->rts_meddling; }); }
unsigned fake_uart_ioctl_count(FakeUart *u, unsigned long request) {
  return locked([&] { return u->ioctl_counts[request]; });
}
