// Event mask, latching and handler dispatch: the port's mask and its programming into
// the device, the application's handler, the folding of event words into the status
// bytes, and ring polling on the Windows 95 family.
#include "port_table.h"

uint32_t SioSetEventMask(uint8_t port, uint32_t mask, uint8_t event_char) {
  if (!SioPortInTable(port)) return 0;
  PortTable &t = table();
  uint32_t previous = t.event_masks[port].load();
  if (mask == 0xFFFFFFFFu) return previous;
  t.event_masks[port].store(mask);
  if (is_win95.load()) SioSetRingPolling(port, (mask & EV_RING) ? 1 : 0);
  // A closed port's device is not programmed; the stored mask takes effect at the
  // next configuration.
  if (t.ports[port].handle.load() == nullptr) return previous;
  if (mask & EV_RXFLAG) {
    DCB dcb;
    SioGetDcb(port, &dcb);
    dcb.EvtChar = static_cast<char>(event_char);
    SioSetDcb(port, &dcb);
  }
  SioApplyEventMask(port, mask);
  return previous;
}

bool SioApplyEventMask(uint8_t port, uint32_t mask) {
  return win32.SetCommMask(table().ports[port].handle.load(), mask & ~SIO_EV_TXRING_EMPTY) != 0;
}

PortEventHandler SioSetEventHandler(uint8_t port, PortEventHandler handler) {
  if (!SioIsOpen(port)) return nullptr;
  SioLockPort(port);
  PortEventHandler previous = table().event_threads[port].handler.exchange(handler);
  SioUnlockPort(port);
  return previous;
}

uint32_t SioLatchEvents(uint8_t port, uint32_t events) {
  SioLockPort(port);
  ThreadRecord &r = table().event_threads[port];
  uint32_t previous = r.latched_events;
  r.latched_events = events;
  SioAccumulateEvents(port, events);
  SioUnlockPort(port);
  return previous;
}

// Event bits and the modem change bits they set.
static const struct {
  uint32_t event;
  uint8_t change;
} modem_change_bits[] = {
    {EV_CTS, 0x01},
    {EV_DSR, 0x02},
    {EV_RING, 0x04},
    {EV_RLSD, 0x08},
};

void SioAccumulateEvents(uint8_t port, uint32_t events) {
  if (events == 0) return;
  SioLockPort(port);
  PortRecord &p = table().ports[port];
  if (events & EV_BREAK) p.line_events.fetch_or(0x10);
  if (events & EV_ERR) SioPollLineErrors(port);
  if (events & (EV_RXCHAR | EV_RXFLAG | EV_RX80FULL)) p.line_events.fetch_or(0x01);
  if (events & EV_TXEMPTY) p.line_events.fetch_or(0x20);
  uint8_t changes = 0;
  for (const auto &bit : modem_change_bits)
    if (events & bit.event) changes |= bit.change;
  if (changes) p.modem_changes.fetch_or(changes);
  SioUnlockPort(port);
}

int32_t SioDispatchEvents(uint8_t port, uint32_t events) {
  if (!SioPortInTable(port)) return 1;
  PortEventHandler handler = table().event_threads[port].handler.load();
  if (handler != nullptr && events != 0) handler(port, events);
  return 1;
}

void SioSetRingPolling(uint8_t port, uint32_t on) {
  if (!SioPortInTable(port)) return;
  table().ports[port].ring_polling.store(on ? 1 : 0);
}

uint8_t SioRingDetected(uint8_t port) {
  return (SioReadModemStatus(port) & MS_RING_ON) ? 1 : 0;
}

void SioPollRing(uint8_t port) {
  if (!SioRingDetected(port)) return;
  SioLatchEvents(port, EV_RING);
  PortEventHandler handler = table().event_threads[port].handler.load();
  if (handler != nullptr) handler(port, EV_RING);
}
