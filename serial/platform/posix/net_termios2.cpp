// The kernel's termios ioctls on a network port (TCGETS, TCSETS*, TCGETS2, TCSETS2*),
// over the settings the connection holds. Apart from <termios.h>: it needs the
// kernel's structures from <asm/termbits.h>.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <string.h>

#include "net_device.h"
#include "tty_speed.h"

namespace posix {

namespace {

template <typename T>
void fill(const NetLine &line, T *t) {
  memset(t, 0, sizeof *t);
  t->c_iflag = line.iflag;
  t->c_oflag = line.oflag;
  t->c_cflag = line.cflag;
  t->c_lflag = line.lflag;
  memcpy(t->c_cc, line.cc, sizeof t->c_cc);
}

// The rate a termios names: its speed code's, or with BOTHER the one given (or, for
// the plain termios that has none, the one in force).
template <typename T>
NetLine read_termios(const NetLine &now, const T *t, uint32_t other_speed) {
  NetLine line = now;
  line.iflag = t->c_iflag;
  line.oflag = t->c_oflag;
  line.cflag = t->c_cflag;
  line.lflag = t->c_lflag;
  memcpy(line.cc, t->c_cc, sizeof t->c_cc);
  uint32_t code = t->c_cflag & CBAUD;
  line.speed = code == BOTHER ? other_speed : tty_code_speed(code);
  if (line.speed == 0) line.speed = now.speed;
  return line;
}

}  // namespace

bool net_termios_ioctl(Conn *c, std::unique_lock<std::mutex> &hold, unsigned long request, void *arg, int *rc) {
  *rc = 0;
  switch (request) {
    case TCGETS:
      fill(c->line, static_cast<struct termios *>(arg));
      return true;
    case TCGETS2: {
      struct termios2 *t = static_cast<struct termios2 *>(arg);
      fill(c->line, t);
      t->c_ispeed = t->c_ospeed = c->line.speed;
      return true;
    }
    case TCSETS:
    case TCSETSW:
    case TCSETSF:
      net_line_set(c, hold, read_termios(c->line, static_cast<const struct termios *>(arg), c->line.speed));
      return true;
    case TCSETS2:
    case TCSETSW2:
    case TCSETSF2: {
      const struct termios2 *t = static_cast<const struct termios2 *>(arg);
      net_line_set(c, hold, read_termios(c->line, t, t->c_ospeed));
      return true;
    }
  }
  return false;
}

}  // namespace posix
