// Device events: the event mask, WaitCommEvent, the driver's line counters, the
// transmitter-empty watch, and ClearCommError.
#include <errno.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include "port.h"
#include "syscalls.h"

namespace posix {

namespace {

const DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
const DWORD kAllEvents = 0x1FFF;

// Bits per character on the line, for the time output takes to drain.
int64_t bits_per_char(const DCB *dcb) {
  return 1 + dcb->ByteSize + (dcb->Parity != NOPARITY ? 1 : 0) + (dcb->StopBits != ONESTOPBIT ? 2 : 1);
}

}  // namespace

void record_events(Port *p, DWORD events) {
  p->history |= events & p->mask;
  if (p->history != 0 && p->wt.ov != nullptr) {
    OVERLAPPED *ov = p->wt.ov;
    p->wt.ov = nullptr;
    *p->wt.word = p->history;
    p->history = 0;
    complete(p, ov, 0, 0);
  }
}

// Compares the driver's counters with those last seen: new line errors become CE_
// bits for ClearCommError and EV_ERR or EV_BREAK; modem-line transitions the
// counters saw become EV_CTS, EV_DSR, EV_RLSD, EV_RING; they are returned for the
// caller to record with the others of the same look, so that one change is one event.
// A driver that does not keep the counters (a pseudo-terminal, most USB adapters)
// says so at the first call; it is not asked again for as long as the port is open.
DWORD read_counters(Port *p) {
  struct serial_icounter_struct c;
  if (p->hung_up || p->counters_unsupported || sys.ioctl(p->fd, TIOCGICOUNT, &c) != 0) {
    if (!p->hung_up && !p->counters_unsupported && (errno == ENOTTY || errno == EINVAL)) {
      p->counters_unsupported = true;
    }
    p->counters_ok = false;
    return 0;
  }
  LineCounters now = {c.cts, c.dsr, c.rng, c.dcd, c.frame, c.overrun, c.parity, c.brk, c.buf_overrun};
  DWORD ev = 0;
  if (p->counters_ok) {
    const LineCounters &was = p->counters;
    DWORD ce = (now.frame != was.frame ? CE_FRAME : 0) | (now.overrun != was.overrun ? CE_OVERRUN : 0) |
               (now.parity != was.parity ? CE_RXPARITY : 0) | (now.brk != was.brk ? CE_BREAK : 0) |
               (now.buf_overrun != was.buf_overrun ? CE_RXOVER : 0);
    ev = ((ce & (CE_FRAME | CE_OVERRUN | CE_RXPARITY)) ? EV_ERR : 0) | ((ce & CE_BREAK) ? EV_BREAK : 0) |
               (now.cts != was.cts ? EV_CTS : 0) | (now.dsr != was.dsr ? EV_DSR : 0) |
               (now.dcd != was.dcd ? EV_RLSD : 0) | (now.rng != was.rng ? EV_RING : 0);
    p->errors |= ce;
  }
  p->counters = now;
  p->counters_ok = true;
  return ev;
}

// Reads the modem lines; a line that changed since the last reading is an event,
// returned for the caller to record.
DWORD read_modem_lines(Port *p) {
  int bits = 0;
  if (!p->has_modem_lines || p->hung_up || sys.ioctl(p->fd, TIOCMGET, &bits) != 0) return 0;
  int changed = bits ^ p->modem_bits;
  p->modem_bits = bits;
  return ((changed & TIOCM_CTS) ? EV_CTS : 0) | ((changed & TIOCM_DSR) ? EV_DSR : 0) |
         ((changed & TIOCM_CD) ? EV_RLSD : 0) | ((changed & TIOCM_RNG) ? EV_RING : 0);
}

bool driver_output_queue(const Port *p, int *outq) {
  *outq = 0;
  return p->no_output_queue || sys.ioctl(p->fd, TIOCOUTQ, outq) == 0;
}

// EV_TXEMPTY once the output written since the last one has left the driver. When the
// driver still holds bytes, the next look is when they should have gone at the line's
// speed; when they do not move (flow control holding them), the looks back off up to
// one a second.
void check_drained(Port *p) {
  if (!p->tx_dirty || p->wr.ov != nullptr || p->tx_char >= 0 || p->hung_up) {
    p->drain_check = 0;
    return;
  }
  int outq = 0;
  if (!driver_output_queue(p, &outq) || outq <= 0) {
    p->tx_dirty = false;
    p->drain_check = 0;
    p->drain_backoff = 0;
    record_events(p, EV_TXEMPTY);
    return;
  }
  if (p->drain_check != 0 && outq >= p->last_outq) {
    p->drain_backoff = p->drain_backoff == 0 ? 10 : (p->drain_backoff * 2 > 1000 ? 1000 : p->drain_backoff * 2);
  } else {
    p->drain_backoff = 0;
  }
  p->last_outq = outq;
  int64_t estimate = outq * bits_per_char(&p->dcb) * 1000 / (p->dcb.BaudRate ? p->dcb.BaudRate : 9600) + 1;
  p->drain_check = now_ms() + (estimate > p->drain_backoff ? estimate : p->drain_backoff);
}

BOOL WINAPI SetCommMask(HANDLE h, DWORD mask) {
  return with_port_locked(h, [&](Port *p) {
    p->mask = mask & kAllEvents;
    p->history = 0;
    if (p->wt.ov != nullptr) {  // a pending wait ends with an empty event word
      OVERLAPPED *ov = p->wt.ov;
      p->wt.ov = nullptr;
      *p->wt.word = 0;
      complete(p, ov, 0, 0);
    }
    if ((p->mask & kModemEvents) && p->has_modem_lines && !p->hung_up) modem_thread_start(p);
    return true;
  });
}

BOOL WINAPI GetCommMask(HANDLE h, LPDWORD mask) {
  return port_read_field(h, mask, &Port::mask);
}

// Completes at once when masked events are waiting, else stays pending until one
// happens or SetCommMask ends it. A wait with an empty mask, or on a device that has
// hung up, stays pending too (only SetCommMask, CancelIo or CloseHandle end it), so
// that an event loop blocks instead of spinning on failures.
BOOL WINAPI WaitCommEvent(HANDLE h, LPDWORD events, LPOVERLAPPED ov) {
  if (events == nullptr) {
    set_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Port *p = port_acquire(h);
  if (p == nullptr) return FALSE;
  OVERLAPPED local = {};
  OVERLAPPED *req = ov ? ov : &local;
  BOOL ok = FALSE;
  {
    std::unique_lock<std::mutex> hold(p->lock);
    if (p->wt.ov != nullptr) {
      set_error(ERROR_INVALID_PARAMETER);
    } else {
      if (req->hEvent != nullptr) ResetEvent(req->hEvent);
      req->Internal = kPending;
      p->wt.ov = req;
      p->wt.word = events;
      record_events(p, 0);  // completes it at once when events are waiting
      if (req->Internal == kPending && ov != nullptr) {
        need_input_poller(p);  // an inline wait, if one follows, takes the input back
        set_error(ERROR_IO_PENDING);
      } else {
        ok = wait_request(p, hold, req) == 0;
        if (!ok) set_error(static_cast<DWORD>(req->Internal));
      }
    }
  }
  port_release(p);
  return ok;
}

BOOL WINAPI ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
  return with_port_locked(h, [&](Port *p) {
    int inq = 0, outq = 0;
    if (!p->hung_up && (sys.ioctl(p->fd, FIONREAD, &inq) != 0 || !driver_output_queue(p, &outq))) {
      if (error_of_errno(errno) == kHungUpError) hang_up(p);
    }
    // After a hang-up the bytes received before it are still counted, so that they
    // are read; the call fails once none are left.
    if (p->hung_up && p->rx_count == 0) {
      set_error(kHungUpError);
      return false;
    }
    record_events(p, read_counters(p) | read_modem_lines(p));
    if (errors != nullptr) *errors = p->errors;
    p->errors = 0;
    if (stat != nullptr) {
      *stat = COMSTAT();
      stat->cbInQue = static_cast<DWORD>(p->rx_count + inq);
      size_t pending = p->wr.ov ? p->wr.data.size() - p->wr.done : 0;
      stat->cbOutQue = static_cast<DWORD>(outq + pending + (p->tx_char >= 0 ? 1 : 0));
      // CTS holds output back under RTS/CTS flow control; known where the lines are.
      stat->fCtsHold = (p->dcb.fOutxCtsFlow && p->has_modem_lines && !(p->modem_bits & TIOCM_CTS) &&
                        stat->cbOutQue > 0) ? 1 : 0;
      stat->fTxim = p->tx_char >= 0 ? 1 : 0;
    }
    return true;
  });
}

}  // namespace posix
