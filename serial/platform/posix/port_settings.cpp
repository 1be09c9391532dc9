// Line settings: DCB to termios and back, GetCommState and SetCommState, the
// COMMCONFIG record, time-outs, queue sizes and the port's properties.
#include <errno.h>
#include <string.h>
#include <sys/ioctl.h>

#include "port.h"
#include "syscalls.h"

namespace posix {

namespace {

// The driver's transmit buffer on Linux serial ports is one page: what cbOutQue can
// hold beyond a write in progress. The layer keeps no transmit queue of its own (a
// pending write is held whole, whatever its length), so this is the current transmit
// queue reported and SetupComm's transmit size changes nothing.
const DWORD kTxQueue = 4096;
// Largest input queue SetupComm gives; larger requests get this much.
const size_t kMaxInQueue = 1024 * 1024;

const tcflag_t kLineCflags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;

tcflag_t size_flag(BYTE bits) {
  switch (bits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
  }
  return CS8;
}

BYTE size_of_flag(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
  }
  return 8;
}

tcflag_t parity_flags(BYTE parity) {
  switch (parity) {
    case ODDPARITY: return PARENB | PARODD;
    case EVENPARITY: return PARENB;
    case MARKPARITY: return PARENB | CMSPAR | PARODD;
    case SPACEPARITY: return PARENB | CMSPAR;
  }
  return 0;
}

BYTE parity_of_flags(tcflag_t cflag) {
  if (!(cflag & PARENB)) return NOPARITY;
  if (cflag & CMSPAR) return (cflag & PARODD) ? MARKPARITY : SPACEPARITY;
  return (cflag & PARODD) ? ODDPARITY : EVENPARITY;
}

// The raw line of the layer with the DCB's framing, handshake and characters.
void termios_from_dcb(struct termios *t, const DCB *dcb) {
  t->c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXANY |
                  IXOFF | IMAXBEL | IUTF8);
  if (dcb->fOutX) t->c_iflag |= IXON;
  if (dcb->fInX) t->c_iflag |= IXOFF;
  if (dcb->fParity && dcb->Parity != NOPARITY) t->c_iflag |= INPCK;
  t->c_oflag &= ~OPOST;
  t->c_lflag = 0;
  t->c_cflag &= ~(kLineCflags | HUPCL);
  t->c_cflag |= CLOCAL | CREAD | size_flag(dcb->ByteSize) | parity_flags(dcb->Parity);
  if (dcb->StopBits != ONESTOPBIT) t->c_cflag |= CSTOPB;
  if (dcb->fOutxCtsFlow || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE) t->c_cflag |= CRTSCTS;
  t->c_cc[VMIN] = 1;  // with 0, poll() would report input at all times
  t->c_cc[VTIME] = 0;
  t->c_cc[VSTART] = static_cast<cc_t>(dcb->XonChar);
  t->c_cc[VSTOP] = static_cast<cc_t>(dcb->XoffChar);
}

// Whether the device took the framing and speed asked: a UART may refuse a data size
// or parity, or not reach a speed within 3 %.
bool device_took(int fd, const DCB *dcb) {
  struct termios now;
  uint32_t baud = 0;
  if (sys.tcgetattr(fd, &now) != 0 || !tty_get_speed(fd, &baud)) return false;
  tcflag_t want = size_flag(dcb->ByteSize) | parity_flags(dcb->Parity) | (dcb->StopBits != ONESTOPBIT ? CSTOPB : 0);
  tcflag_t mask = CSIZE | PARENB | CSTOPB | ((want & PARENB) ? (PARODD | CMSPAR) : 0);
  if ((now.c_cflag & mask) != (want & mask)) return false;
  uint64_t diff = baud > dcb->BaudRate ? baud - dcb->BaudRate : dcb->BaudRate - baud;
  return diff * 100 <= static_cast<uint64_t>(dcb->BaudRate) * 3;
}

}  // namespace

bool dcb_valid(const DCB *dcb) {
  if (dcb->BaudRate == 0 || dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > SPACEPARITY ||
      dcb->StopBits > TWOSTOPBITS) {
    return false;
  }
  if (dcb->StopBits == ONE5STOPBITS && dcb->ByteSize != 5) return false;  // no such line
  if ((dcb->fOutX || dcb->fInX) && dcb->XonChar == dcb->XoffChar) return false;
  return true;
}

