// Private to the POSIX platform layer: an open serial port (a tty) and the helpers its
// files share. One I/O thread per port poll()s the device and a wake-up eventfd; it
// moves received bytes into the port's input queue, finishes pending writes, and
// completes overlapped requests and event waits. Everything below is guarded by
// Port.lock unless it says otherwise; the lock is taken before any event's lock.
#pragma once

#include <pthread.h>
#include <termios.h>

#include <vector>

#include "objects.h"
#include "tty_speed.h"

namespace posix {

// OVERLAPPED.Internal while a request is pending; otherwise it holds the request's
// Win32 error code (0 for success) and InternalHigh the bytes transferred.
const ULONG_PTR kPending = 0x103;

// The error of every device call once the device has hung up (pseudo-terminal master
// closed, USB adapter unplugged): what Windows reports for a vanished serial device.
const DWORD kHungUpError = ERROR_BAD_COMMAND;

struct ReadRequest {
  OVERLAPPED *ov;  // null when no read is pending
  uint8_t *buf;
  DWORD len;
  DWORD got;
  bool any_byte_ends;      // ReadIntervalTimeout and multiplier MAXDWORD
  int64_t total_deadline;  // monotonic ms, 0 for none
  int64_t interval_deadline;
  DWORD interval;  // 0 for none
};

struct WriteRequest {
  OVERLAPPED *ov;  // null when no write is pending
  std::vector<uint8_t> data;  // the bytes the caller's first write() did not take
  size_t done;                // of data
  DWORD written_before;       // taken by that first write()
  int64_t deadline;
};

struct WaitRequest {
  OVERLAPPED *ov;  // null when no WaitCommEvent is pending
  DWORD *word;
};

// Counters of the driver (TIOCGICOUNT), where it keeps them.
struct LineCounters {
  int cts, dsr, rng, dcd, frame, overrun, parity, brk, buf_overrun;
};

struct Port {
  Object obj;  // first: the handle points here
  int fd;
  int wake_fd;  // eventfd: a write wakes the I/O thread
  // Inline waits: a thread blocked in GetOverlappedResult (or a synchronous
  // WaitCommEvent) on the pending comm-event wait polls the device itself, so that
  // received bytes end its wait without a hand-over from the I/O thread; inline_fd (an
  // eventfd) wakes it when another thread ends the wait. Meanwhile the I/O thread's
  // poll() leaves input to it (a byte wakes one thread, not two); io_polls_input says
  // whether the I/O thread's current poll() asks for input, and a wait or a read that
  // goes pending without an inline waiter pokes it to. All under the lock.
  bool io_polls_input;
  int inline_fd;
  bool inline_active;
  OVERLAPPED *inline_ov;
  pthread_t inline_thread;
  std::mutex lock;
  std::condition_variable changed;  // a request some thread waits for completed
  // The requests threads are blocked on (GetOverlappedResult, synchronous calls): a
  // completion wakes the waiters only when its request is among them, so that a write
  // finishing does not wake the event thread waiting for its comm event.
  std::vector<OVERLAPPED *> awaited;
  // Set by the I/O thread while it serves the device under the lock: a completion then
  // only marks notify_due, and the thread wakes the waiters once it has let go of the
  // lock (woken at once, they would block on the lock it still holds).
  bool defer_notify;
  bool notify_due;

  // Settings. dcb is what SetCommState was given; open_dcb what the device had at
  // open, derived from its termios; saved the device's kernel termios at open.
  DCB dcb;
  DCB open_dcb;
  TtyKernelState saved;
  bool saved_ok;
  // Set at open when the driver's low-latency flag was off and the open turned it on;
  // the close turns it off again. Open and close only.
  bool low_latency_set;
  COMMTIMEOUTS timeouts;

  // The input queue: a ring of in_queue bytes.
  std::vector<uint8_t> rx;
  // rx.size(), written under the lock, read without it by GetCommProperties (which
  // the library asks for every queued byte's room test).
  std::atomic<DWORD> rx_size;
  size_t rx_head;
  size_t rx_count;

  // Events and line state.
  DWORD mask;
  DWORD history;  // masked events not yet reported by a WaitCommEvent
  DWORD errors;   // CE_ bits not yet reported by ClearCommError
  bool counters_ok;
  bool counters_unsupported;  // TIOCGICOUNT refused once (ENOTTY, EINVAL): not asked again
  LineCounters counters;
  bool has_modem_lines;
  // A pseudo-terminal: its writes go straight into the other side's input, so the
  // driver never holds output (TIOCOUTQ is always 0) and is not asked.
  bool no_output_queue;
  // A pseudo-terminal: it keeps no data size or parity (always 8 bits, none); the DCB
  // holds what the caller set.
  bool pseudo_terminal;
  int modem_bits;  // TIOCM_ bits as last read
  bool tx_dirty;   // output written since the last EV_TXEMPTY
  int64_t drain_check;  // when to look at the driver's output queue again, 0 for never
  int64_t drain_backoff;
  int last_outq;
  int tx_char;  // a TransmitCommChar byte waiting for room, -1 for none

