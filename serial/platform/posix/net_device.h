// Private to the POSIX platform layer: a network serial port, a TCP connection to a
// serial server spoken to raw ("tcp://HOST:PORT") or through RFC 2217
// ("rfc2217://HOST:PORT"). It is a device beneath the layer's system-call table: its
// open entry connects and returns the socket's descriptor, and the other entries serve
// the descriptors it owns as a tty driver would (read, write, termios, modem-line and
// counter ioctls, poll) and pass every other descriptor on.
//
// Threads: the port's I/O thread (or an inline waiter) reads, the writer's requests
// write, settings calls send commands and wait for their answers, and the modem thread
// waits in TIOCMIWAIT. Conn.lock guards everything of a connection; the socket is read
// only under it, so whoever reads decodes, and an answer or a notification read by one
// thread wakes the thread waiting for it through the eventfds below.
#pragma once

#include <poll.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <mutex>
#include <vector>

#include "telnet.h"

struct termios;

namespace posix {

// The line settings a network port holds, in termios terms: the flags and control
// characters as last set, the framing and speed as the server last confirmed them.
struct NetLine {
  uint32_t iflag, oflag, cflag, lflag;
  uint8_t cc[32];
  uint32_t speed;  // bits per second
};

// Line errors and modem-line changes counted as TIOCGICOUNT gives them.
struct NetCounters {
  int cts, dsr, rng, dcd, frame, overrun, parity, brk;
};

struct Conn {
  int fd;         // the socket
  int ready_fd;   // eventfd, readable while decoded bytes wait in kept or the connection is dead
  int modem_fd;   // eventfd that wakes a TIOCMIWAIT: a modem-state notification or a hang-up
  int answer_fd;  // eventfd that wakes a thread waiting for a server's answer
  bool rfc2217;   // false: raw TCP, bytes as they are
  std::mutex lock;
  telnet::Decoder decoder;
  // Data bytes decoded by a thread that was not reading (one waiting for an answer, or
  // counting the input), kept for the next read from kept_head on.
  std::vector<uint8_t> kept;
  size_t kept_head;
  // Bytes the socket has not taken yet: protocol sequences, and at most the second
  // half of one escaped 0xFF. They go out before any new data.
  std::vector<uint8_t> out;
  bool dead;  // the server closed the connection or it broke: reads as a hang-up
  // An input purge in progress: data bytes are dropped up to the place in the data
  // where the server's answer came (purge_end; UINT64_MAX until it has come).
  bool purging;
  uint64_t purge_end;

  // Options: what this client has offered (WILL) and asked for (DO), and refused.
  uint8_t sent[256];  // bit per verb: 1 WILL, 2 WONT, 4 DO, 8 DONT
  bool com_port;        // the server agreed to COM-PORT-OPTION
  bool com_port_known;  // it has answered the offer either way

  NetLine line;
  int modem_lines;    // TIOCM_ bits: DTR and RTS as set, CTS, DSR, CD, RI from the server
  NetCounters counters;
  // Per command: commands sent and answers seen, for the bounded wait; a command the
  // server once left unanswered is not waited for again.
  uint32_t asked[telnet::kCommandCount];
  uint32_t answers[telnet::kCommandCount];
  bool silent[telnet::kCommandCount];
};

// Whether a device path names a network port.
bool net_path(const char *path);

// The connection behind a descriptor, or null for every other descriptor.
Conn *net_conn(int fd);

// The device's calls, as the system calls they stand for (-1 with errno set on
// failure). The open connects and negotiates; the others serve an open connection.
int net_open(const char *path);
int net_close(Conn *c);
ssize_t net_read(Conn *c, void *buf, size_t n);
ssize_t net_write(Conn *c, const void *buf, size_t n);
// poll() over any descriptors: a network one with kept data or a hang-up is ready.
int net_poll(struct pollfd *fds, nfds_t n, int timeout);
// The tty ioctls on a network descriptor (termios, modem lines, counters, queues,
// flushes, break, exclusive use).
int net_ioctl(Conn *c, unsigned long request, void *arg);
// tcgetattr and tcsetattr, on the C library's struct termios (net_lines.cpp).
int net_tcgetattr(Conn *c, struct termios *t);
int net_tcsetattr(Conn *c, const struct termios *t);

// The table entries (net_syscalls.cpp), in force in production: see syscalls.cpp.
int net_sys_open(const char *path, int flags, mode_t mode);
int net_sys_close(int fd);
ssize_t net_sys_read(int fd, void *buf, size_t len);
ssize_t net_sys_write(int fd, const void *buf, size_t len);
int net_sys_ioctl(int fd, unsigned long request, void *arg);
int net_sys_tcgetattr(int fd, struct termios *t);
int net_sys_tcsetattr(int fd, int when, const struct termios *t);
int net_sys_tcflush(int fd, int queue);
int net_sys_tcflow(int fd, int action);
int net_sys_poll(struct pollfd *fds, nfds_t count, int timeout);
int net_sys_flock(int fd, int operation);
int net_sys_isatty(int fd);

// Inside the device (net_*.cpp), under Conn.lock.
// Sends what is waiting in out as far as the socket takes it; false when the
// connection broke (it is then dead).
bool conn_flush(Conn *c);
// Reads and decodes what the socket holds now, without waiting; data go to kept.
void conn_pump(Conn *c);
// Decodes raw bytes read from the socket into data (room for n); protocol goes to
// the negotiation and the command handlers. Returns the data bytes.
size_t conn_decode(Conn *c, const uint8_t *raw, size_t n, uint8_t *data);
// Marks the connection dead and wakes every waiter.
void conn_die(Conn *c);
// Wakes the eventfd's poller; an eventfd read drops what woke it.
void poke_eventfd(int fd);
void drop_eventfd(int fd);

// The RFC 2217 side (net_rfc2217.cpp).
// Offers the options and learns the server's line settings, within a bound; the
// connection is not yet shared with other threads.
void rfc2217_start(Conn *c);
// The decoder's sink: negotiations are answered, server answers and notifications
// update the line, the modem lines and the counters.
void rfc2217_on_event(void *conn, const telnet::Event &e);
// Puts new line settings: the framing, speed and handshake that changed go to the
// server, whose answers are awaited within a bound.
void net_line_set(Conn *c, std::unique_lock<std::mutex> &hold, const NetLine &want);
// Purges the server's buffers (telnet::Purge bits); with its receive buffer, the data
// it had sent before its answer is dropped here too.
void rfc2217_purge(Conn *c, std::unique_lock<std::mutex> &hold, uint8_t which);
// The line ioctls of a connection (modem lines, break, counters, queues, flushes).
int net_line_ioctl(Conn *c, std::unique_lock<std::mutex> &hold, unsigned long request, void *arg);

// The kernel's termios and termios2 ioctls (net_termios2.cpp, apart from <termios.h>):
// true when request was one of them, with its result in *rc.
bool net_termios_ioctl(Conn *c, std::unique_lock<std::mutex> &hold, unsigned long request, void *arg, int *rc);

}  // namespace posix
