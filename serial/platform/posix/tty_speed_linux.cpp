// Arbitrary line speeds and exact save and restore of a tty's settings, through the
// Linux termios2 ioctls (TCGETS2, TCSETS2, BOTHER).
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <string.h>

#include "tty_speed.h"

namespace posix {

namespace {

static_assert(sizeof(struct termios2) <= sizeof(TtyKernelState), "room for a termios2");

struct SpeedCode {
  uint32_t baud;
  unsigned code;
};

const SpeedCode kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

}  // namespace

uint32_t tty_speed_code(uint32_t baud) {
  for (const SpeedCode &s : kSpeeds) {
    if (s.baud == baud) return s.code;
  }
  return BOTHER;
}

uint32_t tty_code_speed(uint32_t code) {
  for (const SpeedCode &s : kSpeeds) {
    if (s.code == code) return s.baud;
  }
  return 0;
}

bool tty_save(int fd, TtyKernelState *out) {
  memset(out, 0, sizeof *out);
  struct termios2 t;
  if (sys_ioctl(fd, TCGETS2, &t) != 0) return false;
  memcpy(out->bytes, &t, sizeof t);
  return true;
}

bool tty_restore(int fd, const TtyKernelState *saved, uint32_t cflag_clear) {
  struct termios2 t;
  memcpy(&t, saved->bytes, sizeof t);
  t.c_cflag &= ~cflag_clear;
  return sys_ioctl(fd, TCSETS2, &t) == 0;
}

bool tty_get_speed(int fd, uint32_t *baud) {
  struct termios2 t;
  if (sys_ioctl(fd, TCGETS2, &t) != 0) return false;
  *baud = t.c_ospeed;
  return true;
}

bool tty_set_speed(int fd, uint32_t baud) {
  struct termios2 t;
  if (sys_ioctl(fd, TCGETS2, &t) != 0) return false;
  unsigned code = tty_speed_code(baud);
  // Input speed follows the output speed (CIBAUD 0).
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= code;
  t.c_ispeed = baud;
  t.c_ospeed = baud;
  return sys_ioctl(fd, TCSETS2, &t) == 0;
}

}  // namespace posix
