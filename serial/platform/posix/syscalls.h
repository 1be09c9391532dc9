// The system calls the POSIX layer makes on a device or a descriptor, through one table
// of function pointers: the real calls in production, and a layer stacked in front of
// them where a test (a fake UART) or another kind of device wants to answer for some
// descriptors. A stacked layer saves the entries it replaces and passes every
// descriptor that is not its own on to them.
#pragma once

#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>

namespace posix {

struct SysCalls {
  int (*open)(const char *path, int flags, mode_t mode);
  int (*close)(int fd);
  ssize_t (*read)(int fd, void *buf, size_t len);
  ssize_t (*write)(int fd, const void *buf, size_t len);
  // Every ioctl of the layer, the termios2 ones among them; arg is the pointer or the
  // integer the request takes.
  int (*ioctl)(int fd, unsigned long request, void *arg);
  int (*tcgetattr)(int fd, struct termios *t);
  int (*tcsetattr)(int fd, int when, const struct termios *t);
  int (*tcflush)(int fd, int queue);
  int (*tcflow)(int fd, int action);
  int (*poll)(struct pollfd *fds, nfds_t count, int timeout);
  int (*flock)(int fd, int operation);
  int (*fstat)(int fd, struct stat *st);
  int (*stat)(const char *path, struct stat *st);
  int (*isatty)(int fd);
};

// The table in force. Every device call of the layer goes through it.
extern SysCalls sys;

// The real calls, as the table starts out; a stacked layer or a test puts them back
// from here.
extern const SysCalls sys_native;

}  // namespace posix
