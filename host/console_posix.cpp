// The console on POSIX systems: the controlling terminal (/dev/tty) in raw mode, or
// standard input and output without one; batched screen output; the wake-up pipe the
// receive side uses to end the main thread's wait; settings restored on every way out.
//
// Ctrl-C: the terminal keeps ISIG, so the terminal driver itself turns Ctrl-C into
// SIGINT at once, even while the main thread is busy in a transfer and reads no keys.
// The quit (Ctrl-\) and suspend (Ctrl-Z) characters are disabled instead, so those two
// keys arrive as the bytes 0x1C and 0x1A and go to the target like any other key.
#include "host/console.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>

static const uint8_t key_delete = 0x7F;     // what the Backspace key sends
static const uint8_t key_backspace = 0x08;  // what a ROM monitor expects for it

// Main thread only (set once by console_open).
static int in_fd = STDIN_FILENO;
static int out_fd = STDOUT_FILENO;
static int input_closed = 0;  // end of input or hang-up met: keys are no longer looked for
static int tty_is_controlling = 0;  // the console is /dev/tty

// The terminal whose settings were changed and those settings as found. Written by
// console_open before raw_active is raised; read by console_restore on any thread or
// in a signal handler, which lowers raw_active first so the restore runs once.
static int tty_fd = -1;
static struct termios saved_settings;
// 1 once output processing is off and standard output is a terminal too: the restore
// then writes a CR first, since our own messages ("QUITTING\n") ended their lines
// without one.
static std::atomic<int> restore_return{0};
static std::atomic<int> raw_active{0};
// Set by console_raw_output (main thread), read by any thread: standard output and
// standard error write to the raw terminal.
static std::atomic<int> raw_stdout{0};
static std::atomic<int> raw_stderr{0};
// 1 when the last byte written to the screen was not a line feed. console_flush (main
// thread) and console_line_started (any thread) write it.
static std::atomic<int> screen_mid_line{0};

// Keys read ahead by the key test. Main thread only.
static uint8_t key_buffer[64];
static size_t key_length = 0;
static size_t key_position = 0;

// Screen bytes queued by console_put. Main thread only.
static uint8_t out_buffer[16384];  // a full RxRing's worth in one write
static size_t out_length = 0;

// The wake-up pipe: console_wake writes a byte, console_wait reads them all. The read
// end is the main thread's; the write end is published with release for the event
// thread.
static int wake_read = -1;
static std::atomic<int> wake_write{-1};

static const int fatal_signals[] = {SIGHUP,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,
                                    SIGFPE,  SIGSEGV, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1,
                                    SIGUSR2, SIGXCPU, SIGXFSZ};

static void restore_and_raise(int signal_number) {
  int saved_errno = errno;
  console_restore();
  signal(signal_number, SIG_DFL);
  raise(signal_number);  // delivered with the default action once this handler returns
  errno = saved_errno;
}

void console_exit_on_signal(int signal_number) {
  struct sigaction action = {};
  action.sa_handler = restore_and_raise;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;
  sigaction(signal_number, &action, nullptr);
}

// A signal that was ignored when the program started (nohup, a pipeline) stays ignored.
static void exit_on_fatal_signals(void) {
  for (int signal_number : fatal_signals) {
    struct sigaction old_action;
    if (sigaction(signal_number, nullptr, &old_action) == 0 && old_action.sa_handler == SIG_IGN) {
      continue;
    }
    console_exit_on_signal(signal_number);
  }
}

void console_restore(void) {
  if (raw_active.exchange(0) == 0) {
    return;
  }
  if (restore_return.load()) {
    ssize_t ignored = write(tty_fd, "\r", 1);
    (void)ignored;
  }
  tcsetattr(tty_fd, TCSANOW, &saved_settings);
}

static struct termios raw_settings(const struct termios *found) {
  struct termios raw = *found;
  raw.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
  raw.c_iflag &= ~(IXANY | INPCK);
  raw.c_cflag &= ~(CSIZE | PARENB);
  raw.c_cflag |= CS8;
  raw.c_lflag &= ~(ECHO | ECHONL | ICANON | IEXTEN);
  raw.c_lflag |= ISIG | NOFLSH;  // Ctrl-C signals; what is on its way to the screen stays
  raw.c_cc[VINTR] = 0x03;
  raw.c_cc[VQUIT] = _POSIX_VDISABLE;
  raw.c_cc[VSUSP] = _POSIX_VDISABLE;
#ifdef VDSUSP
  raw.c_cc[VDSUSP] = _POSIX_VDISABLE;
#endif
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  return raw;
}

static void enter_raw_mode(int fd) {
  if (tcgetattr(fd, &saved_settings) != 0) {
    return;  // not a terminal: bytes pass as they are anyway
  }
  struct termios raw = raw_settings(&saved_settings);
  tty_fd = fd;
  exit_on_fatal_signals();
  atexit(console_restore);
  raw_active.store(1);
  tcsetattr(fd, TCSANOW, &raw);
}

