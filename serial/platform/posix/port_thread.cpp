// The port's threads, and the inline wait of a thread blocked on the comm-event wait.
// The I/O thread sleeps in poll() on the device and the wake-up eventfd, with a
// time-out only while a read, a write or the transmitter-empty watch has a deadline:
// an idle port costs no CPU, and received bytes reach a waiter at once. The modem
// thread, started only for a device with modem lines and a mask asking for their
// events, sleeps in TIOCMIWAIT.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include "port.h"
#include "syscalls.h"

namespace posix {

namespace {

// The signal that interrupts the modem thread's TIOCMIWAIT when the port closes.
int modem_signal() { return SIGRTMAX - 3; }

void on_modem_signal(int) {}

void install_modem_signal() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction sa = {};
    sa.sa_handler = on_modem_signal;  // no SA_RESTART: the ioctl returns EINTR
    sigemptyset(&sa.sa_mask);
    sigaction(modem_signal(), &sa, nullptr);
  });
}

int64_t earliest(int64_t a, int64_t b) {
  if (a == 0) return b;
  if (b == 0) return a;
  return a < b ? a : b;
}

// Milliseconds poll() may sleep: until the nearest deadline, or -1 for none.
int poll_timeout(const Port *p) {
  int64_t next = p->drain_check;
  if (p->rd.ov != nullptr) next = earliest(earliest(next, p->rd.total_deadline), p->rd.interval_deadline);
  if (p->wr.ov != nullptr) next = earliest(next, p->wr.deadline);
  if (next == 0) return -1;
  int64_t ms = next - now_ms();
  if (ms < 0) ms = 0;
  return ms > 60000 ? 60000 : static_cast<int>(ms);
}

short poll_events(const Port *p) {
  short events = 0;
  if (rx_room(p) > 0 && !p->inline_active) events |= POLLIN;
  if ((p->wr.ov != nullptr && !p->wr.data.empty()) || p->tx_char >= 0) events |= POLLOUT;
  return events;
}

void serve_deadlines(Port *p) {
  int64_t now = now_ms();
  if (p->rd.ov != nullptr && ((p->rd.total_deadline != 0 && now >= p->rd.total_deadline) ||
                              (p->rd.interval_deadline != 0 && now >= p->rd.interval_deadline))) {
    OVERLAPPED *ov = p->rd.ov;
    p->rd.ov = nullptr;
    complete(p, ov, 0, p->rd.got);  // a time-out ends a read successfully, short
  }
  if (p->wr.ov != nullptr && p->wr.deadline != 0 && now >= p->wr.deadline) {
    OVERLAPPED *ov = p->wr.ov;
    p->wr.ov = nullptr;
    p->wr.data.clear();
    complete(p, ov, 0, p->wr.written_before + static_cast<DWORD>(p->wr.done));
    check_drained(p);
  }
  if (p->drain_check != 0 && now >= p->drain_check) check_drained(p);
}

void service(Port *p, short revents) {
  bool ready = revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL);
  if (ready && !pull_input(p)) record_events(p, read_counters(p));
  if (!p->hung_up && (revents & (POLLHUP | POLLERR | POLLNVAL))) hang_up(p);
  if (!p->hung_up && (revents & POLLOUT)) push_output(p);
  serve_deadlines(p);
}

void *io_main(void *arg) {
  Port *p = static_cast<Port *>(arg);
  std::unique_lock<std::mutex> hold(p->lock);
  while (!p->closing) {
    struct pollfd fds[2] = {{p->hung_up ? -1 : p->fd, poll_events(p), 0}, {p->wake_fd, POLLIN, 0}};
    p->io_polls_input = (fds[0].events & POLLIN) != 0;
    int timeout = poll_timeout(p);
    hold.unlock();
    int n = sys.poll(fds, 2, timeout);
    if (n > 0 && (fds[1].revents & POLLIN)) {
      uint64_t count;
      ssize_t rc = read(p->wake_fd, &count, sizeof count);
      (void)rc;
    }
    hold.lock();
    if (p->closing) break;
    p->defer_notify = true;
    service(p, n > 0 && !p->hung_up ? fds[0].revents : 0);
    p->defer_notify = false;
    if (p->notify_due) {
      p->notify_due = false;
      hold.unlock();
      p->changed.notify_all();  // the port lives until this thread is joined
      hold.lock();
    }
  }
  return nullptr;
}