DCB dcb_from_device(int fd, const struct termios *t) {
  DCB dcb;
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  uint32_t baud = 0;
  dcb.BaudRate = tty_get_speed(fd, &baud) ? baud : 9600;
  dcb.fBinary = 1;
  dcb.fParity = (t->c_iflag & INPCK) ? 1 : 0;
  dcb.fOutxCtsFlow = (t->c_cflag & CRTSCTS) ? 1 : 0;
  dcb.fOutX = (t->c_iflag & IXON) ? 1 : 0;
  dcb.fInX = (t->c_iflag & IXOFF) ? 1 : 0;
  // Lines the device cannot report (a pseudo-terminal) count as raised, as Linux
  // raises DTR and RTS when a tty is opened.
  int bits = TIOCM_DTR | TIOCM_RTS;
  sys.ioctl(fd, TIOCMGET, &bits);
  dcb.fDtrControl = (bits & TIOCM_DTR) ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  if (t->c_cflag & CRTSCTS) {
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  } else {
    dcb.fRtsControl = (bits & TIOCM_RTS) ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
  }
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.ByteSize = size_of_flag(t->c_cflag);
  dcb.Parity = parity_of_flags(t->c_cflag);
  if (t->c_cflag & CSTOPB) dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
  dcb.XonChar = static_cast<char>(t->c_cc[VSTART]);
  dcb.XoffChar = static_cast<char>(t->c_cc[VSTOP]);
  return dcb;
}

// Puts the DCB on the device; on failure the device keeps its previous settings and
// the Win32 error is set. A pseudo-terminal has no wire: it keeps 8 data bits and no
// parity whatever it is given (and refuses some others), so it is asked for those; the
// caller's DCB keeps the data size and parity set, and GetCommState gives them back.
bool apply_dcb(Port *p, const DCB *asked) {
  DCB line = *asked;
  if (p->pseudo_terminal) {
    line.ByteSize = 8;
    line.Parity = NOPARITY;
  }
  const DCB *dcb = &line;
  TtyKernelState before;
  bool have_before = tty_save(p->fd, &before);
  struct termios t;
  if (sys.tcgetattr(p->fd, &t) != 0) {
    set_error(error_of_errno(errno));
    return false;
  }
  termios_from_dcb(&t, dcb);
  bool ok = sys.tcsetattr(p->fd, TCSANOW, &t) == 0 && tty_set_speed(p->fd, dcb->BaudRate);
  // A setting the driver refuses (EINVAL) or does not take is an invalid parameter.
  DWORD error = (ok || errno == EINVAL) ? ERROR_INVALID_PARAMETER : error_of_errno(errno);
  if (ok && device_took(p->fd, dcb)) return true;
  if (have_before) tty_restore(p->fd, &before, 0);
  set_error(error);
  return false;
}

// The fields that termios holds: equal in two DCBs means equal line settings.
bool line_fields_equal(const DCB *a, const DCB *b) {
  return a->BaudRate == b->BaudRate && a->ByteSize == b->ByteSize && a->Parity == b->Parity &&
         (a->StopBits == ONESTOPBIT) == (b->StopBits == ONESTOPBIT) && a->fParity == b->fParity &&
         a->fOutX == b->fOutX && a->fInX == b->fInX && a->XonChar == b->XonChar && a->XoffChar == b->XoffChar &&
         (a->fOutxCtsFlow || a->fRtsControl == RTS_CONTROL_HANDSHAKE) ==
             (b->fOutxCtsFlow || b->fRtsControl == RTS_CONTROL_HANDSHAKE);
}

// DTR and RTS as the DCB asks, on a device that has them. The DTR/DSR handshake is
// not run by Linux: DTR stays raised. With RTS/CTS (CRTSCTS) the driver moves RTS
// itself, lowering it while its input is full; setting it here would tell the far
// side to send into a full buffer, so RTS is left alone.
void drive_lines(Port *p, const DCB *dcb) {
  if (!p->has_modem_lines) return;
  int dtr = TIOCM_DTR, rts = TIOCM_RTS;
  sys.ioctl(p->fd, dcb->fDtrControl == DTR_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &dtr);
  if (dcb->fOutxCtsFlow || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE) return;
  sys.ioctl(p->fd, dcb->fRtsControl == RTS_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &rts);
}

