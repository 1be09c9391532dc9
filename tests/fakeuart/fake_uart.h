// A fake UART behind a device path, beneath the POSIX layer's system-call table: the
// layer above it runs the same code as on a real serial port. It has modem lines with
// the driver's counters, line errors and breaks, an output queue that drains at the
// line's speed and stops while CTS holds it (CRTSCTS), the driver's priority path for
// XON and XOFF, the DTR and RTS moves of a tty's open and of its close (HUPCL), the
// low-latency flag of TIOCGSERIAL/TIOCSSERIAL, and a hang-up at a chosen moment.
// Descriptors that are not a fake's own go on to the table's entries in force before
// (a pseudo-terminal keeps working). Every control may run on any thread.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

struct FakeUart;  // one per path; lives until fake_uart_reset_all

// Serves `path` with a fake UART (closed, 9600 8N1 with HUPCL, every line down) and
// stacks the fake on the system-call table the first time. Only while no port is open.
FakeUart *fake_uart_attach(const char *path);
// Forgets every fake and puts back the table's entries. Only while no port is open.
void fake_uart_reset_all(void);

// An input line (TIOCM_CTS, TIOCM_DSR, TIOCM_CD, TIOCM_RNG) raised or lowered; a change
// counts in TIOCGICOUNT (a ring on its trailing edge) and ends a TIOCMIWAIT for it.
void fake_uart_set_line(FakeUart *u, int tiocm_bit, bool up);
// Bytes from the far side, into the input queue.
void fake_uart_receive(FakeUart *u, const std::string &bytes);
// A byte received with a line error, counted in TIOCGICOUNT: a framing or parity error
// and a break deliver a 0 byte; an overrun lost an earlier byte and delivers this one.
enum FakeLineError { FAKE_FRAMING, FAKE_PARITY, FAKE_OVERRUN, FAKE_BREAK };
void fake_uart_line_error(FakeUart *u, FakeLineError kind, uint8_t byte = 'x');

// The device goes away (an adapter unplugged): reads and writes fail with EIO, poll()
// reports POLLHUP, a TIOCMIWAIT ends with EIO; the input already queued is lost, as a
// tty's is at a hang-up.
void fake_uart_hang_up(FakeUart *u);
// The driver's serial flags (TIOCGSERIAL/TIOCSSERIAL; ASYNC_LOW_LATENCY among them).
void fake_uart_set_serial_flags(FakeUart *u, int flags);
int fake_uart_serial_flags(FakeUart *u);

// What has gone out on the line so far, and the bytes the driver still holds. The
// output queue holds `capacity` bytes (4096 to start).
std::string fake_uart_sent(FakeUart *u);
size_t fake_uart_output_queue(FakeUart *u);
void fake_uart_set_output_capacity(FakeUart *u, size_t capacity);

// The lines now (outputs and inputs); TIOCM_DTR | TIOCM_RTS after every change of
// either since the attach; how often an ioctl set or cleared RTS while CRTSCTS left
// it to the driver; how often the ioctl `request` was asked.
int fake_uart_lines(FakeUart *u);
std::vector<int> fake_uart_line_history(FakeUart *u);
unsigned fake_uart_rts_meddling(FakeUart *u);
unsigned fake_uart_ioctl_count(FakeUart *u, unsigned long request);
