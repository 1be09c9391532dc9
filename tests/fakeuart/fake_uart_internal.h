// Private to the fake UART: its state, the driver model that both the system-call
// entries and the test's controls run, and the waiters they wake. One mutex guards
// every fake; nothing here blocks while holding it.
#pragma once

#include <linux/serial.h>
#include <stdint.h>

#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "fake_uart.h"

struct FakeUart {
  std::string path;
  int index;             // which fake: the minor number of its device node
  std::vector<int> fds;  // its open descriptors (eventfds the fake made)
  int lock_holder;       // the descriptor holding the flock, -1 for none
  bool exclusive;        // TIOCEXCL

  // Settings, as the kernel keeps them (the output speed in bits per second).
  uint32_t iflag, oflag, cflag, lflag, baud;
  uint8_t cc[19];

  int lines;  // TIOCM_ bits, outputs and inputs
  std::vector<int> line_history;
  unsigned rts_meddling;
  struct serial_icounter_struct icount;
  int serial_flags;  // ASYNC_ bits of TIOCSSERIAL
  std::vector<bool> low_latency_history;

  std::deque<uint8_t> rx;
  bool throttled;  // the input buffer is nearly full
  bool xoff_sent;  // with IXOFF: STOP went out and START has not yet

  std::deque<uint8_t> tx;
  size_t tx_capacity;
  int64_t tx_clock_ns;  // when the next character began to go out
  std::string sent;
  bool stopped_by_xoff;  // IXON received STOP
  bool stopped_by_tcflow;

  bool hung_up;
  std::map<unsigned long, int> ioctl_errors;
  std::map<unsigned long, unsigned> ioctl_counts;
};

// The speed bits of c_cflag, and their code for a speed given in c_ospeed (termios2).
const uint32_t kFakeCbaud = 0010017;
const uint32_t kFakeBother = 0010000;

const size_t kFakeRxBuffer = 4096;  // the line discipline's buffer
const size_t kFakeThrottleRoom = 128;

struct FakeState {
  std::mutex lock;
  std::vector<FakeUart *> uarts;
  std::set<int> waiters;  // eventfds of threads blocked in a poll or TIOCMIWAIT on a fake
};
FakeState &fake_state(void);

int64_t fake_now_ns(void);
// Under the lock: the fake behind a descriptor or a path, or null.
FakeUart *fake_by_fd(int fd);
FakeUart *fake_by_path(const char *path);
// Under the lock: wakes every waiter to look again.
void fake_wake(void);
// Under the lock: moves what has gone out at the line's speed from the output queue.
void fake_advance(FakeUart *u);
bool fake_output_flowing(const FakeUart *u);
// Nanoseconds until the next character has gone out; -1 when output does not move.
int64_t fake_next_char_ns(const FakeUart *u);
// Under the lock: the output lines to `lines`, recorded when they changed.
void fake_drive_lines(FakeUart *u, int lines);
// Under the lock: the input buffer's throttle after it grew or shrank.
void fake_check_throttle(FakeUart *u);
// Under the lock: a character on the priority path (ahead of the output queue).
void fake_send_priority(FakeUart *u, uint8_t c);
// Speeds and their Bnnn codes.
uint32_t fake_baud_of_code(uint32_t code);
uint32_t fake_code_of_baud(uint32_t baud);
// Under the lock: new settings; a speed of 0 drops DTR and RTS, leaving 0 raises them.
void fake_set_termios(FakeUart *u, uint32_t iflag, uint32_t oflag, uint32_t cflag, uint32_t lflag,
                      const uint8_t *cc, uint32_t baud);

// Installs the system-call entries (fake_uart_calls.cpp) once; puts back the previous ones.
void fake_install_calls(void);
void fake_remove_calls(void);