void *modem_main(void *arg) {
  Port *p = static_cast<Port *>(arg);
  const int lines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;
  while (!p->modem_stop.load(std::memory_order_acquire)) {
    int rc = sys.ioctl(p->fd, TIOCMIWAIT, reinterpret_cast<void *>(static_cast<intptr_t>(lines)));
    int err = errno;
    if (rc != 0 && err == EINTR) continue;
    std::lock_guard<std::mutex> hold(p->lock);
    if (rc != 0) {  // the driver cannot wait for line changes, or the device is gone
      if (error_of_errno(err) == kHungUpError) hang_up(p);
      break;
    }
    record_events(p, read_counters(p) | read_modem_lines(p));
  }
  return nullptr;
}

}  // namespace

// Moves what the driver holds into the input queue, as far as it has room. New bytes
// are EV_RXCHAR (and EV_RXFLAG for EvtChar, EV_RX80FULL when the queue reaches 80 %).
bool pull_input(Port *p) {
  size_t before = p->rx_count;
  bool flag = false;
  while (!p->hung_up && rx_room(p) > 0) {
    uint8_t chunk[4096];
    size_t want = rx_room(p) < sizeof chunk ? rx_room(p) : sizeof chunk;
    ssize_t n = sys.read(p->fd, chunk, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    if (n <= 0) {  // end of file or an error: the other side has gone
      hang_up(p);
      break;
    }
    for (ssize_t i = 0; i < n && !flag; i++) flag = chunk[i] == static_cast<uint8_t>(p->dcb.EvtChar);
    rx_put(p, chunk, static_cast<size_t>(n));
    // A short read took all the driver had; asking again would only find it empty
    // (later bytes wake poll() again).
    if (static_cast<size_t>(n) < want) break;
  }
  if (p->rx_count == before) return false;
  size_t threshold = p->rx.size() * 8 / 10;
  DWORD events = EV_RXCHAR | (flag ? EV_RXFLAG : 0) | (before < threshold && p->rx_count >= threshold ? EV_RX80FULL : 0);
  record_events(p, events | read_counters(p));
  serve_read(p);
  return true;
}

// Sends a waiting TransmitCommChar byte, then what the driver takes of a pending write.
void push_output(Port *p) {
  if (p->tx_char >= 0) {
    uint8_t c = static_cast<uint8_t>(p->tx_char);
    ssize_t n = sys.write(p->fd, &c, 1);
    if (n == 1) p->tx_char = -1;
    if (n < 0 && errno != EAGAIN && errno != EINTR) hang_up(p);
    if (p->tx_char >= 0) return;
  }
  if (p->wr.ov == nullptr) {
    check_drained(p);
    return;
  }
  while (p->wr.done < p->wr.data.size()) {
    ssize_t n = sys.write(p->fd, p->wr.data.data() + p->wr.done, p->wr.data.size() - p->wr.done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    if (n <= 0) {
      hang_up(p);
      return;
    }
    p->wr.done += static_cast<size_t>(n);
  }
  OVERLAPPED *ov = p->wr.ov;
  p->wr.ov = nullptr;
  p->wr.data.clear();
  complete(p, ov, 0, p->wr.written_before + static_cast<DWORD>(p->wr.done));
  check_drained(p);
}

// Gives a pending read what the input queue holds, and ends it when it has its bytes
// (or any byte, with that time-out setting); otherwise the interval time-out restarts.
void serve_read(Port *p) {
  ReadRequest &rd = p->rd;
  if (rd.ov == nullptr || p->rx_count == 0) return;
  rd.got += static_cast<DWORD>(rx_take(p, rd.buf + rd.got, rd.len - rd.got));
  if (rd.got == rd.len || rd.any_byte_ends) {
    OVERLAPPED *ov = rd.ov;
    rd.ov = nullptr;
    complete(p, ov, 0, rd.got);
  } else if (rd.interval != 0) {
    rd.interval_deadline = now_ms() + rd.interval;
  }
}

void inline_wait(Port *p, std::unique_lock<std::mutex> &hold, OVERLAPPED *ov) {
  if (p->inline_fd < 0 || p->inline_active || p->hung_up || p->closing) return;
  p->inline_active = true;
  p->inline_ov = ov;
  p->inline_thread = pthread_self();
  if (p->io_polls_input) port_poke(p);  // it leaves the input to this thread
  while (ov->Internal == kPending && !p->closing && !p->hung_up) {
    // A full input queue is not polled for input (the I/O thread takes over once a
    // read makes room); hang-ups are reported all the same.
    short input = rx_room(p) > 0 ? POLLIN : 0;
    struct pollfd fds[2] = {{p->fd, input, 0}, {p->inline_fd, POLLIN, 0}};
    hold.unlock();
    int n = sys.poll(fds, 2, -1);
    int err = errno;
    if (n > 0 && (fds[1].revents & POLLIN)) {
      uint64_t count;
      ssize_t rc = read(p->inline_fd, &count, sizeof count);
      (void)rc;
    }
    hold.lock();
    if (n < 0 && err != EINTR) break;  // left to the I/O thread
    if (n <= 0 || p->closing || p->hung_up) continue;
    short revents = fds[0].revents;
    bool ready = revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL);
  if (ready && !pull_input(p)) record_events(p, read_counters(p));
    if (!p->hung_up && (revents & (POLLHUP | POLLERR | POLLNVAL))) hang_up(p);
  }
  p->inline_active = false;
  p->inline_ov = nullptr;
  if (p->closing) {
    p->changed.notify_all();  // inline_wait_end waits for this
  } else if (ov->Internal == kPending || p->rd.ov != nullptr) {
    need_input_poller(p);
  }
}

void need_input_poller(Port *p) {
  if (!p->io_polls_input && !p->inline_active && !p->closing) port_poke(p);
}

void input_room_made(Port *p) {
  port_poke(p);
  if (p->inline_ov != nullptr) inline_wake(p, p->inline_ov);
}

void inline_wake(Port *p, OVERLAPPED *ov) {
  if (!p->inline_active || ov != p->inline_ov || pthread_equal(p->inline_thread, pthread_self())) return;
  uint64_t one = 1;
  ssize_t rc = write(p->inline_fd, &one, sizeof one);
  (void)rc;  // a full counter already wakes it
}

void inline_wait_end(Port *p) {
  std::unique_lock<std::mutex> hold(p->lock);
  while (p->inline_active) p->changed.wait(hold);
}

bool io_thread_start(Port *p) { return pthread_create(&p->io_thread, nullptr, io_main, p) == 0; }

// The caller has set closing under the lock.
void io_thread_stop(Port *p) {
  port_poke(p);
  pthread_join(p->io_thread, nullptr);
}

// Called under the port's lock.
void modem_thread_start(Port *p) {
  if (p->modem_thread_running || p->closing) return;
  install_modem_signal();
  record_events(p, read_counters(p) | read_modem_lines(p));
  p->modem_thread_running = pthread_create(&p->modem_thread, nullptr, modem_main, p) == 0;
}

// Interrupts the modem thread's wait with its signal until it has ended; the signal
// is sent again in case it came before the thread entered the wait.
void modem_thread_stop(Port *p) {
  if (!p->modem_thread_running) return;
  p->modem_stop.store(true, std::memory_order_release);
  for (;;) {
    pthread_kill(p->modem_thread, modem_signal());
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += 20 * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
      until.tv_sec++;
      until.tv_nsec -= 1000000000L;
    }
    if (pthread_timedjoin_np(p->modem_thread, nullptr, &until) == 0) break;
  }
  p->modem_thread_running = false;
}

}  // namespace posix
