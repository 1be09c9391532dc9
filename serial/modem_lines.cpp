// Modem lines, break and line status: DTR and RTS driven as the library holds them,
// the break ended, the line-event and modem status bytes kept and reported, line
// errors recorded; and two services of the thread code, elapsed time and the
// running-thread test.
#include "port_table.h"

// Line-event bits (the layout of the 8250/16550 line status register).
#define LINE_OVERRUN 0x02u
#define LINE_PARITY 0x04u
#define LINE_FRAMING 0x08u
#define LINE_BREAK 0x10u

// Drives one modem-control line unless the handshake that owns it is in force; the
// state byte follows whatever the device call reports.
static void SioDriveLine(uint8_t port, uint8_t owner_flag, DWORD code,
                         std::atomic<uint8_t> PortRecord::*state, uint8_t value) {
  if (!SioIsOpen(port)) return;
  PortRecord &p = table().ports[port];
  if (p.flow_flags.load() & owner_flag) return;
  win32.EscapeCommFunction(p.handle.load(), code);
  (p.*state).store(value);
}

void SioSetDtr(uint8_t port) { SioDriveLine(port, 0x20, SETDTR, &PortRecord::dtr_state, 1); }
void SioClearDtr(uint8_t port) { SioDriveLine(port, 0x20, CLRDTR, &PortRecord::dtr_state, 0); }
void SioSetRts(uint8_t port) { SioDriveLine(port, 0x10, SETRTS, &PortRecord::rts_state, 2); }
void SioClearRts(uint8_t port) { SioDriveLine(port, 0x10, CLRRTS, &PortRecord::rts_state, 0); }

bool SioClearBreak(uint8_t port) {
  if (!SioPortInTable(port)) return false;
  return win32.ClearCommBreak(table().ports[port].handle.load()) != 0;
}

uint8_t SioGetModemStatus(uint8_t port, uint8_t clear_mask) {
  if (!SioIsOpen(port)) return 0;
  PortRecord &p = table().ports[port];
  DWORD lines = 0;
  if (!win32.GetCommModemStatus(p.handle.load(), &lines)) return 0;
  SioLockPort(port);
  uint8_t changes = p.modem_changes.fetch_and(static_cast<uint8_t>(~clear_mask));
  SioUnlockPort(port);
  return static_cast<uint8_t>((lines & 0xFFu) | changes);
}

uint8_t SioReadModemStatus(uint8_t port) { return SioGetModemStatus(port, 0x0F); }

uint8_t SioSwapStatusByte(uint8_t port, uint8_t value) {
  SioLockPort(port);
  uint8_t previous = table().ports[port].line_events.exchange(value);
  SioUnlockPort(port);
  return previous;
}

uint8_t SioClearLineEvents(uint8_t port) {
  if (!SioIsOpen(port)) return 0;
  return SioSwapStatusByte(port, 0);
}

// Reached with the port lock held (the folding of EV_ERR) and without it (driver
// counts, at times inside a ring lock). The status bytes are changed by atomic bit
// operations only, so no lock is needed here and no update of the event thread's
// folding is lost.
void SioRecordLineErrors(uint8_t port, uint32_t errors, const COMSTAT *stat) {
  if (!SioPortInTable(port)) return;
  PortRecord &p = table().ports[port];
  uint8_t bits = 0;
  if (errors & CE_BREAK) bits |= LINE_BREAK;
  if (errors & CE_FRAME) bits |= LINE_FRAMING;
  if (errors & CE_RXPARITY) bits |= LINE_PARITY;
  if (errors & (CE_RXOVER | CE_OVERRUN)) bits |= LINE_OVERRUN;
  if (bits) p.line_events.fetch_or(bits);
  bool held = stat->fCtsHold || stat->fDsrHold || stat->fRlsdHold || stat->fXoffHold ||
              stat->fXoffSent;
  p.tx_not_held.store(held ? 0 : 1);
}

void SioPollLineErrors(uint8_t port) {
  if (!SioPortInTable(port)) return;
  DWORD errors = 0;
  COMSTAT stat = {};
  if (win32.ClearCommError(table().ports[port].handle.load(), &errors, &stat))
    SioRecordLineErrors(port, errors, &stat);
}

uint8_t SioTxNotHeld(uint8_t port) {
  if (!SioIsOpen(port)) return 0;
  SioPollLineErrors(port);
  return table().ports[port].tx_not_held.load();
}

uint32_t SioElapsedMs(uint32_t stamp) { return win32.timeGetTime() - stamp; }

bool SioThreadAlive(HANDLE thread) {
  if (thread == nullptr) return false;
  DWORD code = 0;
  return win32.GetExitCodeThread(thread, &code) && code == STILL_ACTIVE;
}
