// Configuring an open port: speed, framing, parity and stop bits, flow control and
// line options, then the stored event mask, the reader events and the port's
// threads (each made once per open, so a port can be configured again and again).
#include "port_table.h"

#include <ctype.h>

// DCB.Parity for a parity letter (upper case); any other letter is no parity.
static const struct {
  char letter;
  BYTE parity;
} parity_letters[] = {
    {'E', EVENPARITY},
    {'O', ODDPARITY},
    {'M', MARKPARITY},
    {'S', SPACEPARITY},
};

static BYTE SioParityFromLetter(char letter) {
  for (const auto &row : parity_letters)
    if (row.letter == letter) return row.parity;
  return NOPARITY;
}

// 2 stop bits are 1.5 with 5 data bits; any other value is one stop bit.
static BYTE SioStopBitsFrom(uint8_t stop_bits, uint8_t data_bits) {
  if (stop_bits != 2) return ONESTOPBIT;
  return data_bits == 5 ? ONE5STOPBITS : TWOSTOPBITS;
}

void SioConfigureEx(uint8_t port, uint32_t baud, uint8_t data_bits, uint8_t stop_bits, char parity,
                    uint8_t flow, uint8_t options) {
  if (!SioIsOpen(port)) return;
  PortTable &t = table();
  PortRecord &p = t.ports[port];
  char letter = static_cast<char>(toupper(static_cast<unsigned char>(parity)));
  DCB dcb;
  SioGetDcb(port, &dcb);
  dcb.BaudRate = baud;
  dcb.fBinary = 1;
  dcb.ByteSize = data_bits;
  dcb.fTXContinueOnXoff = 0;
  dcb.fDsrSensitivity = 0;
  dcb.fAbortOnError = 0;
  if (options == 0) {
    dcb.fDtrControl = p.saved_settings.dcb.fDtrControl;
    dcb.fRtsControl = p.saved_settings.dcb.fRtsControl;
  }
  dcb.Parity = SioParityFromLetter(letter);
  dcb.StopBits = SioStopBitsFrom(stop_bits, data_bits);
  SioSetDcb(port, &dcb);
  SioSetFlowControl(port, flow, options);
  if (options & 0x01) SioSetDtr(port);
  if (options & 0x02) SioSetRts(port);
  SioClearLineEvents(port);
  SioReadModemStatus(port);
  if (SioGetPendingCount(port, 1) > 0) SioClearBreak(port);
  SioApplyEventMask(port, t.event_masks[port].load());
  SioCreateReadEvents(port);
  SioStartWriter(port);
  SioStartEventThread(port);
}

void SioConfigure(uint8_t port, uint32_t baud, uint8_t data_bits, uint8_t stop_bits, char parity,
                  uint8_t flow) {
  SioConfigureEx(port, baud, data_bits, stop_bits, parity, flow, 0x03);
}
