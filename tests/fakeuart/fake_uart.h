// A fake UART behind a device path, beneath the POSIX layer's system-call table: the
// layer above it runs the same code as on a real serial port. It has modem lines with
// the driver's counters, line errors and breaks, an output queue that drains at the
// baud rate, XON/XOFF as the driver does them, the low-latency flag, the exclusive
// flag and lock, and a hang-up at a moment the test chooses. Descriptors that are not
// a fake's own go on to the table's entries in force before (a pseudo-terminal keeps
// working). Every control may run on any thread.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

struct FakeUart;  // one per path; lives until fake_uart_reset_all

// Serves `path` with a fake UART (new, closed, in a serial port's state after boot:
// 9600 8N1 with HUPCL, DTR and RTS down, every input line down) and stacks the fake on
// the system-call table the first time. Only while no port is open.
FakeUart *fake_uart_attach(const char *path);
// Forgets every fake and puts back the table's entries in force before. Only while no
// port is open.
void fake_uart_reset_all(void);

// The input lines (TIOCM_CTS, TIOCM_DSR, TIOCM_CD, TIOCM_RNG), raised or lowered; each
// change counts in TIOCGICOUNT and ends a TIOCMIWAIT that waits for it.
void fake_uart_set_line(FakeUart *u, int tiocm_bit, bool up);

// Bytes from the far side. With IXON the STOP and START characters hold and release
// output instead; with IXOFF the driver sends STOP when its input buffer is nearly
// full and START when a read or a flush has emptied it. Bytes beyond the buffer are
// lost and counted as buf_overrun.
void fake_uart_receive(FakeUart *u, const std::string &bytes);
enum FakeLineError { FAKE_FRAMING, FAKE_PARITY, FAKE_OVERRUN, FAKE_BREAK };
// A byte received with a line error: counted in TIOCGICOUNT; a framing or parity error
// and a break reach the input as a 0 byte, an overrun lost an earlier byte and
// delivers this one.
void fake_uart_line_error(FakeUart *u, FakeLineError kind, uint8_t byte = 'x');

// What has gone out on the line so far (STOP and START characters among it), and the
// bytes the driver still holds. The output queue holds `capacity` bytes (4096 to start).
std::string fake_uart_sent(FakeUart *u);
size_t fake_uart_output_queue(FakeUart *u);
void fake_uart_set_output_capacity(FakeUart *u, size_t capacity);

// TIOCM_DTR | TIOCM_RTS after every change of either, from the attach on; the lines
// now (outputs and inputs); how often RTS was set or cleared by an ioctl while the
// driver moved it itself (CRTSCTS).
std::vector<int> fake_uart_line_history(FakeUart *u);
int fake_uart_lines(FakeUart *u);
unsigned fake_uart_rts_meddling(FakeUart *u);

// The termios flags and output speed in force.
struct FakeTermios {
  uint32_t iflag, oflag, cflag, lflag, baud;
  uint8_t start_char, stop_char;
};
FakeTermios fake_uart_termios(FakeUart *u);

// The low-latency flag (ASYNC_LOW_LATENCY of TIOCSSERIAL) after every change, and now.
std::vector<bool> fake_uart_low_latency_history(FakeUart *u);
bool fake_uart_low_latency(FakeUart *u);

// Whether TIOCEXCL is in force, and how many descriptors have the device open.
bool fake_uart_exclusive(FakeUart *u);
int fake_uart_open_count(FakeUart *u);

// From now on: reads fail with EIO, poll reports POLLHUP, every other call EIO.
void fake_uart_hang_up(FakeUart *u);

// From now on the ioctl `request` fails with `err` (0: works again); how often it was
// asked (failed calls too).
void fake_uart_fail_ioctl(FakeUart *u, unsigned long request, int err);
unsigned fake_uart_ioctl_count(FakeUart *u, unsigned long request);
