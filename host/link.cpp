// The serial link to the target: opening and setting up the port at start-up,
// closing it at the end, and the gate that keeps the main thread off the port while
// the interrupt thread closes it.
#include <mutex>

#include "host/host.h"
#include "serial/sio.h"

std::atomic<int32_t> port_index{-1};
uint32_t saved_event_mask = 0;

static std::mutex link_gate;

static const uint32_t rx_queue_size = 8192;
static const uint32_t tx_queue_size = 4096;
const int32_t baud_rates[8] = {1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200};
int link_refusal = SIO_OK;

void link_enter(void) {
  link_gate.lock();
}

void link_leave(void) {
  link_gate.unlock();
}

static int baud_supported(int32_t baud) {
  for (int32_t rate : baud_rates) {
    if (rate == baud) {
      return 1;
    }
  }
  return 0;
}

// The line runs 8 data bits, 1 stop bit, no parity, no handshake; of the port's events
// only received characters are kept, and those go to on_port_event.
static int open_port(int port_number, int32_t baud) {
  if (port_number < 1 || port_number > 4) {
    link_refusal = LINK_BAD_PORT;
    return 0;
  }
  if (!baud_supported(baud)) {
    link_refusal = LINK_BAD_BAUD;
    return 0;
  }
  uint8_t index = (uint8_t)(port_number - 1);
  if (SioProbePort(index) != 1) {
    link_refusal = SioGetLastError(index);
    return 0;
  }
  // The device can be taken or vanish between the probe and the open (another program
  // grabs it, an adapter is unplugged): a port the open left closed is refused too.
  SioOpen(index);
  int16_t outcome = SioGetLastError(index);  // why the open failed, before the open test
  if (!SioIsOpen(index)) {
    link_refusal = outcome != SIO_OK ? outcome : SIO_FAILED;
    return 0;
  }
  SioConfigure(index, (uint32_t)baud, 8, 1, 'N', 0);
  SioSetBufferSizes(index, rx_queue_size, tx_queue_size);
  saved_event_mask = SioSetEventMask(index, EV_RXCHAR, 0);
  SioSetEventHandler(index, on_port_event);
  port_index.store(index);
  return 1;
}

// Interrupt and start-up do not overlap: a Ctrl-C during open_link waits at the gate
// and then closes the port that was just opened.
int open_link(int port_number, int32_t baud) {
  link_enter();
  int opened = open_port(port_number, baud);
  link_leave();
  return opened;
}

static void close_port(void) {
  int32_t port = port_index.load();
  if (port >= 0) {
    SioClose((uint8_t)port);
    SioSetEventMask((uint8_t)port, saved_event_mask, 0);
  }
  port_index.store(-1);
}

void close_link(void) {
  link_enter();
  close_port();
  link_leave();
}

void close_link_for_good(void) {
  link_enter();
  close_port();
}
