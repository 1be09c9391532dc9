// The tty ioctls of a network port beside termios: modem lines, their wait and the
// counters (RFC 2217 only: a raw TCP port answers ENOTTY, as a pseudo-terminal does),
// break, flushes as purges, queue sizes and exclusive use; and tcgetattr/tcsetattr.
#include <errno.h>
#include <linux/serial.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>

#include "net_device.h"
#include "tty_speed.h"

namespace posix {

namespace {

using namespace telnet;

const int kModemInputs = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;

int fail(int err) {
  errno = err;
  return -1;
}

void put_control(Conn *c, uint8_t value) { put_command(&c->out, SET_CONTROL, &value, 1); }

void send_control(Conn *c, uint8_t value) {
  if (!c->com_port) return;
  put_control(c, value);
  conn_flush(c);
}

// DTR and RTS as asked, each line named in which sent even when it seems unchanged
// (the client's idea of it may be stale); the server's answer is not awaited (some
// never come).
int set_lines(Conn *c, int bits, int which) {
  which &= TIOCM_DTR | TIOCM_RTS;
  c->modem_lines = (c->modem_lines & ~which) | (bits & which);
  if (!c->com_port) return 0;
  if (which & TIOCM_DTR) put_control(c, (bits & TIOCM_DTR) ? DTR_ON : DTR_OFF);
  if (which & TIOCM_RTS) put_control(c, (bits & TIOCM_RTS) ? RTS_ON : RTS_OFF);
  conn_flush(c);
  return 0;
}

bool counters_moved(const NetCounters &a, const NetCounters &b, int lines) {
  return ((lines & TIOCM_CTS) && a.cts != b.cts) || ((lines & TIOCM_DSR) && a.dsr != b.dsr) ||
         ((lines & TIOCM_CD) && a.dcd != b.dcd) || ((lines & TIOCM_RNG) && a.rng != b.rng);
}

// TIOCMIWAIT: until one of the lines changes; EIO once the connection has gone, EINTR
// when a signal interrupts the wait (the port's close stops the waiting thread so).
int wait_lines(Conn *c, std::unique_lock<std::mutex> &hold, int lines) {
  NetCounters start = c->counters;
  for (;;) {
    if (c->dead) return fail(EIO);
    if (counters_moved(start, c->counters, lines)) return 0;
    struct pollfd p = {c->modem_fd, POLLIN, 0};
    hold.unlock();
    int n = poll(&p, 1, -1);
    int err = errno;
    hold.lock();
    if (n < 0 && err == EINTR) return fail(EINTR);
    drop_eventfd(c->modem_fd);
  }
}

int get_counters(Conn *c, struct serial_icounter_struct *out) {
  memset(out, 0, sizeof *out);
  const NetCounters &n = c->counters;
  out->cts = n.cts, out->dsr = n.dsr, out->rng = n.rng, out->dcd = n.dcd;
  out->frame = n.frame, out->overrun = n.overrun, out->parity = n.parity, out->brk = n.brk;
  return 0;
}

// TCFLSH: the data received and not read is dropped; over RFC 2217 the server purges
// its buffers, and what it had sent before it did is dropped as it arrives.
int flush_queues(Conn *c, std::unique_lock<std::mutex> &hold, long which) {
  if (which != TCIFLUSH && which != TCOFLUSH && which != TCIOFLUSH) return fail(EINVAL);
  bool server = c->rfc2217 && c->com_port && !c->dead;
  if (which != TCOFLUSH) {
    if (!server) conn_pump(c);
    c->kept.clear();
    c->kept_head = 0;
    if (!c->dead) drop_eventfd(c->ready_fd);
  }
  if (server) rfc2217_purge(c, hold, which == TCIFLUSH ? PURGE_RX : which == TCOFLUSH ? PURGE_TX : PURGE_BOTH);
  return 0;
}

// The bytes not yet taken by the far end: this side's and the socket's.
int output_queue(Conn *c, int *out) {
  conn_flush(c);
  int unsent = 0;
  if (ioctl(c->fd, TIOCOUTQ, &unsent) != 0) unsent = 0;
  *out = unsent + static_cast<int>(c->out.size());
  return 0;
}

// The data bytes received and not yet read: what the socket holds is decoded first,
// so that protocol bytes are not counted.
int input_queue(Conn *c, int *out) {
  conn_pump(c);
  *out = static_cast<int>(c->kept.size() - c->kept_head);
  return 0;
}

int modem_ioctl(Conn *c, std::unique_lock<std::mutex> &hold, unsigned long request, void *arg) {
  int *bits = static_cast<int *>(arg);
  switch (request) {
    case TIOCMGET: *bits = c->modem_lines; return 0;
    case TIOCMBIS: return set_lines(c, *bits, *bits);
    case TIOCMBIC: return set_lines(c, ~*bits, *bits);
    case TIOCMSET: return set_lines(c, *bits, TIOCM_DTR | TIOCM_RTS);
    case TIOCMIWAIT: return wait_lines(c, hold, static_cast<int>(reinterpret_cast<intptr_t>(arg)) & kModemInputs);
    case TIOCGICOUNT: return get_counters(c, static_cast<struct serial_icounter_struct *>(arg));
    case TIOCSBRK: send_control(c, BREAK_ON); return 0;
    case TIOCCBRK: send_control(c, BREAK_OFF); return 0;
  }
  return fail(ENOTTY);
}

}  // namespace

int net_line_ioctl(Conn *c, std::unique_lock<std::mutex> &hold, unsigned long request, void *arg) {
  switch (request) {
    case TIOCEXCL:
    case TIOCNXCL:
      return 0;  // the server gives the port to one connection at a time
    case TCFLSH: return flush_queues(c, hold, static_cast<long>(reinterpret_cast<intptr_t>(arg)));
    case TIOCOUTQ: return output_queue(c, static_cast<int *>(arg));
    case FIONREAD: return input_queue(c, static_cast<int *>(arg));
    case TCSBRK: return 0;  // a drain: the socket's queue is the far end's business
    case TIOCMGET:
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCMSET:
    case TIOCMIWAIT:
    case TIOCGICOUNT:
    case TIOCSBRK:
    case TIOCCBRK:
      if (!c->rfc2217) return fail(ENOTTY);
      if (c->dead) return fail(EIO);
      return modem_ioctl(c, hold, request, arg);
  }
  return fail(ENOTTY);  // TCXONC among them: output is not suspended here
}

int net_ioctl(Conn *c, unsigned long request, void *arg) {
  std::unique_lock<std::mutex> hold(c->lock);
  int rc = 0;
  if (net_termios_ioctl(c, hold, request, arg, &rc)) return rc;
  return net_line_ioctl(c, hold, request, arg);
}

int net_tcgetattr(Conn *c, struct termios *t) {
  std::lock_guard<std::mutex> hold(c->lock);
  memset(t, 0, sizeof *t);
  t->c_iflag = c->line.iflag;
  t->c_oflag = c->line.oflag;
  t->c_cflag = c->line.cflag;
  t->c_lflag = c->line.lflag;
  memcpy(t->c_cc, c->line.cc, sizeof t->c_cc < sizeof c->line.cc ? sizeof t->c_cc : sizeof c->line.cc);
  t->c_ispeed = t->c_ospeed = c->line.cflag & CBAUD;
  return 0;
}

int net_tcsetattr(Conn *c, const struct termios *t) {
  std::unique_lock<std::mutex> hold(c->lock);
  NetLine line = c->line;
  line.iflag = t->c_iflag;
  line.oflag = t->c_oflag;
  line.cflag = t->c_cflag;
  line.lflag = t->c_lflag;
  memcpy(line.cc, t->c_cc, sizeof t->c_cc < sizeof line.cc ? sizeof t->c_cc : sizeof line.cc);
  uint32_t speed = tty_code_speed(t->c_cflag & CBAUD);
  if (speed != 0) line.speed = speed;
  net_line_set(c, hold, line);
  return 0;
}

}  // namespace posix
