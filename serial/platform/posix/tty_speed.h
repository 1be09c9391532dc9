// Line speeds and exact copies of a tty's kernel settings, through termios2. The code
// lives in tty_speed_linux.cpp: <asm/termbits.h> cannot share a translation unit
// with <termios.h>, so this header names no termios type.
#pragma once

#include <stdint.h>

namespace posix {

// The kernel's settings of a tty, byte for byte (a struct termios2).
struct TtyKernelState {
  unsigned char bytes[64];
};

// The ioctl entry of the system-call table (syscalls.h), for the termios2 code, which
// cannot include that header.
int sys_ioctl(int fd, unsigned long request, void *arg);

bool tty_save(int fd, TtyKernelState *out);
// Puts saved settings back, with the c_cflag bits in cflag_clear cleared.
bool tty_restore(int fd, const TtyKernelState *saved, uint32_t cflag_clear);
// The output speed in bits per second.
bool tty_get_speed(int fd, uint32_t *baud);
// Both directions to baud: a standard Bnnn code where there is one, else BOTHER with
// the rate itself (76800, 250000, ...).
bool tty_set_speed(int fd, uint32_t baud);
// The c_cflag speed code of a rate (BOTHER for a rate without one), and the rate of a
// code (0 for BOTHER and unknown codes).
uint32_t tty_speed_code(uint32_t baud);
uint32_t tty_code_speed(uint32_t code);

}  // namespace posix
