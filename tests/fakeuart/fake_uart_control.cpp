// The fake UART's driver model (output draining at the line's speed, the input
// throttle, the output lines) and the controls a test drives it with.
#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "fake_uart_internal.h"

namespace {

const struct {
  uint32_t baud, code;
} kSpeeds[] = {
    {0, B0},           {50, B50},         {75, B75},           {110, B110},         {134, B134},
    {150, B150},       {200, B200},       {300, B300},         {600, B600},         {1200, B1200},
    {1800, B1800},     {2400, B2400},     {4800, B4800},       {9600, B9600},       {19200, B19200},
    {38400, B38400},   {57600, B57600},   {115200, B115200},   {230400, B230400},   {460800, B460800},
    {500000, B500000}, {576000, B576000}, {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {4000000, B4000000},
};

int64_t char_ns(const FakeUart *u) { return u->baud ? int64_t(10) * 1000000000 / u->baud : INT64_MAX / 4; }

template <typename Call>
auto locked(Call call) {
  std::lock_guard<std::mutex> hold(fake_state().lock);
  return call();
}

}  // namespace

FakeState &fake_state(void) {
  static FakeState *state = new FakeState();  // outlives threads still in a call at exit
  return *state;
}

int64_t fake_now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

FakeUart *fake_by_fd(int fd) {
  for (FakeUart *u : fake_state().uarts)
    for (int own : u->fds)
      if (own == fd) return u;
  return nullptr;
}

FakeUart *fake_by_path(const char *path) {
  for (FakeUart *u : fake_state().uarts)
    if (path != nullptr && u->path == path) return u;
  return nullptr;
}

void fake_wake(void) {
  uint64_t one = 1;
  for (int fd : fake_state().waiters) {
    ssize_t rc = write(fd, &one, sizeof one);
    (void)rc;  // a full counter wakes it all the same
  }
}

bool fake_output_flowing(const FakeUart *u) {
  bool cts_held = (u->cflag & CRTSCTS) && !(u->lines & TIOCM_CTS);
  return !u->hung_up && !u->stopped_by_xoff && !u->stopped_by_tcflow && !cts_held && u->baud != 0;
}

void fake_advance(FakeUart *u) {
  int64_t now = fake_now_ns();
  if (!fake_output_flowing(u) || u->tx.empty()) {
    u->tx_clock_ns = now;
    return;
  }
  int64_t each = char_ns(u);
  int64_t done = (now - u->tx_clock_ns) / each;
  if (done <= 0) return;
  for (; done > 0 && !u->tx.empty(); done--) {
    u->sent.push_back(static_cast<char>(u->tx.front()));
    u->tx.pop_front();
    u->tx_clock_ns += each;
  }
  if (u->tx.empty()) u->tx_clock_ns = now;
}

int64_t fake_next_char_ns(const FakeUart *u) {
  if (!fake_output_flowing(u) || u->tx.empty()) return -1;
  int64_t left = u->tx_clock_ns + char_ns(u) - fake_now_ns();
  return left > 0 ? left : 0;
}

void fake_drive_lines(FakeUart *u, int lines) {
  int outputs = TIOCM_DTR | TIOCM_RTS;
  lines = (u->lines & ~outputs) | (lines & outputs);
  if (lines == u->lines) return;
  u->lines = lines;
  u->line_history.push_back(lines & outputs);
}

void fake_send_priority(FakeUart *u, uint8_t c) {
  fake_advance(u);
  u->sent.push_back(static_cast<char>(c));
}

void fake_check_throttle(FakeUart *u) {
  if (!u->throttled && kFakeRxBuffer - u->rx.size() <= kFakeThrottleRoom) {
    u->throttled = true;
    if (u->iflag & IXOFF) {
      fake_send_priority(u, u->cc[VSTOP]);
      u->xoff_sent = true;
    }
    if (u->cflag & CRTSCTS) fake_drive_lines(u, u->lines & ~TIOCM_RTS);
  } else if (u->throttled && u->rx.size() <= kFakeThrottleRoom) {
    u->throttled = false;
    if (u->xoff_sent) {
      fake_send_priority(u, u->cc[VSTART]);
      u->xoff_sent = false;
    }
    if (u->cflag & CRTSCTS) fake_drive_lines(u, u->lines | TIOCM_RTS);
  }
}

uint32_t fake_baud_of_code(uint32_t code) {
  for (const auto &s : kSpeeds)
    if (s.code == code) return s.baud;
  return 9600;
}

uint32_t fake_code_of_baud(uint32_t baud) {
  for (const auto &s : kSpeeds)
    if (s.baud == baud) return s.code;
  return kFakeBother;
}

void fake_set_termios(FakeUart *u, uint32_t iflag, uint32_t oflag, uint32_t cflag, uint32_t lflag,
                      const uint8_t *cc, uint32_t baud) {
  fake_advance(u);
  uint32_t was = u->baud;
  u->iflag = iflag;
  u->oflag = oflag;
  u->cflag = cflag;
  u->lflag = lflag;
  u->baud = baud;
  memcpy(u->cc, cc, sizeof u->cc);
  if (!(iflag & IXON)) u->stopped_by_xoff = false;
  if (was != 0 && baud == 0) fake_drive_lines(u, 0);
  if (was == 0 && baud != 0) fake_drive_lines(u, TIOCM_DTR | TIOCM_RTS);
  fake_wake();
}

FakeUart *fake_uart_attach(const char *path) {
  return locked([&] {
    FakeState &s = fake_state();
    if (FakeUart *u = fake_by_path(path)) return u;
    FakeUart *u = new FakeUart();
    u->path = path;
    u->index = int(s.uarts.size());
    u->lock_holder = -1;
    u->iflag = ICRNL | IXON;
    u->oflag = OPOST | ONLCR;
    u->cflag = B9600 | CS8 | CREAD | HUPCL | CLOCAL;
    u->lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN;
    u->baud = 9600;
    const uint8_t cc[19] = {3, 28, 127, 21, 4, 0, 1, 0, 0x11, 0x13, 26, 0, 18, 15, 23, 22, 0, 0, 0};
    memcpy(u->cc, cc, sizeof cc);
    u->tx_capacity = 4096;
    u->tx_clock_ns = fake_now_ns();
    s.uarts.push_back(u);
    fake_install_calls();
    return u;
  });
}

void fake_uart_reset_all(void) {
  locked([] {
    FakeState &s = fake_state();
    for (FakeUart *u : s.uarts) {
      for (int fd : u->fds) close(fd);
      delete u;
    }
    s.uarts.clear();
    fake_remove_calls();
    return 0;
  });
}

void fake_uart_set_line(FakeUart *u, int bit, bool up) {
  locked([&] {
    int was = u->lines;
    fake_advance(u);
    u->lines = up ? (u->lines | bit) : (u->lines & ~bit);
    if (was == u->lines) return 0;
    if (bit == TIOCM_CTS) u->icount.cts++;
    if (bit == TIOCM_DSR) u->icount.dsr++;
    if (bit == TIOCM_CD) u->icount.dcd++;
    if (bit == TIOCM_RNG && !up) u->icount.rng++;  // the driver counts the trailing edge of a ring
    fake_wake();
    return 0;
  });
}

namespace {

// Under the lock: one received byte through the driver's input handling.
void receive_byte(FakeUart *u, uint8_t c) {
  if (u->iflag & IXON) {
    if (c == u->cc[VSTOP]) {
      fake_advance(u);
      u->stopped_by_xoff = true;
      return;
    }
    if (c == u->cc[VSTART]) {
      fake_advance(u);
      u->stopped_by_xoff = false;
      return;
    }
  }
  if (u->rx.size() >= kFakeRxBuffer) {
    u->icount.buf_overrun++;
    return;
  }
  u->rx.push_back(c);
  fake_check_throttle(u);
}

}  // namespace

void fake_uart_receive(FakeUart *u, const std::string &bytes) {
  locked([&] {
    if (u->hung_up) return 0;
    for (char c : bytes) receive_byte(u, static_cast<uint8_t>(c));
    fake_wake();
    return 0;
  });
}

void fake_uart_line_error(FakeUart *u, FakeLineError kind, uint8_t byte) {
  locked([&] {
    switch (kind) {
      case FAKE_FRAMING: u->icount.frame++, byte = 0; break;
      case FAKE_PARITY: u->icount.parity++, byte = 0; break;
      case FAKE_OVERRUN: u->icount.overrun++; break;
      case FAKE_BREAK: u->icount.brk++, byte = 0; break;
    }
    if (u->rx.size() < kFakeRxBuffer) u->rx.push_back(byte);
    fake_check_throttle(u);
    fake_wake();
    return 0;
  });
}

std::string fake_uart_sent(FakeUart *u) {
  return locked([&] {
    fake_advance(u);
    return u->sent;
  });
}

size_t fake_uart_output_queue(FakeUart *u) {
  return locked([&] {
    fake_advance(u);
    return u->tx.size();
  });
}

void fake_uart_set_output_capacity(FakeUart *u, size_t capacity) {
  locked([&] { return u->tx_capacity = capacity; });
}

std::vector<int> fake_uart_line_history(FakeUart *u) {
  return locked([&] { return u->line_history; });
}

int fake_uart_lines(FakeUart *u) {
  return locked([&] { return u->lines; });
}

unsigned fake_uart_rts_meddling(FakeUart *u) {
  return locked([&] { return u->rts_meddling; });
}

FakeTermios fake_uart_termios(FakeUart *u) {
  return locked([&] {
    return FakeTermios{u->iflag, u->oflag, u->cflag, u->lflag, u->baud, u->cc[VSTART], u->cc[VSTOP]};
  });
}

std::vector<bool> fake_uart_low_latency_history(FakeUart *u) {
  return locked([&] { return u->low_latency_history; });
}

bool fake_uart_low_latency(FakeUart *u) {
  return locked([&] { return (u->serial_flags & ASYNC_LOW_LATENCY) != 0; });
}

bool fake_uart_exclusive(FakeUart *u) {
  return locked([&] { return u->exclusive; });
}

int fake_uart_open_count(FakeUart *u) {
  return locked([&] { return int(u->fds.size()); });
}

void fake_uart_hang_up(FakeUart *u) {
  locked([&] {
    fake_advance(u);
    u->hung_up = true;
    fake_wake();
    return 0;
  });
}

void fake_uart_fail_ioctl(FakeUart *u, unsigned long request, int err) {
  locked([&] { return u->ioctl_errors[request] = err; });
}

unsigned fake_uart_ioctl_count(FakeUart *u, unsigned long request) {
  return locked([&] { return u->ioctl_counts[request]; });
}
