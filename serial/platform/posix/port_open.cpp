// Opening and closing ports: COM names to device paths, CreateFileA (exclusive, no
// wait for carrier, HUPCL off), GetDefaultCommConfigA, and the close that gives the
// device its own settings back.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <new>
#include <string>
#include <type_traits>

#include "net_connect.h"
#include "net_device.h"
#include "port.h"
#include "syscalls.h"

namespace posix {

namespace {

static_assert(std::is_standard_layout<Port>::value, "the handle points at the Object at the start");

// Size of the input queue before SetupComm: that of the Linux line discipline.
const size_t kDefaultInQueue = 4096;

// "COMn" or "\\.\COMn", n from 1 to 36 without leading zeros; 0 for anything else.
int com_number(const char *name) {
  if (strncmp(name, "\\\\.\\", 4) == 0) name += 4;
  if (strncasecmp(name, "COM", 3) != 0) return 0;
  const char *digits = name + 3;
  if (digits[0] < '1' || digits[0] > '9') return 0;
  int n = 0;
  for (const char *c = digits; *c; c++) {
    if (*c < '0' || *c > '9' || c - digits >= 2) return 0;
    n = n * 10 + (*c - '0');
  }
  return n <= 36 ? n : 0;
}

// The device path of a port name: TAVO_COM<n> when set, else the n-1th serial port.
// An absolute path names a device directly.
bool device_path(const char *name, std::string *path) {
  if (name == nullptr) return false;
  if (name[0] == '/') {
    *path = name;
    return true;
  }
  int n = com_number(name);
  if (n == 0) return false;
  char var[24];
  snprintf(var, sizeof var, "TAVO_COM%d", n);
  const char *mapped = getenv(var);
  if (mapped != nullptr && mapped[0] != '\0') {
    *path = mapped;
  } else {
    char dev[32];
    snprintf(dev, sizeof dev, "/dev/ttyS%d", n - 1);
    *path = dev;
  }
  return true;
}

// Whether a character device number belongs to a tty driver, from the kernel's list
// of tty drivers, so that the device need not be opened to find out.
bool is_tty_device(dev_t dev) {
  FILE *f = fopen("/proc/tty/drivers", "r");
  if (f == nullptr) return false;
  char line[256];
  bool found = false;
  while (!found && fgets(line, sizeof line, f) != nullptr) {
    char name[64], node[96], type[64];
    unsigned major_no = 0, lo = 0, hi = 0;
    int fields = sscanf(line, "%63s %95s %u %u-%u %63s", name, node, &major_no, &lo, &hi, type);
    if (fields == 5 || fields == 6) {  // a range of minors
      found = major(dev) == major_no && minor(dev) >= lo && minor(dev) <= hi;
    } else if (sscanf(line, "%63s %95s %u %u", name, node, &major_no, &lo) == 4) {
      found = major(dev) == major_no && minor(dev) == lo;
    }
  }
  fclose(f);
  return found;
}

// Whether the open device is the slave side of a pseudo-terminal (the Unix 98 ones,
// majors 136 to 143, or a legacy BSD one, major 3).
bool is_pseudo_terminal(int fd) {
  struct stat st;
  if (sys.fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  unsigned m = major(st.st_rdev);
  return (m >= 136 && m <= 143) || m == 3;
}

// The Win32 error of a failed open: missing (a node without hardware behind it too),
// not allowed, or held by another program.
DWORD open_error(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case EBUSY:
    case EWOULDBLOCK:
      return ERROR_SHARING_VIOLATION;
    // A network port's server: refusing, unreachable, not answering, not found,
    // closing the connection at once.
    case ECONNREFUSED:
      return ERROR_CONNECTION_REFUSED;
    case EHOSTUNREACH:
    case ENETUNREACH:
      return ERROR_HOST_UNREACHABLE;
    case ETIMEDOUT:
      return ERROR_SEM_TIMEOUT;
    case kNoSuchHost:
      return ERROR_BAD_NETPATH;
    case ECONNRESET:
      return ERROR_NETNAME_DELETED;
  }
  return ERROR_FILE_NOT_FOUND;
}

// Opens the device for this process alone; -1 with the Win32 error set.
int open_exclusive(const std::string &path) {
  int fd = sys.open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0);
  if (fd < 0) {
    set_error(open_error(errno));
    return -1;
  }
  if (!sys.isatty(fd)) {
    sys.close(fd);
    set_error(ERROR_NOT_SUPPORTED);
    return -1;
  }
  // The lock keeps out other programs that honour it (and this process, even as
  // root); TIOCEXCL keeps out every other open but a privileged one.
  if (sys.flock(fd, LOCK_EX | LOCK_NB) != 0) {
    sys.close(fd);
    set_error(ERROR_SHARING_VIOLATION);
    return -1;
  }
  sys.ioctl(fd, TIOCEXCL, nullptr);
  return fd;
}

void port_destroy(Object *obj) { delete reinterpret_cast<Port *>(obj); }

void port_close(Object *obj);

Port *port_new(int fd) {
  Port *p = new (std::nothrow) Port();
  if (p == nullptr) return nullptr;
  p->obj.kind = Kind::Port;
  p->obj.on_close = port_close;
  p->obj.destroy = port_destroy;
  p->fd = fd;
  p->wake_fd = -1;
  p->inline_fd = -1;
  p->rx.assign(kDefaultInQueue, 0);
  p->rx_size.store(kDefaultInQueue, std::memory_order_relaxed);
  p->tx_char = -1;
  p->modem_stop.store(false, std::memory_order_relaxed);
  return p;
}

// Reads the device's settings, then puts the line into the layer's raw state with
// the same speed, framing and handshake.
bool port_setup(Port *p) {
  struct termios t;
  if (sys.tcgetattr(p->fd, &t) != 0) return false;
  p->saved_ok = tty_save(p->fd, &p->saved);
  int bits = 0;
  p->has_modem_lines = sys.ioctl(p->fd, TIOCMGET, &bits) == 0;
  p->pseudo_terminal = is_pseudo_terminal(p->fd);
  p->no_output_queue = p->pseudo_terminal;
  low_latency_on(p);
  p->modem_bits = bits;
  p->open_dcb = dcb_from_device(p->fd, &t);
  p->dcb = p->open_dcb;
  read_counters(p);
  p->errors = 0;
  return apply_dcb(p, &p->dcb);
}

// Waits, within a bound, for output still in the driver to go out, so that a change of
// settings does not garble it.
void wait_output_drained(Port *p) {
  int64_t give_up = now_ms() + 2000;
  int outq = 0;
  while (driver_output_queue(p, &outq) && outq > 0 && now_ms() < give_up) {
    int64_t ms = static_cast<int64_t>(outq) * 11 * 1000 / (p->dcb.BaudRate ? p->dcb.BaudRate : 9600) + 1;
    struct timespec pause = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
  }
}

// Last close: pending requests end, the threads stop, and when the settings in force
// are those the device had at open (the caller has put them back), the device gets
// its exact termios back, HUPCL excepted: it stays off, so that the close does not
// drop DTR and reset the board.
void port_close(Object *obj) {
  Port *p = reinterpret_cast<Port *>(obj);
  bool restore;
  {
    std::lock_guard<std::mutex> hold(p->lock);
    p->closing = true;
    abort_requests(p, PURGE_TXABORT | PURGE_RXABORT | kAbortWait, ERROR_OPERATION_ABORTED);
    restore = !p->hung_up && p->saved_ok && line_fields_equal(&p->dcb, &p->open_dcb);
  }
  inline_wait_end(p);
  io_thread_stop(p);
  modem_thread_stop(p);
  if (restore) {
    wait_output_drained(p);
    tty_restore(p->fd, &p->saved, HUPCL);
  }
  low_latency_off(p);
  sys.ioctl(p->fd, TIOCNXCL, nullptr);  // the exclusive flag would outlast the close while others hold the tty
  int fd;
  {
    // A call still holding a reference finds the device gone, never a reused fd.
    std::lock_guard<std::mutex> hold(p->lock);
    fd = p->fd;
    p->fd = -1;
    p->hung_up = true;
  }
  sys.close(fd);
  close(p->wake_fd);
  if (p->inline_fd >= 0) close(p->inline_fd);
}

}  // namespace