BOOL fill_comm_config(LPCOMMCONFIG cc, LPDWORD size, const DCB *dcb) {
  if (cc == nullptr || *size < sizeof(COMMCONFIG)) {
    *size = sizeof(COMMCONFIG);
    set_error(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  memset(cc, 0, sizeof *cc);
  cc->dwSize = sizeof(COMMCONFIG);
  cc->wVersion = 1;
  cc->dcb = *dcb;
  cc->dwProviderSubType = 1;  // PST_RS232
  *size = sizeof(COMMCONFIG);
  return TRUE;
}

BOOL WINAPI GetCommState(HANDLE h, LPDCB dcb) {
  if (dcb == nullptr) {
    set_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return with_port_locked(h, [&](Port *p) {
    if (p->hung_up) {
      set_error(kHungUpError);
      return false;
    }
    *dcb = p->dcb;
    return true;
  });
}

BOOL WINAPI SetCommState(HANDLE h, LPDCB dcb) {
  if (dcb == nullptr || !dcb_valid(dcb)) {
    set_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return with_port_locked(h, [&](Port *p) {
    if (p->hung_up) {
      set_error(kHungUpError);
      return false;
    }
    if (!apply_dcb(p, dcb)) return false;
    drive_lines(p, dcb);
    p->dcb = *dcb;
    return true;
  });
}

BOOL WINAPI GetCommConfig(HANDLE h, LPCOMMCONFIG cc, LPDWORD size) {
  DCB dcb;
  if (size == nullptr) {
    set_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!GetCommState(h, &dcb)) return FALSE;
  return fill_comm_config(cc, size, &dcb);
}

BOOL WINAPI SetCommConfig(HANDLE h, LPCOMMCONFIG cc, DWORD size) {
  if (cc == nullptr || size < sizeof(COMMCONFIG)) {
    set_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return SetCommState(h, &cc->dcb);
}

BOOL WINAPI GetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
  return port_read_field(h, t, &Port::timeouts);
}

BOOL WINAPI SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
  if (t == nullptr || (t->ReadIntervalTimeout == MAXDWORD && t->ReadTotalTimeoutMultiplier == MAXDWORD &&
                       t->ReadTotalTimeoutConstant == MAXDWORD)) {
    set_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return with_port_locked(h, [&](Port *p) {
    p->timeouts = *t;
    return true;
  });
}

// Queue sizes: no maximum for either direction (the input queue is memory; a write
// is held whole), so the library asks for its own defaults (8192 and 4096). The
// current input queue is the layer's own, as SetupComm sized it (4096, the size of
// the Linux line discipline's buffer, before that); the current transmit queue is the
// driver's page-sized buffer. With these the library's receive ring comes out at 4096
// beside an 8192-byte input queue and its transmit ring at 4096.
BOOL WINAPI GetCommProperties(HANDLE h, LPCOMMPROP prop) {
  if (prop == nullptr) {
    set_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Port *p = port_acquire(h);
  if (p == nullptr) return FALSE;
  memset(prop, 0, sizeof *prop);
  prop->wPacketLength = sizeof *prop;
  prop->wPacketVersion = 2;
  prop->dwServiceMask = 1;          // SP_SERIALCOMM
  prop->dwMaxBaud = 0x10000000u;    // BAUD_USER: any rate
  prop->dwProvSubType = 1;          // PST_RS232
  prop->dwProvCapabilities = 0x1FE; // RTS/CTS, RLSD, parity check, XON/XOFF, settable XON/XOFF, time-outs, EvtChar
  prop->dwSettableParams = 0x7F;    // parity, baud, data bits, stop bits, handshaking, parity check, RLSD
  prop->dwSettableBaud = 0x1006FFFFu;
  prop->wSettableData = 0x000F;        // 5 to 8 data bits
  prop->wSettableStopParity = 0x1F07;  // 1, 1.5, 2 stop bits; none, odd, even, mark, space
  prop->dwCurrentTxQueue = kTxQueue;
  prop->dwCurrentRxQueue = p->rx_size.load(std::memory_order_relaxed);
  port_release(p);
  return TRUE;
}

// Sizes the layer's input queue (0 keeps it); bytes already queued are kept.
BOOL WINAPI SetupComm(HANDLE h, DWORD in_queue, DWORD) {
  size_t size = in_queue > kMaxInQueue ? kMaxInQueue : in_queue;
  return with_port_locked(h, [&](Port *p) {
    bool was_full = rx_room(p) == 0;
    if (size != 0) rx_resize(p, size);
    if (was_full && rx_room(p) > 0) input_room_made(p);
    return true;
  });
}

}  // namespace posix
