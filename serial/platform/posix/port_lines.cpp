// Modem lines, break and the immediate character: EscapeCommFunction,
// GetCommModemStatus, ClearCommBreak and TransmitCommChar. A device without modem
// lines (a pseudo-terminal answers ENOTTY) makes the line calls fail with
// ERROR_NOT_SUPPORTED.
#include <errno.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "port.h"
#include "syscalls.h"

namespace posix {

namespace {

// Runs one ioctl on the port's device; false with the Win32 error set on failure.
bool device_ioctl(Port *p, unsigned long request, void *arg) {
  if (p->hung_up) {
    set_error(kHungUpError);
    return false;
  }
  if (sys.ioctl(p->fd, request, arg) == 0) return true;
  DWORD error = error_of_errno(errno);
  if (error == kHungUpError) hang_up(p);
  set_error(error);
  return false;
}

bool escape(Port *p, DWORD func) {
  int dtr = TIOCM_DTR, rts = TIOCM_RTS;
  switch (func) {
    case SETDTR: return device_ioctl(p, TIOCMBIS, &dtr);
    case CLRDTR: return device_ioctl(p, TIOCMBIC, &dtr);
    case SETRTS: return device_ioctl(p, TIOCMBIS, &rts);
    case CLRRTS: return device_ioctl(p, TIOCMBIC, &rts);
    case SETBREAK: return device_ioctl(p, TIOCSBRK, nullptr);
    case CLRBREAK: return device_ioctl(p, TIOCCBRK, nullptr);
    case SETXOFF: return device_ioctl(p, TCXONC, reinterpret_cast<void *>(static_cast<intptr_t>(TCOOFF)));
    case SETXON: return device_ioctl(p, TCXONC, reinterpret_cast<void *>(static_cast<intptr_t>(TCOON)));
  }
  set_error(ERROR_INVALID_PARAMETER);
  return false;
}

// Sends c ahead of the pending write. On a serial port the flow-control characters go
// through the driver's priority path (tcflow), ahead of what the driver itself still
// holds; a pseudo-terminal has no such path and would drop the character when full.
bool send_now(Port *p, char c) {
  struct termios t;
  if (p->has_modem_lines && sys.tcgetattr(p->fd, &t) == 0) {
    if (static_cast<cc_t>(c) == t.c_cc[VSTART] && sys.tcflow(p->fd, TCION) == 0) return true;
    if (static_cast<cc_t>(c) == t.c_cc[VSTOP] && sys.tcflow(p->fd, TCIOFF) == 0) return true;
  }
  ssize_t n = sys.write(p->fd, &c, 1);
  if (n == 1) return true;
  if (n < 0 && errno != EAGAIN && errno != EINTR) {
    hang_up(p);
    set_error(kHungUpError);
    return false;
  }
  p->tx_char = static_cast<uint8_t>(c);  // the I/O thread sends it when there is room
  port_poke(p);
  return true;
}

}  // namespace

BOOL WINAPI EscapeCommFunction(HANDLE h, DWORD func) {
  return with_port_locked(h, [&](Port *p) { return escape(p, func); });
}

BOOL WINAPI GetCommModemStatus(HANDLE h, LPDWORD status) {
  if (status == nullptr) {
    set_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return with_port_locked(h, [&](Port *p) {
    int bits = 0;
    if (!device_ioctl(p, TIOCMGET, &bits)) return false;
    *status = ((bits & TIOCM_CTS) ? MS_CTS_ON : 0) | ((bits & TIOCM_DSR) ? MS_DSR_ON : 0) |
              ((bits & TIOCM_RNG) ? MS_RING_ON : 0) | ((bits & TIOCM_CD) ? MS_RLSD_ON : 0);
    return true;
  });
}

BOOL WINAPI ClearCommBreak(HANDLE h) { return EscapeCommFunction(h, CLRBREAK); }

// The character goes out ahead of the pending write; one waiting character at a time.
BOOL WINAPI TransmitCommChar(HANDLE h, char c) {
  return with_port_locked(h, [&](Port *p) {
    if (p->hung_up || p->tx_char >= 0) {
      set_error(p->hung_up ? kHungUpError : ERROR_INVALID_PARAMETER);
      return false;
    }
    if (!send_now(p, c)) return false;
    p->tx_dirty = true;
    check_drained(p);
    if (p->drain_check != 0) port_poke(p);
    return true;
  });
}

}  // namespace posix
