// The network device's entries of the system-call table. In production they stand in
// front of the real calls (syscalls.cpp puts them in the table): each answers for the
// descriptors of network ports and passes every other descriptor, and every path that
// is not a network address, on to the real call.
#include <errno.h>
#include <stdint.h>
#include <sys/ioctl.h>

#include "net_device.h"
#include "syscalls.h"

namespace posix {

int net_sys_open(const char *path, int flags, mode_t mode) {
  if (net_path(path)) return net_open(path);
  return sys_native.open(path, flags, mode);
}

int net_sys_close(int fd) {
  Conn *c = net_conn(fd);
  return c != nullptr ? net_close(c) : sys_native.close(fd);
}

ssize_t net_sys_read(int fd, void *buf, size_t len) {
  Conn *c = net_conn(fd);
  return c != nullptr ? net_read(c, buf, len) : sys_native.read(fd, buf, len);
}

ssize_t net_sys_write(int fd, const void *buf, size_t len) {
  Conn *c = net_conn(fd);
  return c != nullptr ? net_write(c, buf, len) : sys_native.write(fd, buf, len);
}

int net_sys_ioctl(int fd, unsigned long request, void *arg) {
  Conn *c = net_conn(fd);
  return c != nullptr ? net_ioctl(c, request, arg) : sys_native.ioctl(fd, request, arg);
}

int net_sys_tcgetattr(int fd, struct termios *t) {
  Conn *c = net_conn(fd);
  return c != nullptr ? net_tcgetattr(c, t) : sys_native.tcgetattr(fd, t);
}

int net_sys_tcsetattr(int fd, int when, const struct termios *t) {
  Conn *c = net_conn(fd);
  return c != nullptr ? net_tcsetattr(c, t) : sys_native.tcsetattr(fd, when, t);
}

int net_sys_tcflush(int fd, int queue) {
  Conn *c = net_conn(fd);
  return c != nullptr ? net_ioctl(c, TCFLSH, reinterpret_cast<void *>(static_cast<intptr_t>(queue)))
                      : sys_native.tcflush(fd, queue);
}

// Output is not suspended on a network port, nor are flow characters sent apart from
// the data: the caller writes them as data instead.
int net_sys_tcflow(int fd, int action) {
  if (net_conn(fd) == nullptr) return sys_native.tcflow(fd, action);
  errno = ENOTTY;
  return -1;
}

int net_sys_poll(struct pollfd *fds, nfds_t count, int timeout) { return net_poll(fds, count, timeout); }

// A server gives its port to one connection at a time: the lock is the connection.
int net_sys_flock(int fd, int operation) {
  return net_conn(fd) != nullptr ? 0 : sys_native.flock(fd, operation);
}

int net_sys_isatty(int fd) { return net_conn(fd) != nullptr ? 1 : sys_native.isatty(fd); }

}  // namespace posix