  bool hung_up;
  bool closing;
  ReadRequest rd;
  WriteRequest wr;
  WaitRequest wt;

  pthread_t io_thread;
  pthread_t modem_thread;
  bool modem_thread_running;
  std::atomic<bool> modem_stop;  // set by the closing thread, read by the modem thread
};

int64_t now_ms();

// A USB adapter holds received bytes back for its latency timer (16 ms on FTDI chips)
// unless its driver's low-latency flag is on. low_latency_on turns it on where the
// driver offers it (TIOCGSERIAL/TIOCSSERIAL) and it is off; low_latency_off gives the
// device its own setting back. A device without the setting (a pseudo-terminal) is
// left alone.
void low_latency_on(Port *p);
void low_latency_off(Port *p);

// The open port behind h, with a reference taken, or null with ERROR_INVALID_HANDLE.
Port *port_acquire(HANDLE h);
void port_release(Port *p);

// Runs call(p) under the lock of the open port behind h and returns its result: the
// calls that neither wait nor block. FALSE with ERROR_INVALID_HANDLE for another handle.
template <typename Call>
BOOL with_port_locked(HANDLE h, Call call) {
  Port *p = port_acquire(h);
  if (p == nullptr) return FALSE;
  bool ok;
  {
    std::lock_guard<std::mutex> hold(p->lock);
    ok = call(p);
  }
  port_release(p);
  return ok ? TRUE : FALSE;
}

// Copies one field of the open port behind h under its lock: the plain Get... calls.
template <typename T>
BOOL port_read_field(HANDLE h, T *out, T Port::*field) {
  if (out == nullptr) {
    set_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return with_port_locked(h, [&](Port *p) {
    *out = p->*field;
    return true;
  });
}

// Wakes the I/O thread to look at the port's state again.
void port_poke(Port *p);
// Under the lock: a request now needs someone polling the device's input; pokes the
// I/O thread unless it or an inline waiter already does.
void need_input_poller(Port *p);
// Under the lock: a full input queue has room again; whoever polls the device (the
// I/O thread, an inline waiter) asks for input again.
void input_room_made(Port *p);

// Blocks, under the port's lock, until the request is no longer pending; its error
// (0 for success).
DWORD wait_request(Port *p, std::unique_lock<std::mutex> &hold, OVERLAPPED *ov);
// Finishes a request: sets its OVERLAPPED, its event and wakes GetOverlappedResult.
void complete(Port *p, OVERLAPPED *ov, DWORD error, DWORD count);
// Under the lock, for the pending comm-event wait ov: polls the device on the calling
// thread until the wait ends, the port closes or hangs up, or poll() fails; the caller
// then waits as usual for whatever is left.
void inline_wait(Port *p, std::unique_lock<std::mutex> &hold, OVERLAPPED *ov);
// Under the lock: wakes the inline waiter when another thread has ended its wait.
void inline_wake(Port *p, OVERLAPPED *ov);
// Close, after the wait has been ended: returns once no thread polls the device inline.
void inline_wait_end(Port *p);
// Adds events; those in the mask complete a pending WaitCommEvent.
void record_events(Port *p, DWORD events);
// The device has gone: pending requests end with kHungUpError.
void hang_up(Port *p);
// Ends pending requests of the kinds named (PURGE_TXABORT, PURGE_RXABORT, and 0x100
// for the event wait) with the error given.
void abort_requests(Port *p, DWORD kinds, DWORD error);
const DWORD kAbortWait = 0x100;

// Input queue.
size_t rx_room(const Port *p);
void rx_put(Port *p, const uint8_t *data, size_t n);
size_t rx_take(Port *p, uint8_t *out, size_t n);
void rx_resize(Port *p, size_t size);
void rx_clear(Port *p);

// The I/O thread's steps.
// False when no byte came. A device that was ready and gave none may have had news
// for the counters (a network port's line-state notification): the pollers read them.
bool pull_input(Port *p);
void push_output(Port *p);
void serve_read(Port *p);
void check_drained(Port *p);
// The events of new line errors and modem-line changes, for the caller to record.
DWORD read_counters(Port *p);
DWORD read_modem_lines(Port *p);
// The bytes the driver holds for output (TIOCOUTQ); false with errno set on failure.
bool driver_output_queue(const Port *p, int *outq);

// Line settings.
bool dcb_valid(const DCB *dcb);
DCB dcb_from_device(int fd, const struct termios *t);
bool apply_dcb(Port *p, const DCB *dcb);
bool line_fields_equal(const DCB *a, const DCB *b);
void drive_lines(Port *p, const DCB *dcb);
// Fills a COMMCONFIG with dcb, following the size protocol: a size below that of a
// COMMCONFIG fails with ERROR_INSUFFICIENT_BUFFER and reports the size needed.
BOOL fill_comm_config(LPCOMMCONFIG cc, LPDWORD size, const DCB *dcb);

// Errors of device calls as Win32 codes.
DWORD error_of_errno(int err);

// I/O and modem threads.
bool io_thread_start(Port *p);
void io_thread_stop(Port *p);
void modem_thread_start(Port *p);
void modem_thread_stop(Port *p);

}  // namespace posix
