// The fake UART's system-call entries, stacked on the POSIX layer's table: each serves
// the fake's own descriptors and paths and passes everything else on to the entry it
// replaced. A thread blocked on a fake (poll, TIOCMIWAIT) sleeps in a real poll() on an
// eventfd of its own, which every change of a fake's state writes to.
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "fake_uart_internal.h"
#include "serial/platform/posix/syscalls.h"

namespace {

// The kernel's struct termios2, as TCGETS2 and TCSETS2 take it.
struct KernelTermios2 {
  uint32_t c_iflag, c_oflag, c_cflag, c_lflag;
  uint8_t c_line;
  uint8_t c_cc[19];
  uint32_t c_ispeed, c_ospeed;
};
const unsigned long kGets2 = _IOR('T', 0x2A, KernelTermios2);
const unsigned long kSets2 = _IOW('T', 0x2B, KernelTermios2);

posix::SysCalls previous;  // the entries the fake replaced
bool installed = false;

// The calling thread's wake-up eventfd.
struct Waiter {
  int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  ~Waiter() { close(fd); }
};
thread_local Waiter waiter;

std::unique_lock<std::mutex> hold_state() { return std::unique_lock<std::mutex>(fake_state().lock); }

int fail(int err) {
  errno = err;
  return -1;
}

void drain_waiter() {
  uint64_t count;
  ssize_t rc = read(waiter.fd, &count, sizeof count);
  (void)rc;
}

int fake_open(const char *path, int flags, mode_t mode) {
  auto hold = hold_state();
  FakeUart *u = fake_by_path(path);
  if (u == nullptr) {
    hold.unlock();
    return previous.open(path, flags, mode);
  }
  if (u->exclusive && geteuid() != 0) return fail(EBUSY);
  int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return -1;
  u->fds.push_back(fd);
  if (u->fds.size() == 1 && u->baud != 0) fake_drive_lines(u, TIOCM_DTR | TIOCM_RTS);  // as a tty open does
  return fd;
}

int fake_close(int fd) {
  auto hold = hold_state();
  FakeUart *u = fake_by_fd(fd);
  if (u == nullptr) {
    hold.unlock();
    return previous.close(fd);
  }
  u->fds.erase(std::find(u->fds.begin(), u->fds.end(), fd));
  if (u->lock_holder == fd) u->lock_holder = -1;
  if (u->fds.empty()) {
    u->exclusive = false;
    if (u->cflag & HUPCL) fake_drive_lines(u, 0);
  }
  return close(fd);
}

ssize_t fake_read(int fd, void *buf, size_t len) {
  auto hold = hold_state();
  FakeUart *u = fake_by_fd(fd);
  if (u == nullptr) {
    hold.unlock();
    return previous.read(fd, buf, len);
  }
  if (u->hung_up) return fail(EIO);
  if (u->rx.empty()) return fail(EAGAIN);
  size_t n = 0;
  for (; n < len && !u->rx.empty(); n++) {
    static_cast<uint8_t *>(buf)[n] = u->rx.front();
    u->rx.pop_front();
  }
  fake_check_throttle(u);
  return ssize_t(n);
}

ssize_t fake_write(int fd, const void *buf, size_t len) {
  auto hold = hold_state();
  FakeUart *u = fake_by_fd(fd);
  if (u == nullptr) {
    hold.unlock();
    return previous.write(fd, buf, len);
  }
  if (u->hung_up) return fail(EIO);
  fake_advance(u);
  size_t room = u->tx_capacity > u->tx.size() ? u->tx_capacity - u->tx.size() : 0;
  if (room == 0 && len > 0) return fail(EAGAIN);
  size_t n = len < room ? len : room;
  u->tx.insert(u->tx.end(), static_cast<const uint8_t *>(buf), static_cast<const uint8_t *>(buf) + n);
  return ssize_t(n);
}

// TIOCMIWAIT: blocks until one of the lines asked for changes (by the driver's
// counters), the device hangs up, or a signal interrupts it.
int wait_lines(std::unique_lock<std::mutex> &hold, FakeUart *u, int lines) {
  const serial_icounter_struct was = u->icount;
  FakeState &s = fake_state();
  for (;;) {
    const serial_icounter_struct &c = u->icount;
    if (u->hung_up) return fail(EIO);
    if (((lines & TIOCM_CTS) && c.cts != was.cts) || ((lines & TIOCM_DSR) && c.dsr != was.dsr) ||
        ((lines & TIOCM_CD) && c.dcd != was.dcd) || ((lines & TIOCM_RNG) && c.rng != was.rng)) {
      return 0;
    }
    s.waiters.insert(waiter.fd);
    hold.unlock();
    struct pollfd pfd = {waiter.fd, POLLIN, 0};
    int rc = poll(&pfd, 1, -1);
    int err = errno;
    drain_waiter();
    hold.lock();
    s.waiters.erase(waiter.fd);
    if (rc < 0) return fail(err);
  }
}

int set_lines(FakeUart *u, unsigned long request, int bits) {
  bits &= TIOCM_DTR | TIOCM_RTS;
  if ((u->cflag & CRTSCTS) && (bits & TIOCM_RTS)) u->rts_meddling++;
  if (request == TIOCMBIS) fake_drive_lines(u, u->lines | bits);
  if (request == TIOCMBIC) fake_drive_lines(u, u->lines & ~bits);
  if (request == TIOCMSET) fake_drive_lines(u, bits);
  return 0;
}

int flow(FakeUart *u, int action) {
  fake_advance(u);
  switch (action) {
    case TCOOFF: u->stopped_by_tcflow = true; break;
    case TCOON: u->stopped_by_tcflow = false; break;
    case TCIOFF: fake_send_priority(u, u->cc[VSTOP]); break;
    case TCION: fake_send_priority(u, u->cc[VSTART]); break;
    default: return fail(EINVAL);
  }
  fake_wake();
  return 0;
}

int flush(FakeUart *u, int queue) {
  if (queue != TCIFLUSH && queue != TCOFLUSH && queue != TCIOFLUSH) return fail(EINVAL);
  if (queue != TCOFLUSH) {
    u->rx.clear();
    fake_check_throttle(u);
  }
  if (queue != TCIFLUSH) {
    fake_advance(u);
    u->tx.clear();
  }
  fake_wake();
  return 0;
}

int serial_info(FakeUart *u, unsigned long request, void *arg) {
  struct serial_struct *ss = static_cast<struct serial_struct *>(arg);
  if (request == TIOCGSERIAL) {
    memset(ss, 0, sizeof *ss);
    ss->type = PORT_16550A;
    ss->line = u->index;
    ss->baud_base = 115200;
    ss->xmit_fifo_size = 16;
    ss->flags = u->serial_flags;
    return 0;
  }
  bool was = (u->serial_flags & ASYNC_LOW_LATENCY) != 0;
  u->serial_flags = ss->flags;
  bool now = (u->serial_flags & ASYNC_LOW_LATENCY) != 0;
  if (now != was) u->low_latency_history.push_back(now);
  return 0;
}

int termios2(FakeUart *u, unsigned long request, KernelTermios2 *t) {
  if (request == kGets2) {
    memset(t, 0, sizeof *t);
    uint32_t code = fake_code_of_baud(u->baud);
    *t = KernelTermios2{u->iflag, u->oflag, (u->cflag & ~kFakeCbaud) | code, u->lflag, 0, {}, u->baud, u->baud};
    memcpy(t->c_cc, u->cc, sizeof t->c_cc);
    return 0;
  }
  uint32_t code = t->c_cflag & kFakeCbaud;
  uint32_t baud = code == kFakeBother ? t->c_ospeed : fake_baud_of_code(code);
  fake_set_termios(u, t->c_iflag, t->c_oflag, t->c_cflag, t->c_lflag, t->c_cc, baud);
  return 0;
}

int device_ioctl(std::unique_lock<std::mutex> &hold, FakeUart *u, unsigned long request, void *arg) {
  int *value = static_cast<int *>(arg);
  switch (request) {
    case TIOCMGET: *value = u->lines; return 0;
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCMSET: return set_lines(u, request, *value);
    case TIOCMIWAIT: return wait_lines(hold, u, int(reinterpret_cast<intptr_t>(arg)));
    case TIOCGICOUNT: *static_cast<serial_icounter_struct *>(arg) = u->icount; return 0;
    case TIOCOUTQ: fake_advance(u); *value = int(u->tx.size()); return 0;
    case FIONREAD: *value = int(u->rx.size()); return 0;
    case TIOCEXCL: u->exclusive = true; return 0;
    case TIOCNXCL: u->exclusive = false; return 0;
    case TIOCSBRK:
    case TIOCCBRK: return 0;
    case TCXONC: return flow(u, int(reinterpret_cast<intptr_t>(arg)));
    case TCFLSH: return flush(u, int(reinterpret_cast<intptr_t>(arg)));
    case TIOCGSERIAL:
    case TIOCSSERIAL: return serial_info(u, request, arg);
  }
  if (request == kGets2 || request == kSets2) return termios2(u, request, static_cast<KernelTermios2 *>(arg));
  return fail(ENOTTY);
}

int fake_ioctl(int fd, unsigned long request, void *arg) {
  auto hold = hold_state();
  FakeUart *u = fake_by_fd(fd);
  if (u == nullptr) {
    hold.unlock();
    return previous.ioctl(fd, request, arg);
  }
  u->ioctl_counts[request]++;
  auto injected = u->ioctl_errors.find(request);
  if (injected != u->ioctl_errors.end() && injected->second != 0) return fail(injected->second);
  if (u->hung_up) return fail(EIO);
  return device_ioctl(hold, u, request, arg);
}

int fake_tcgetattr(int fd, struct termios *t) {
  auto hold = hold_state();
  FakeUart *u = fake_by_fd(fd);
  if (u == nullptr) {
    hold.unlock();
    return previous.tcgetattr(fd, t);
  }
  if (u->hung_up) return fail(EIO);
  memset(t, 0, sizeof *t);
  uint32_t code = fake_code_of_baud(u->baud);
  t->c_iflag = u->iflag;
  t->c_oflag = u->oflag;
  t->c_cflag = (u->cflag & ~kFakeCbaud) | code;
  t->c_lflag = u->lflag;
  memcpy(t->c_cc, u->cc, sizeof u->cc);
  return 0;
}

int fake_tcsetattr(int fd, int when, const struct termios *t) {
  auto hold = hold_state();
  FakeUart *u = fake_by_fd(fd);
  if (u == nullptr) {
    hold.unlock();
    return previous.tcsetattr(fd, when, t);
  }
  if (u->hung_up) return fail(EIO);
  uint32_t code = t->c_cflag & kFakeCbaud;
  uint32_t baud = code == kFakeBother ? u->baud : fake_baud_of_code(code);
  fake_set_termios(u, t->c_iflag, t->c_oflag, t->c_cflag, t->c_lflag, t->c_cc, baud);
  return 0;
}

int fake_tcflush(int fd, int queue) {
  auto hold = hold_state();
  FakeUart *u = fake_by_fd(fd);
  if (u == nullptr) {
    hold.unlock();
    return previous.tcflush(fd, queue);
  }
  return u->hung_up ? fail(EIO) : flush(u, queue);
}

int fake_tcflow(int fd, int action) {
  auto hold = hold_state();
  FakeUart *u = fake_by_fd(fd);
  if (u == nullptr) {
    hold.unlock();
    return previous.tcflow(fd, action);
  }
  return u->hung_up ? fail(EIO) : flow(u, action);
}

int fake_flock(int fd, int operation) {
  auto hold = hold_state();
  FakeUart *u = fake_by_fd(fd);
  if (u == nullptr) {
    hold.unlock();
    return previous.flock(fd, operation);
  }
  if (operation & LOCK_UN) {
    if (u->lock_holder == fd) u->lock_holder = -1;
    return 0;
  }
  if (u->lock_holder != -1 && u->lock_holder != fd) return fail(EWOULDBLOCK);
  u->lock_holder = fd;
  return 0;
}

// A serial port's character device (ttyS, major 4, minors from 64).
void device_stat(const FakeUart *u, struct stat *st) {
  memset(st, 0, sizeof *st);
  st->st_mode = S_IFCHR | 0660;
  st->st_rdev = makedev(4, 64 + u->index);
}

int fake_fstat(int fd, struct stat *st) {
  auto hold = hold_state();
  FakeUart *u = fake_by_fd(fd);
  if (u == nullptr) {
    hold.unlock();
    return previous.fstat(fd, st);
  }
  device_stat(u, st);
  return 0;
}

int fake_stat(const char *path, struct stat *st) {
  auto hold = hold_state();
  FakeUart *u = fake_by_path(path);
  if (u == nullptr) {
    hold.unlock();
    return previous.stat(path, st);
  }
  device_stat(u, st);
  return 0;
}

int fake_isatty(int fd) {
  auto hold = hold_state();
  if (fake_by_fd(fd) != nullptr) return 1;
  hold.unlock();
  return previous.isatty(fd);
}

// Under the lock: what a fake entry of a poll reports now.
short fake_revents(FakeUart *u, short events) {
  fake_advance(u);
  if (u->hung_up) return short(POLLHUP | POLLERR | (events & (POLLIN | POLLOUT)));
  short revents = 0;
  if ((events & POLLIN) && !u->rx.empty()) revents |= POLLIN;
  if ((events & POLLOUT) && u->tx.size() < u->tx_capacity) revents |= POLLOUT;
  return revents;
}

// A poll over fakes and other descriptors: the fakes' readiness comes from their
// state, the others' from the poll() in force before, slept in beside the waiter.
int fake_poll(struct pollfd *fds, nfds_t count, int timeout) {
  FakeState &s = fake_state();
  std::vector<FakeUart *> fakes(count);
  auto hold = hold_state();
  bool any = false;
  for (nfds_t i = 0; i < count; i++) any |= (fakes[i] = fds[i].fd >= 0 ? fake_by_fd(fds[i].fd) : nullptr) != nullptr;
  hold.unlock();
  if (!any) return previous.poll(fds, count, timeout);
  int64_t deadline = timeout < 0 ? -1 : fake_now_ns() + int64_t(timeout) * 1000000;
  std::vector<struct pollfd> real(fds, fds + count);
  real.push_back({waiter.fd, POLLIN, 0});
  for (;;) {
    int ready = 0;
    int64_t next = -1;  // ns until a fake's output queue has room again
    hold.lock();
    s.waiters.insert(waiter.fd);
    for (nfds_t i = 0; i < count; i++) {
      if (fakes[i] == nullptr) continue;
      real[i].fd = -1;
      fds[i].revents = fake_revents(fakes[i], fds[i].events);
      ready += fds[i].revents != 0;
      if ((fds[i].events & POLLOUT) && fds[i].revents == 0) next = fake_next_char_ns(fakes[i]);
    }
    hold.unlock();
    int64_t left = deadline < 0 ? -1 : deadline - fake_now_ns();
    if (left < 0 && deadline >= 0) left = 0;
    if (next >= 0 && (left < 0 || next < left)) left = next;
    int ms = ready ? 0 : left < 0 ? -1 : int((left + 999999) / 1000000);
    int rc = previous.poll(real.data(), count + 1, ms);
    int err = errno;
    drain_waiter();
    hold.lock();
    s.waiters.erase(waiter.fd);
    hold.unlock();
    if (rc < 0) return fail(err);
    for (nfds_t i = 0; i < count; i++) {
      if (fakes[i] != nullptr) continue;
      fds[i].revents = real[i].revents;
      ready += fds[i].revents != 0;
    }
    if (ready > 0 || (deadline >= 0 && fake_now_ns() >= deadline)) return ready;
  }
}

}  // namespace

void fake_install_calls(void) {
  if (installed) return;
  previous = posix::sys;
  posix::sys = posix::SysCalls{fake_open,  fake_close,  fake_read,      fake_write, fake_ioctl,
                               fake_tcgetattr, fake_tcsetattr, fake_tcflush, fake_tcflow, fake_poll,
                               fake_flock, fake_fstat, fake_stat, fake_isatty};
  installed = true;
}

void fake_remove_calls(void) {
  if (!installed) return;
  posix::sys = previous;
  installed = false;
}
