// The driver's low-latency flag of a serial device (ASYNC_LOW_LATENCY through
// TIOCGSERIAL/TIOCSSERIAL): on while the port is open, the device's own setting back at
// close.
#include <linux/serial.h>
#include <sys/ioctl.h>

#include "port.h"
#include "syscalls.h"

namespace posix {

void low_latency_on(Port *p) {
  struct serial_struct info;
  p->low_latency_set = false;
  if (sys.ioctl(p->fd, TIOCGSERIAL, &info) != 0 || (info.flags & ASYNC_LOW_LATENCY) != 0) return;
  info.flags |= ASYNC_LOW_LATENCY;
  p->low_latency_set = sys.ioctl(p->fd, TIOCSSERIAL, &info) == 0;
}

void low_latency_off(Port *p) {
  struct serial_struct info;
  if (!p->low_latency_set || sys.ioctl(p->fd, TIOCGSERIAL, &info) != 0) return;
  info.flags &= ~ASYNC_LOW_LATENCY;
  sys.ioctl(p->fd, TIOCSSERIAL, &info);
  p->low_latency_set = false;
}

}  // namespace posix
