// The RFC 2217 side of a network port: option negotiation (COM-PORT-OPTION, OPT_BINARY
// and SUPPRESS-GO-AHEAD both ways, everything else refused), the server's answers and
// notifications, and line settings sent as port commands whose answers are awaited
// within a bound (a server may leave some unanswered: ser2net on a pseudo-terminal
// never answers DTR and RTS).
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>

#include "net_device.h"
#include "tty_speed.h"

namespace posix {

namespace {

using namespace telnet;

// How long the open waits for the server to take up the option and tell its settings,
// and how long a settings call waits for its answers.
const int kNegotiateMs = 500;
const int kAnswerMs = 400;

enum Sent : uint8_t { SENT_WILL = 1, SENT_WONT = 2, SENT_DO = 4, SENT_DONT = 8 };

int64_t clock_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Sends a negotiation once: a request already made is not repeated, so that answers
// never loop.
void offer(Conn *c, uint8_t verb, uint8_t option) {
  uint8_t bit = verb == WILL ? SENT_WILL : verb == WONT ? SENT_WONT : verb == DO ? SENT_DO : SENT_DONT;
  if (c->sent[option] & bit) return;
  c->sent[option] |= bit;
  put_option(&c->out, verb, option);
}

void on_negotiation(Conn *c, uint8_t verb, uint8_t option) {
  bool ours = option == OPT_BINARY || option == OPT_SGA || option == OPT_COM_PORT;
  bool theirs = option == OPT_BINARY || option == OPT_SGA;
  switch (verb) {
    case DO:
      offer(c, ours ? WILL : WONT, option);
      if (option == OPT_COM_PORT) c->com_port = true, c->com_port_known = true;
      break;
    case DONT:
      if (option == OPT_COM_PORT) c->com_port = false, c->com_port_known = true;
      break;
    case WILL:
      offer(c, theirs ? DO : DONT, option);
      break;
  }
}

// Sends a command whose answer the next wait awaits.
void ask(Conn *c, uint8_t command, const uint8_t *value, size_t n) {
  put_command(&c->out, command, value, n);
  if (!c->silent[command]) c->asked[command]++;
}

void ask_byte(Conn *c, uint8_t command, uint8_t value) { ask(c, command, &value, 1); }

void ask_speed(Conn *c, uint32_t baud) {
  uint8_t value[4] = {uint8_t(baud >> 24), uint8_t(baud >> 16), uint8_t(baud >> 8), uint8_t(baud)};
  ask(c, SET_BAUDRATE, value, 4);
}

bool awaiting(const Conn *c) {
  for (int i = 0; i < kCommandCount; i++) {
    if (!c->silent[i] && c->answers[i] < c->asked[i]) return true;
  }
  return false;
}

// Waits until every command asked has its answer, the connection dies or ms pass;
// commands still unanswered then are not waited for again.
void wait_answers(Conn *c, std::unique_lock<std::mutex> &hold, int ms) {
  conn_flush(c);
  int64_t deadline = clock_ms() + ms;
  for (;;) {
    conn_pump(c);
    int64_t left = deadline - clock_ms();
    if (!awaiting(c) || c->dead || left <= 0) break;
    struct pollfd fds[2] = {{c->fd, POLLIN, 0}, {c->answer_fd, POLLIN, 0}};
    hold.unlock();
    poll(fds, 2, static_cast<int>(left));
    hold.lock();
    drop_eventfd(c->answer_fd);
  }
  for (int i = 0; i < kCommandCount; i++) {
    if (c->answers[i] < c->asked[i]) c->silent[i] = true;
  }
}

// Answers and notifications: the server's word on the line replaces the client's.
void set_cflag(Conn *c, uint32_t mask, uint32_t bits) { c->line.cflag = (c->line.cflag & ~mask) | bits; }

void on_parity(Conn *c, uint8_t v) {
  static const uint32_t flags[] = {0, 0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD, PARENB | CMSPAR};
  if (v >= PARITY_NONE && v <= PARITY_SPACE) set_cflag(c, PARENB | PARODD | CMSPAR, flags[v]);
}

void on_control(Conn *c, uint8_t v) {
  switch (v) {
    case FLOW_NONE: c->line.iflag &= ~IXON, set_cflag(c, CRTSCTS, 0); break;
    case FLOW_XONXOFF: c->line.iflag |= IXON, set_cflag(c, CRTSCTS, 0); break;
    case FLOW_HARDWARE: c->line.iflag &= ~IXON, set_cflag(c, CRTSCTS, CRTSCTS); break;
    case INFLOW_NONE: c->line.iflag &= ~IXOFF; break;
    case INFLOW_XONXOFF: c->line.iflag |= IXOFF; break;
    case DTR_ON: c->modem_lines |= TIOCM_DTR; break;
    case DTR_OFF: c->modem_lines &= ~TIOCM_DTR; break;
    case RTS_ON: c->modem_lines |= TIOCM_RTS; break;
    case RTS_OFF: c->modem_lines &= ~TIOCM_RTS; break;
  }
  bool flow = v <= FLOW_HARDWARE || (v >= INFLOW_ASK && v <= INFLOW_HARDWARE);
  if (flow) c->answers[SET_CONTROL]++;
}

void on_line_state(Conn *c, uint8_t v) {
  NetCounters &n = c->counters;
  if (v & LINE_BREAK) n.brk++;
  if (v & LINE_FRAMING) n.frame++;
  if (v & LINE_PARITY) n.parity++;
  if (v & LINE_OVERRUN) n.overrun++;
  // The port learns of it when its reader next finds the descriptor ready.
  if (v & (LINE_BREAK | LINE_FRAMING | LINE_PARITY | LINE_OVERRUN)) poke_eventfd(c->ready_fd);
}

void on_modem_state(Conn *c, uint8_t v) {
  const int lines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;
  int now = ((v & MODEM_CTS) ? TIOCM_CTS : 0) | ((v & MODEM_DSR) ? TIOCM_DSR : 0) | ((v & MODEM_CD) ? TIOCM_CD : 0) |
            ((v & MODEM_RI) ? TIOCM_RNG : 0);
  int changed = (c->modem_lines ^ now) & lines;
  NetCounters &n = c->counters;
  // A delta bit without a change seen here is a pulse the server saw between notifications.
  if ((changed & TIOCM_CTS) || (v & MODEM_DELTA_CTS)) n.cts++;
  if ((changed & TIOCM_DSR) || (v & MODEM_DELTA_DSR)) n.dsr++;
  if ((changed & TIOCM_CD) || (v & MODEM_DELTA_CD)) n.dcd++;
  if ((changed & TIOCM_RNG) || (v & MODEM_RI_TRAILING)) n.rng++;
  c->modem_lines = (c->modem_lines & ~lines) | now;
  poke_eventfd(c->modem_fd);
}

void on_server_command(Conn *c, uint8_t code, const uint8_t *v, size_t n) {
  if (code < kServerOffset || code >= kServerOffset + kCommandCount || n == 0) return;
  uint8_t command = code - kServerOffset;
  switch (command) {
    case SET_BAUDRATE:
      if (n >= 4) {
        uint32_t baud = uint32_t(v[0]) << 24 | uint32_t(v[1]) << 16 | uint32_t(v[2]) << 8 | v[3];
        if (baud != 0) c->line.speed = baud, set_cflag(c, CBAUD, tty_speed_code(baud));
      }
      break;
    case SET_DATASIZE: {
      static const uint32_t sizes[] = {CS5, CS6, CS7, CS8};
      if (v[0] >= 5 && v[0] <= 8) set_cflag(c, CSIZE, sizes[v[0] - 5]);
      break;
    }
    case SET_PARITY: on_parity(c, v[0]); break;
    case SET_STOPSIZE:
      if (v[0] == STOP_ONE || v[0] == STOP_TWO || v[0] == STOP_ONE_HALF) set_cflag(c, CSTOPB, v[0] == STOP_ONE ? 0 : CSTOPB);
      break;
    case SET_CONTROL: on_control(c, v[0]); return;  // counts its own answers
    case NOTIFY_LINESTATE: on_line_state(c, v[0]); return;
    case NOTIFY_MODEMSTATE: on_modem_state(c, v[0]); return;
    case PURGE_DATA:
      if (c->purging && (v[0] & PURGE_RX)) c->purge_end = c->decoder.produced;
      break;
  }
  c->answers[command]++;
  poke_eventfd(c->answer_fd);
}

}  // namespace

void rfc2217_on_event(void *conn, const Event &e) {
  Conn *c = static_cast<Conn *>(conn);
  if (e.verb != SB) {
    on_negotiation(c, e.verb, e.option);
  } else if (e.option == OPT_COM_PORT && e.len > 0) {
    on_server_command(c, e.payload[0], e.payload + 1, e.len - 1u);
  }
}

void rfc2217_start(Conn *c) {
  std::mutex unshared;
  std::unique_lock<std::mutex> hold(unshared);
  offer(c, WILL, OPT_COM_PORT);
  offer(c, WILL, OPT_BINARY);
  offer(c, DO, OPT_BINARY);
  offer(c, WILL, OPT_SGA);
  offer(c, DO, OPT_SGA);
  conn_flush(c);
  int64_t deadline = clock_ms() + kNegotiateMs;
  while (!c->com_port_known && !c->dead && clock_ms() < deadline) {
    struct pollfd p = {c->fd, POLLIN, 0};
    poll(&p, 1, static_cast<int>(deadline - clock_ms()));
    conn_pump(c);
  }
  if (!c->com_port || c->dead) return;  // settings stay the client's own
  // Line errors and breaks are to be told; the modem lines are by default.
  uint8_t errors = LINE_BREAK | LINE_FRAMING | LINE_PARITY | LINE_OVERRUN;
  put_command(&c->out, SET_LINESTATE_MASK, &errors, 1);
  ask_speed(c, 0);  // 0 asks for the value in force
  ask_byte(c, SET_DATASIZE, 0);
  ask_byte(c, SET_PARITY, 0);
  ask_byte(c, SET_STOPSIZE, 0);
  wait_answers(c, hold, kNegotiateMs);
}

void net_line_set(Conn *c, std::unique_lock<std::mutex> &hold, const NetLine &want) {
  NetLine was = c->line;
  c->line = want;
  if (!c->rfc2217 || !c->com_port || c->dead) return;
  // In the order the protocol recommends: speed, data size, parity, stop size.
  if (want.speed != was.speed) ask_speed(c, want.speed);
  if ((want.cflag & CSIZE) != (was.cflag & CSIZE)) {
    uint32_t size = want.cflag & CSIZE;
    ask_byte(c, SET_DATASIZE, size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8);
  }
  const uint32_t parity = PARENB | PARODD | CMSPAR;
  if ((want.cflag & parity) != (was.cflag & parity)) {
    uint32_t p = want.cflag & parity;
    uint8_t v = !(p & PARENB) ? PARITY_NONE : (p & CMSPAR) ? ((p & PARODD) ? PARITY_MARK : PARITY_SPACE)
                                                        : ((p & PARODD) ? PARITY_ODD : PARITY_EVEN);
    ask_byte(c, SET_PARITY, v);
  }
  if ((want.cflag & CSTOPB) != (was.cflag & CSTOPB)) ask_byte(c, SET_STOPSIZE, (want.cflag & CSTOPB) ? STOP_TWO : STOP_ONE);
  bool hw = want.cflag & CRTSCTS, was_hw = was.cflag & CRTSCTS;
  if (hw != was_hw || (want.iflag & IXON) != (was.iflag & IXON)) {
    ask_byte(c, SET_CONTROL, hw ? FLOW_HARDWARE : (want.iflag & IXON) ? FLOW_XONXOFF : FLOW_NONE);
  }
  if (hw != was_hw || (want.iflag & IXOFF) != (was.iflag & IXOFF)) {
    ask_byte(c, SET_CONTROL, hw ? INFLOW_HARDWARE : (want.iflag & IXOFF) ? INFLOW_XONXOFF : INFLOW_NONE);
  }
  wait_answers(c, hold, kAnswerMs);
}

void rfc2217_purge(Conn *c, std::unique_lock<std::mutex> &hold, uint8_t which) {
  if (which & PURGE_RX) {
    c->purging = true;
    c->purge_end = UINT64_MAX;
  }
  ask_byte(c, PURGE_DATA, which);
  wait_answers(c, hold, kAnswerMs);
  c->purging = false;  // answered, or not to be waited for
}

}  // namespace posix
