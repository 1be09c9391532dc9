// sio_echo: sends back every byte a serial port receives, until Enter is pressed.
// The whole life of a port with the Sio library: probe, open, configure, an event
// handler, close.
//
//   usage: sio_echo COM<n> [baud]     (n from 1 to 36; 9600 baud by default)
//
// On Linux, COM<n> is the device named by the environment variable TAVO_COM<n>.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <strings.h>

#include <atomic>
#include <mutex>

#include "serial/sio.h"

static std::atomic<uint32_t> echoed{0};

// Runs on the library's threads: the event thread when characters arrive, the writer
// thread when the transmit ring has run empty. A handler must never wait for
// transmit room, so it moves only what fits; the rest waits in the receive ring
// until the transmit ring has emptied. The lock keeps the two threads from taking
// the same byte.
static std::mutex echo_lock;

static int32_t on_port_event(uint8_t port, uint32_t events) {
  if (!(events & (EV_RXCHAR | SIO_EV_TXRING_EMPTY))) return 0;
  std::lock_guard<std::mutex> hold(echo_lock);
  uint8_t byte;
  // Look at the next received byte, and take it only once it is queued for sending.
  while (SioRxTake(port, &byte, 0) && SioPutByte(port, byte)) {
    SioRxTake(port, &byte, 1);
    echoed++;
  }
  return 0;
}

// "COM3", "com3:" or "3" give 3; anything else gives 0.
static int port_number(const char *arg) {
  if (strncasecmp(arg, "COM", 3) == 0) arg += 3;
  if (!isdigit(static_cast<unsigned char>(*arg))) return 0;
  char *end;
  long n = strtol(arg, &end, 10);
  if (*end == ':') end++;
  return (*end == '\0' && n >= 1 && n <= 36) ? static_cast<int>(n) : 0;
}

int main(int argc, char **argv) {
  int number = argc > 1 ? port_number(argv[1]) : 0;
  unsigned long baud = argc > 2 ? strtoul(argv[2], nullptr, 10) : 9600;
  if (number == 0 || baud == 0) {
    fprintf(stderr, "usage: sio_echo COM<n> [baud]\n");
    return 2;
  }
  uint8_t port = static_cast<uint8_t>(number - 1);  // the library counts from 0

  // Probe: 0 no such device, 1 free, 2 held by another program.
  uint16_t probe = SioProbePort(port);
  if (probe != 1) {
    fprintf(stderr, "COM%d: %s\n", number, probe == 0 ? "no such device" : "busy");
    return 1;
  }

  // Open: saves the device's own settings and starts the writer thread.
  SioOpen(port);
  if (!SioIsOpen(port)) {
    fprintf(stderr, "COM%d: cannot open (error %d)\n", number, SioGetLastError(port));
    return 1;
  }

  // Configure: 8 data bits, 1 stop bit, no parity, no handshake, DTR and RTS raised;
  // this starts the event thread. Then ask for received characters and for the
  // transmit ring running empty.
  SioConfigure(port, static_cast<uint32_t>(baud), 8, 1, 'N', 0);
  uint32_t old_mask = SioSetEventMask(port, EV_RXCHAR | SIO_EV_TXRING_EMPTY, 0);
  SioSetEventHandler(port, on_port_event);

  printf("Echoing on COM%d at %lu baud; press Enter to stop.\n", number, baud);
  getchar();

  // Close: stops both threads, releases the rings, gives the device its settings back.
  SioClose(port);
  SioSetEventMask(port, old_mask, 0);
  printf("%u bytes echoed\n", echoed.load());
  return 0;
}
