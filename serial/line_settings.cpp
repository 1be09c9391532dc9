// Line settings and flow control: every DCB the library applies goes through
// SioSetDcb, which keeps a line the library holds lowered turned off; flow control
// with its XON/XOFF limits; the driver's queue sizes, the speed and the XON/XOFF
// characters as the device reports them.
#include "port_table.h"

#include <string.h>

#define FLOW_RTS_CTS 0x10u
#define FLOW_DTR_DSR 0x20u
#define FLOW_XON_XOFF 0x80u

#define LINE_DTR_UP 0x01u
#define LINE_RTS_UP 0x02u
#define LINE_DTR_DOWN 0x04u
#define LINE_RTS_DOWN 0x08u

void SioGetDcb(uint8_t port, DCB *dcb) {
  memset(dcb, 0, sizeof *dcb);
  dcb->DCBlength = sizeof(DCB);
  win32.GetCommState(table().ports[port].handle.load(), dcb);
}

bool SioSetDcb(uint8_t port, DCB *dcb) {
  PortRecord &p = table().ports[port];
  p.baud.store(dcb->BaudRate);  // recorded whatever the device makes of it
  uint8_t flow = p.flow_flags.load();
  if (!(flow & FLOW_RTS_CTS) && p.rts_state.load() == 0) dcb->fRtsControl = RTS_CONTROL_DISABLE;
  if (!(flow & FLOW_DTR_DSR) && p.dtr_state.load() == 0) dcb->fDtrControl = DTR_CONTROL_DISABLE;
  return win32.SetCommState(p.handle.load(), dcb) != 0;
}

// RTS control from the flow code and line options; the lowering bit first, so the
// raising bit wins.
static void SioApplyRtsOptions(PortRecord &p, DCB *dcb, uint8_t flow, uint8_t options) {
  if (flow & FLOW_RTS_CTS) {
    dcb->fOutxCtsFlow = 1;
    dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
    return;
  }
  dcb->fOutxCtsFlow = 0;
  if (options & LINE_RTS_DOWN) {
    dcb->fRtsControl = RTS_CONTROL_DISABLE;
    p.rts_state.store(0);
  }
  if (options & LINE_RTS_UP) {
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
    p.rts_state.store(2);
  }
}

static void SioApplyDtrOptions(PortRecord &p, DCB *dcb, uint8_t flow, uint8_t options) {
  if (flow & FLOW_DTR_DSR) {
    dcb->fOutxDsrFlow = 1;
    dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
    return;
  }
  dcb->fOutxDsrFlow = 0;
  if (options & LINE_DTR_DOWN) {
    dcb->fDtrControl = DTR_CONTROL_DISABLE;
    p.dtr_state.store(0);
  }
  if (options & LINE_DTR_UP) {
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    p.dtr_state.store(1);
  }
}

void SioSetFlowControl(uint8_t port, uint8_t flow, uint8_t options) {
  PortRecord &p = table().ports[port];
  DCB dcb;
  SioGetDcb(port, &dcb);
  SioApplyRtsOptions(p, &dcb, flow, options);
  SioApplyDtrOptions(p, &dcb, flow, options);
  uint32_t xon_xoff = (flow & FLOW_XON_XOFF) ? 1 : 0;
  dcb.fOutX = xon_xoff;
  dcb.fInX = xon_xoff;
  p.flow_flags.store(flow & (FLOW_RTS_CTS | FLOW_DTR_DSR | FLOW_XON_XOFF));
  SioSetDcb(port, &dcb);
  SioUpdateXonXoffLimits(port);
}

void SioUpdateXonXoffLimits(uint8_t port) {
  uint16_t q = static_cast<uint16_t>(SioGetCurrentQueue(port, 0));
  if (q == 0) return;
  DCB dcb;
  SioGetDcb(port, &dcb);
  if (table().ports[port].flow_flags.load() & FLOW_XON_XOFF) {
    dcb.XoffLim = static_cast<WORD>(q - (q * 9) / 10);
    dcb.XonLim = static_cast<WORD>(q / 10 + (q / 100) * (q / 1000));
  } else {
    dcb.XoffLim = 0;
    dcb.XonLim = 0;
  }
  SioSetDcb(port, &dcb);
}

// GetCommProperties on the port's device; a failed call leaves every size at 0.
static COMMPROP SioReadProperties(uint8_t port) {
  COMMPROP props;
  memset(&props, 0, sizeof props);
  if (!win32.GetCommProperties(table().ports[port].handle.load(), &props))
    memset(&props, 0, sizeof props);
  return props;
}

uint32_t SioGetMaxQueue(uint8_t port, uint8_t direction) {
  if (!SioIsOpen(port)) return 0;
  COMMPROP props = SioReadProperties(port);
  return direction == 0 ? props.dwMaxRxQueue : props.dwMaxTxQueue;
}

uint32_t SioGetCurrentQueue(uint8_t port, uint8_t direction) {
  COMMPROP props = SioReadProperties(port);
  return direction == 0 ? props.dwCurrentRxQueue : props.dwCurrentTxQueue;
}

uint32_t SioGetBaud(uint8_t port) {
  if (!SioIsOpen(port)) return 0;
  DCB dcb;
  SioGetDcb(port, &dcb);
  return dcb.BaudRate;
}

uint16_t SioGetXonXoffChars(uint8_t port) {
  if (!SioIsOpen(port)) return 0;
  DCB dcb;
  SioGetDcb(port, &dcb);
  return static_cast<uint16_t>((static_cast<uint8_t>(dcb.XoffChar) << 8) |
                               static_cast<uint8_t>(dcb.XonChar));
}