int64_t now_ms() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

Port *port_acquire(HANDLE h) { return reinterpret_cast<Port *>(handle_acquire(h, Kind::Port)); }

void port_release(Port *p) { handle_release(&p->obj); }

void port_poke(Port *p) {
  uint64_t one = 1;
  ssize_t rc = write(p->wake_fd, &one, sizeof one);
  (void)rc;  // a full counter already wakes the thread
}

DWORD error_of_errno(int err) {
  switch (err) {
    case ENOTTY:
    case EINVAL:
      return ERROR_NOT_SUPPORTED;
    case EIO:
    case ENXIO:
    case ENODEV:
      return kHungUpError;
  }
  return ERROR_GEN_FAILURE;
}

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD,
                          HANDLE) {
  std::string path;
  if (disposition != OPEN_EXISTING) {
    set_error(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (!device_path(name, &path)) {
    set_error(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  int fd = open_exclusive(path);
  if (fd < 0) return INVALID_HANDLE_VALUE;
  Port *p = port_new(fd);
  // Without its own eventfd the port simply has no inline waits.
  if (p != nullptr) p->inline_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (p == nullptr || !port_setup(p) || (p->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) < 0 ||
      !io_thread_start(p)) {
    if (p != nullptr && p->wake_fd >= 0) close(p->wake_fd);
    if (p != nullptr && p->inline_fd >= 0) close(p->inline_fd);
    if (p != nullptr && p->saved_ok) tty_restore(fd, &p->saved, HUPCL);
    if (p != nullptr) low_latency_off(p);
    sys.ioctl(fd, TIOCNXCL, nullptr);
    delete p;
    sys.close(fd);
    set_error(ERROR_GEN_FAILURE);
    return INVALID_HANDLE_VALUE;
  }
  return handle_register(&p->obj);
}

// Why a device path is no port: missing, out of reach, or not a tty; 0 when it is one.
// A network port is not connected to find out: the server is asked at the open.
static DWORD path_error(const std::string &path) {
  struct stat st;
  if (net_path(path.c_str())) return 0;
  if (sys.stat(path.c_str(), &st) != 0) return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
  if (!S_ISCHR(st.st_mode) || !is_tty_device(st.st_rdev)) return ERROR_NOT_SUPPORTED;
  return 0;
}

// The default configuration of a port that exists and is a tty, or names a network
// port. The device is not opened: opening a serial port raises its DTR and RTS lines.
BOOL WINAPI GetDefaultCommConfigA(LPCSTR name, LPCOMMCONFIG cc, LPDWORD size) {
  std::string path;
  if (size == nullptr) {
    set_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD error = device_path(name, &path) ? path_error(path) : ERROR_FILE_NOT_FOUND;
  if (error != 0) {
    set_error(error);
    return FALSE;
  }
  DCB dcb;
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = 9600;
  dcb.fBinary = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.ByteSize = 8;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  return fill_comm_config(cc, size, &dcb);
}

}  // namespace posix
