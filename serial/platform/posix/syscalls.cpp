// The real system calls behind the POSIX layer's table, in force from the start
// (constant-initialised, so usable before any constructor runs).
#include "syscalls.h"

#include "net_device.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace posix {

namespace {

int native_open(const char *path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int native_close(int fd) { return ::close(fd); }
ssize_t native_read(int fd, void *buf, size_t len) { return ::read(fd, buf, len); }
ssize_t native_write(int fd, const void *buf, size_t len) { return ::write(fd, buf, len); }
int native_ioctl(int fd, unsigned long request, void *arg) { return ::ioctl(fd, request, arg); }
int native_tcgetattr(int fd, struct termios *t) { return ::tcgetattr(fd, t); }
int native_tcsetattr(int fd, int when, const struct termios *t) { return ::tcsetattr(fd, when, t); }
int native_tcflush(int fd, int queue) { return ::tcflush(fd, queue); }
int native_tcflow(int fd, int action) { return ::tcflow(fd, action); }
int native_poll(struct pollfd *fds, nfds_t count, int timeout) { return ::poll(fds, count, timeout); }
int native_flock(int fd, int operation) { return ::flock(fd, operation); }
int native_fstat(int fd, struct stat *st) { return ::fstat(fd, st); }
int native_stat(const char *path, struct stat *st) { return ::stat(path, st); }
int native_isatty(int fd) { return ::isatty(fd); }

constexpr SysCalls kNative = {
    native_open,  native_close, native_read,  native_write, native_ioctl, native_tcgetattr, native_tcsetattr,
    native_tcflush, native_tcflow, native_poll, native_flock, native_fstat, native_stat, native_isatty,
};

// In production the network device (net_syscalls.cpp) stands in front of the real
// calls: it answers for network ports and passes everything else on.
constexpr SysCalls kWithNetwork = {
    net_sys_open,    net_sys_close, net_sys_read, net_sys_write, net_sys_ioctl, net_sys_tcgetattr,
    net_sys_tcsetattr, net_sys_tcflush, net_sys_tcflow, net_sys_poll, net_sys_flock, native_fstat,
    native_stat,     net_sys_isatty,
};

}  // namespace

const SysCalls sys_native = kNative;
SysCalls sys = kWithNetwork;

// For tty_speed_linux.cpp, which cannot include <termios.h> and so not this table's header.
int sys_ioctl(int fd, unsigned long request, void *arg) { return sys.ioctl(fd, request, arg); }

}  // namespace posix
