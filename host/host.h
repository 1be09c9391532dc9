// The host program's shared state and operations: start-up and terminal, the
// receive ring and byte transport, service requests, progress and downloads.
#pragma once

#include <stdint.h>

#include <atomic>

// Start-up, command line and main loop

// What the command line asked for.
struct CommandLine {
  int port_number;     // 1-based as the user writes it (COM1 is 1); default 2
  int32_t baud;        // as written, before the 16-bit fix-up; default 9600
  const char *device;  // a device path or network address given for the port, or null
};

// Reads the arguments (setting binary_mode for /B). 1 when the program is to run;
// 0 when it is to end with status 0: after the two syntax lines for an argument it does
// not understand, or after --help or --list have printed what they print.
int parse_command_line(int argc, char **argv, CommandLine *line);
int32_t fix_up_baud(int32_t baud);  // the wrapped 16-bit values of 38400, 115200, 76800
void print_banner(void);

// The open port's library index (COM1 is 0), -1 while none is open. Written by
// open_link and close_link under the link gate; read by any thread.
extern std::atomic<int32_t> port_index;
extern uint32_t saved_event_mask;  // the mask the port had before open_link (link gate)
extern int binary_mode;            // 1 with /B: downloads go as binary records (main thread)
extern int console_column;         // column counted by display_char (main thread)

int open_link(int port_number, int32_t baud);  // 1 when open and set up, 0 when refused

// Why open_link refused: the port number or the baud rate, or else the library's
// last_error after its probe (SIO_ERR_NO_DEVICE and the rest, SIO_FAILED when it
// could not tell). Written by open_link; main thread.
#define LINK_BAD_PORT 2
#define LINK_BAD_BAUD 3
extern int link_refusal;
extern const int32_t baud_rates[8];  // the rates a port is opened at, lowest first

// The device a port number leads to, and what the user can do about a refused open
void explain_refusal(int port_number, int32_t baud);  // one line on standard error
void describe_device(int port_number);  // the line after "Using"
// Makes `device` (a path or network address) the port's device for this run; 0 when
// this platform cannot (the reason printed).
int bind_port_device(int port_number, const char *device);
void list_serial_ports(void);  // --list

// The program's own lines on standard output and standard error, printf-style. On the
// console made raw each line ends in CR LF and starts on a fresh line (see message.cpp);
// anywhere else the bytes are exactly as printf gives them. Any thread.
#if defined(__GNUC__)
#define HOST_PRINTF __attribute__((format(printf, 1, 2)))
#else
#define HOST_PRINTF
#endif
void host_message(const char *format, ...) HOST_PRINTF;
void host_error(const char *format, ...) HOST_PRINTF;
void close_link(void);
// The link gate: whoever holds it may call the library on port_index. The main
// thread holds it only around single library calls; the interrupt thread takes it
// for good before it closes the port, so the main thread stays off the port from then
// until the process ends.
void link_enter(void);
void link_leave(void);
void close_link_for_good(void);  // takes the gate, closes, and never gives it back

// A lost link: the port's device has gone (SIO_EV_PORT_LOST). link_lost is 1 from the
// loss until the port is open again; the event thread raises it, the main thread
// lowers it before it reopens the port. While it is up, rx_get gives RX_LOST once
// RxRing is empty, send_bytes drops what it is given, and every request in progress
// ends at once.
extern std::atomic<int> link_lost;
#define RX_LOST (-256)  // rx_get's result once the link is lost and nothing is left
int link_is_lost(void);
// Says once per loss that the port is lost and that tavo waits for it. Main thread.
void link_announce_loss(void);
// The main thread's wait for a lost port: closes it, drops the keys typed meanwhile
// (saying so once), and reopens it with the same settings as soon as its device path
// is back. Returns with the port open again; Ctrl-C or another ending signal ends the
// process meanwhile.
void await_link_return(void);
// The port as it was asked for on the command line; the device path behind COMn.
int link_port_number(void);
int32_t link_baud(void);
int reopen_link(void);  // open_link with what it was last given
const char *link_device_path(int port_number);

// Watching a device path for its return (one implementation per platform): begin
// before trying the path, so that a return between the try and the wait still ends
// the wait; wait blocks until the path may be back, a key is waiting, or a few
// hundred milliseconds pass.
struct LinkWatch {
  int fd;  // POSIX: inotify descriptor, -1 when the path cannot be watched
};
void link_watch_begin(LinkWatch *watch, const char *path);
void link_watch_wait(LinkWatch *watch);
void link_watch_end(LinkWatch *watch);

void main_loop(void);  // never returns
void display_char(int byte);

// Blocks SIGINT in the calling thread (call before any other thread exists, so that
// every later thread inherits the block) and starts the thread that waits for it.
void start_interrupt_thread(void);
[[noreturn]] void on_interrupt(int signal_number);
// SIGTERM, SIGHUP or SIGQUIT: the port is closed (its device's settings given back) and
// the process ends with status 128 + the signal's number, without a message.
[[noreturn]] void on_ending_signal(int signal_number);
// Ends the process with exit status `status` (files flushed and closed, console
// restored). Only the first caller gets through, whatever thread it runs on; any later
// one waits for the process to end.
[[noreturn]] void end_program(int status);

// Receive ring and byte transport

#define RX_RING_SIZE 16384

// The host's receive ring: one producer (the port's event thread, in on_port_event)
// and one consumer (the main thread, in rx_get). No lock: the slot is written before
// rx_count is raised (release) and read after rx_count is seen non-zero (acquire);
// rx_get lowers rx_count only after it has read the slot (release), so the producer
// reuses a slot only once the consumer is done with it.
struct RxRing {
  uint8_t data[RX_RING_SIZE];
  int rx_write_pos;              // next slot to fill; event thread only
  int rx_read_pos;               // next slot to take; main thread only
  std::atomic<int> rx_count;     // unread bytes, 0..RX_RING_SIZE; both threads
  std::atomic<uint32_t> rx_lost; // bytes dropped because the ring was full; event thread
                                 // raises, anyone reads
  std::atomic<int> rx_waiting;   // 1 while the main thread is about to block or blocked
                                 // for a byte; main thread writes, event thread reads
};
extern RxRing rx_ring;

int32_t on_port_event(uint8_t port, uint32_t events);
int rx_available(void);
int rx_get(void);              // next received byte, sign-extended; waits for one
// The run of received bytes that lie together in RxRing from the next one on (0 when
// none; never waits); they stay the caller's to read until rx_consume releases them.
int rx_span(const uint8_t **bytes);
void rx_consume(int count);
int send_byte(int byte);       // queues the low 8 bits; waits for transmit room
void send_bytes(const uint8_t *bytes, int length);  // queues them all, in order
// Blocks until RxRing holds a byte, or (with also_keys) until a key is waiting too.
// Console output and standard output are flushed first. Main thread only.
void rx_wait(int also_keys);

// Service requests, upload and progress display
void serve_request(void);
void read_token(char *buffer); // buffer of 256 bytes
void upload_to_file(const char *name);
void show_progress(int character);

// Downloads
void download_binary(const char *name, int verify);
void download_text(const char *name, int verify);
int hex_digit_value(int character);
