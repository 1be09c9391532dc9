// The loss of a port's device: which failures say that the device has gone, and the
// event thread's delivery of a loss (the bytes received before it, then
// SIO_EV_PORT_LOST once).
//
// Road of a loss: the device goes (a USB adapter unplugged, a pseudo-terminal's far
// side closed) -> the event thread's pending WaitCommEvent fails -> SioDeviceGone
// confirms it -> SioDeliverLoss marks the port lost, offers the bytes still held
// (receive ring and driver) with EV_RXCHAR, wakes the writer and dispatches
// SIO_EV_PORT_LOST -> both threads park on their stop until SioClose.
#include "port_table.h"

// ERROR_NO_SUCH_DEVICE, which not every set of Windows headers names.
static const DWORD kNoSuchDevice = 433;

// Errors of failed device calls once the device has gone, as the drivers in use give
// them: usbser.sys and the CH34x drivers ERROR_ACCESS_DENIED, FTDI's
// ERROR_BAD_COMMAND (so does our POSIX layer after a hang-up), a removed device node
// ERROR_DEVICE_REMOVED, ERROR_NO_SUCH_DEVICE or ERROR_DEVICE_NOT_CONNECTED,
// ERROR_NOT_READY for a device that stopped answering. Two are given for other
// failures too and count only with a second sign: Prolific's ERROR_GEN_FAILURE, which
// any driver may give for a passing fault, and ERROR_OPERATION_ABORTED, which ends a
// request pending at the removal but is also what Wine gives a comm-event wait that
// SetCommMask cuts short.
static const struct {
  DWORD error;
  bool needs_second_sign;
} loss_errors[] = {
    {ERROR_ACCESS_DENIED, false},  {ERROR_BAD_COMMAND, false},       {ERROR_NOT_READY, false},
    {kNoSuchDevice, false},        {ERROR_DEVICE_REMOVED, false},    {ERROR_DEVICE_NOT_CONNECTED, false},
    {ERROR_GEN_FAILURE, true},     {ERROR_OPERATION_ABORTED, true},
};

// Rounds of offering the last bytes to a handler that keeps taking them.
static const int kOfferRounds = 64;

// The second sign: the device's status can no longer be read either (a live device
// answers ClearCommError right after a wait cut short by a mask change). The other
// errors say it alone: a device that has gone may still answer ClearCommError for a
// while (our POSIX layer does while it holds bytes received before the hang-up).
bool SioDeviceGone(uint8_t port, DWORD error) {
  for (const auto &loss : loss_errors) {
    if (loss.error != error) continue;
    if (!loss.needs_second_sign) return true;
    DWORD errors = 0;
    COMSTAT stat = {};
    return !win32.ClearCommError(table().ports[port].handle.load(), &errors, &stat);
  }
  return false;
}

bool SioPortLost(uint8_t port) {
  return SioPortInTable(port) && table().ports[port].lost.load() != 0;
}

// Where the ring's reading stands: it moves whenever the handler takes a byte.
static uint64_t SioRingMark(const RingQueue &ring) {
  return (uint64_t{ring.read_pos.load()} << 32) | ring.count.load();
}

// The bytes received before the loss: the fill reads what the device still gives
// (SioFillLocked reads without asking for a count once the port is lost), and the
// handler is offered them with EV_RXCHAR for as long as it takes some. Bytes a handler
// leaves (or that a mask without EV_RXCHAR never announces) stay in the ring for
// SioGetByte.
static void SioOfferLastBytes(uint8_t port) {
  PortTable &t = table();
  RingQueue &ring = t.rx_rings[port];
  bool announce = (t.event_masks[port].load() & EV_RXCHAR) != 0;
  for (int round = 0; round < kOfferRounds; round++) {
    SioFillRxRing(port);
    if (ring.count.load() == 0 || !announce) return;
    uint64_t before = SioRingMark(ring);
    SioDispatchEvents(port, EV_RXCHAR);
    if (SioRingMark(ring) == before) return;
  }
}

void SioDeliverLoss(uint8_t port) {
  PortTable &t = table();
  PortRecord &p = t.ports[port];
  if (p.lost.exchange(1) != 0) return;
  p.last_error.store(SIO_ERR_PORT_LOST);
  SioOfferLastBytes(port);
  // The writer parks at its next look; an idle one is woken to look.
  HANDLE data_event = t.writer_threads[port].data_event;
  if (data_event != nullptr) win32.SetEvent(data_event);
  SioDispatchEvents(port, SIO_EV_PORT_LOST);
}