// Whether fd is the console's terminal (the same device, not only a terminal). Opened
// as /dev/tty, the console is the controlling terminal, which fd is when it belongs to
// this session.
static int same_terminal(int fd) {
  struct stat mine, theirs;
  if (!isatty(fd)) return 0;
  if (tty_is_controlling) return tcgetsid(fd) == getsid(0);
  return fstat(fd, &mine) == 0 && fstat(tty_fd, &theirs) == 0 && mine.st_rdev == theirs.st_rdev;
}

void console_raw_output(void) {
  struct termios raw;
  if (raw_active.load() && tcgetattr(tty_fd, &raw) == 0) {
    raw.c_oflag &= ~OPOST;  // the target's bytes reach the screen as they are
    restore_return.store(isatty(STDOUT_FILENO));
    raw_stdout.store(same_terminal(STDOUT_FILENO));
    raw_stderr.store(same_terminal(STDERR_FILENO));
    tcsetattr(tty_fd, TCSANOW, &raw);
  }
}

int console_raw_screen(FILE *stream) {
  if (stream == stdout) return raw_stdout.load();
  return stream == stderr ? raw_stderr.load() : 0;
}

int console_mid_line(void) {
  return screen_mid_line.load();
}

void console_line_started(void) {
  screen_mid_line.store(0);
}

void console_open(void) {
  int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd >= 0) {
    in_fd = fd;
    out_fd = fd;
    tty_is_controlling = 1;
  }
  enter_raw_mode(in_fd);
}

// Reads what keys there are into key_buffer; 1 when it got any.
static int read_keys(void) {
  ssize_t n = read(in_fd, key_buffer, sizeof key_buffer);
  if (n > 0) {
    key_length = (size_t)n;
    key_position = 0;
    return 1;
  }
  if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
    input_closed = 1;
  }
  return 0;
}

int console_key_waiting(void) {
  if (key_position < key_length) {
    return 1;
  }
  if (input_closed) {
    return 0;
  }
  struct pollfd p = {in_fd, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0) {
    return 0;
  }
  return read_keys();
}

int console_read_key(void) {
  while (!console_key_waiting()) {
    struct pollfd p = {input_closed ? -1 : in_fd, POLLIN, 0};
    poll(&p, 1, -1);  // with the input gone this waits for ever, as for a key never typed
  }
  uint8_t key = key_buffer[key_position++];
  return key == key_delete ? key_backspace : key;
}

static void write_all(const uint8_t *bytes, size_t length) {
  while (length > 0) {
    ssize_t n = write(out_fd, bytes, length);
    if (n > 0) {
      bytes += n;
      length -= (size_t)n;
    } else if (n < 0 && errno == EAGAIN) {
      struct pollfd p = {out_fd, POLLOUT, 0};
      poll(&p, 1, -1);
    } else if (n < 0 && errno != EINTR) {
      return;  // the screen is gone: what cannot be shown is dropped
    }
  }
}

void console_put(uint8_t byte) {
  if (out_length == sizeof out_buffer) {
    console_flush();
  }
  out_buffer[out_length++] = byte;
}

void console_flush(void) {
  if (out_length > 0) {
    // Told before the bytes show, so that a message that comes once they show knows.
    screen_mid_line.store(out_buffer[out_length - 1] != '\n');
    write_all(out_buffer, out_length);
    out_length = 0;
  }
}

static int make_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
         fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

void console_wake_init(void) {
  int fds[2];
  if (wake_read >= 0 || pipe(fds) != 0) {
    return;
  }
  if (!make_nonblocking(fds[0]) || !make_nonblocking(fds[1])) {
    close(fds[0]);
    close(fds[1]);
    return;
  }
  wake_read = fds[0];
  wake_write.store(fds[1], std::memory_order_release);
}

void console_wake(void) {
  int fd = wake_write.load(std::memory_order_acquire);
  if (fd >= 0) {
    uint8_t byte = 1;
    ssize_t ignored = write(fd, &byte, 1);  // a full pipe is already a wake-up
    (void)ignored;
  }
}

static void drain_wake(void) {
  uint8_t bytes[64];
  ssize_t n = sizeof bytes;
  while (wake_read >= 0 && n == (ssize_t)sizeof bytes) {  // a short read emptied the pipe
    n = read(wake_read, bytes, sizeof bytes);
  }
}

void console_wait(int also_keys) {
  console_flush();
  fflush(stdout);
  if (also_keys && key_position < key_length) {
    return;
  }
  struct pollfd p[2] = {{wake_read, POLLIN, 0}, {-1, POLLIN, 0}};
  if (also_keys && !input_closed) {
    p[1].fd = in_fd;
  }
  // Without a wake-up pipe (it could not be made) the wait falls back to a 1 ms nap.
  int timeout_ms = wake_read >= 0 ? -1 : 1;
  while (poll(p, 2, timeout_ms) < 0 && errno == EINTR) {
  }
  drain_wake();
}
