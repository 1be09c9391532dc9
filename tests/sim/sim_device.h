// The simulated serial device for tests: a driver model in memory behind any COM name,
// reached through the `win32` table like a real device. The sim installs its own
// entries for every device call, timeGetTime and GetVersionExA, and forwards every
// handle and name that is not its own to the entries that were in force.
// Threads: any function here may run on any thread; all state sits behind one mutex,
// and the wait helpers block on a condition. At start-up TAVO_COM1..36 are pointed at
// paths that do not exist (unless already set), so no test reaches a real device.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "serial/platform/win32.h"

struct SimDevice;  // one per COM name; opaque, lives until sim_reset_all

// Backs "COMn" or "\\\\.\\COMn" (n = 1..36) with a device, closed and not busy, and
// returns it (the same one when attached already; null for any other name).
SimDevice *sim_attach(const char *name);

// Forgets every device and puts the `win32` entries back (clock and Windows 95 switch
// too). Only when no library thread can be inside a simulated call (ports closed).
void sim_reset_all(void);

// CreateFileA takes "COMn" for n = 1..9 and "\\\\.\\COMn" for any n, as Windows does;
// GetDefaultCommConfigA only the plain "COMn". The device is exclusive (a second open
// fails with ERROR_ACCESS_DENIED). A COM name without a device goes to the platform on
// POSIX (TAVO_COM<n>); on Windows, where it would be a real port, it is refused with
// ERROR_FILE_NOT_FOUND. A busy device (held by another program) refuses CreateFileA
// with ERROR_ACCESS_DENIED while GetDefaultCommConfigA still succeeds.
void sim_set_busy(SimDevice *dev, bool busy);

// Every open gives a new handle value; INVALID_HANDLE_VALUE when closed.
bool sim_is_open(SimDevice *dev);
HANDLE sim_handle(SimDevice *dev);

// The arguments of the last CreateFileA that reached the device (the name as given).
struct SimOpenArgs {
  std::string name;
  DWORD access, share, disposition, flags;
};
SimOpenArgs sim_last_open(SimDevice *dev);

enum SimOp {
  SIM_CREATE_FILE, SIM_CLOSE_HANDLE, SIM_GET_DEFAULT_COMM_CONFIG, SIM_GET_COMM_CONFIG, SIM_SET_COMM_CONFIG,
  SIM_GET_COMM_STATE, SIM_SET_COMM_STATE, SIM_GET_COMM_TIMEOUTS, SIM_SET_COMM_TIMEOUTS,
  SIM_GET_COMM_PROPERTIES, SIM_SETUP_COMM, SIM_PURGE_COMM, SIM_CLEAR_COMM_ERROR, SIM_SET_COMM_MASK,
  SIM_GET_COMM_MASK, SIM_WAIT_COMM_EVENT, SIM_READ_FILE, SIM_WRITE_FILE, SIM_GET_OVERLAPPED_RESULT,
  SIM_CANCEL_IO, SIM_ESCAPE_COMM_FUNCTION, SIM_GET_COMM_MODEM_STATUS, SIM_TRANSMIT_COMM_CHAR,
  SIM_CLEAR_COMM_BREAK,
  SIM_TIME_GET_TIME, SIM_GET_VERSION_EX,  // counted across the process (pass a null device)
  SIM_OP_COUNT
};

// From now on `op` on this device fails with `error`, with no effect (error 0: works
// again). A failed call is still counted, a failed WriteFile's length still recorded.
void sim_fail(SimDevice *dev, SimOp op, DWORD error);

// How many times `op` reached this device, failed calls included; with a null device
// the total, timeGetTime and GetVersionExA included. The wait blocks until `count`.
unsigned sim_calls(SimDevice *dev, SimOp op);
bool sim_wait_calls(SimDevice *dev, SimOp op, unsigned count, DWORD timeout_ms);

// Settings belong to the device and survive a reopen, as a real driver's do. The
// initial DCB: 9600 baud 8N1, fBinary, DTR and RTS enabled, XonChar 0x11, XoffChar
// 0x13, XonLim 2048, XoffLim 512. Timeouts and mask start at 0.
DCB sim_dcb(SimDevice *dev);
void sim_set_dcb(SimDevice *dev, const DCB &dcb);

// The COMMCONFIG size the device demands (at least and by default 52); a larger record
// carries provider data 0xA0, 0xA1, ... from wcProviderData on. Less fails with
// ERROR_INSUFFICIENT_BUFFER, GetDefaultCommConfigA and GetCommConfig giving the demand.
void sim_set_config_size(SimDevice *dev, DWORD size);
COMMTIMEOUTS sim_timeouts(SimDevice *dev);
void sim_set_timeouts(SimDevice *dev, const COMMTIMEOUTS &t);
DWORD sim_comm_mask(SimDevice *dev);
void sim_set_comm_mask(SimDevice *dev, DWORD mask);

// GetCommProperties' maximum queues (0: no limit) and current ones: what the last
// SetupComm asked unless set here (SIM_FROM_SETUP goes back to that).
void sim_set_max_queues(SimDevice *dev, DWORD max_rx, DWORD max_tx);
#define SIM_FROM_SETUP 0xFFFFFFFFu
void sim_set_current_queues(SimDevice *dev, DWORD current_rx, DWORD current_tx);

// Every successful SetupComm's arguments, in order.
struct SimSetup {
  DWORD in_queue, out_queue;
};
std::vector<SimSetup> sim_setup_calls(SimDevice *dev);

// ClearCommError's cbInQue: the bytes waiting unless overridden (SIM_NO_OVERRIDE ends
// that); cbOutQue is the pending write's length.
#define SIM_NO_OVERRIDE 0xFFFFFFFFu
void sim_set_in_queue_count(SimDevice *dev, DWORD count);

// CE_ bits ORed into the error word the next ClearCommError reports and clears.
void sim_set_errors(SimDevice *dev, DWORD ce_bits);

// Bytes arrive: they wait in the input queue and raise EV_RXCHAR, EV_RXFLAG when the
// DCB's EvtChar is among them, EV_RX80FULL when the queue reaches 80 % of its current
// size. With a known size (not 0) the bytes beyond it are dropped with CE_RXOVER and
// EV_ERR. A read waiting for bytes is served first; bytes fed while closed wait.
void sim_feed(SimDevice *dev, const void *bytes, size_t len);
void sim_feed(SimDevice *dev, const std::string &bytes);

size_t sim_rx_waiting(SimDevice *dev);

// How reads behave:
//   SIM_IO_AT_ONCE (default): with ReadIntervalTimeout MAXDWORD and both totals 0 a
//     read completes at once with what is waiting (maybe 0 bytes); under other
//     timeouts it stays pending until enough bytes are fed (time-outs never expire).
//   SIM_IO_PENDING: every read stays pending until aborted, cancelled or closed.
//   SIM_IO_FAIL: it fails at once with `error` and starts nothing.
enum SimIoMode { SIM_IO_AT_ONCE, SIM_IO_PENDING, SIM_IO_FAIL };
void sim_set_read_mode(SimDevice *dev, SimIoMode mode, DWORD error = 0);

// The wait helpers block until the condition holds or timeout_ms passes.
bool sim_read_pending(SimDevice *dev);
bool sim_wait_read_pending(SimDevice *dev, DWORD timeout_ms);

// Every WriteFile's length (failed and pending ones too), and the bytes of completed
// writes (a released part counts, an aborted write adds nothing).
std::vector<DWORD> sim_write_sizes(SimDevice *dev);
std::vector<uint8_t> sim_written(SimDevice *dev);
std::string sim_written_text(SimDevice *dev);
bool sim_wait_written(SimDevice *dev, size_t count, DWORD timeout_ms);

// Writes: SIM_IO_AT_ONCE completes them with all their bytes and raises EV_TXEMPTY;
// SIM_IO_PENDING keeps them pending (in cbOutQue) until released, aborted, cancelled
// or closed; SIM_IO_FAIL fails them with `error`.
void sim_set_write_mode(SimDevice *dev, SimIoMode mode, DWORD error = 0);

// Completes the pending write with `count` of its bytes (all by default) and raises
// EV_TXEMPTY; false when none is pending.
bool sim_release_write(SimDevice *dev, DWORD count = MAXDWORD);
bool sim_wait_write_pending(SimDevice *dev, DWORD timeout_ms);

// As the Windows driver: masked events are kept until a WaitCommEvent takes them; a
// pending wait ends on the first; SetCommMask ends it with 0 and forgets kept ones; a
// wait with mask 0 fails with ERROR_INVALID_PARAMETER. Requests set their OVERLAPPED's
// event through the saved entries; CancelIo (every thread's), CloseHandle and the
// PURGE_ aborts end them with ERROR_OPERATION_ABORTED. A request without OVERLAPPED
// is waited for inside the call. sim_raise: events outside the mask are dropped.
void sim_raise(SimDevice *dev, DWORD events);
bool sim_wait_comm_wait_pending(SimDevice *dev, DWORD timeout_ms);

// The MS_ word GetCommModemStatus reports (default 0); every EscapeCommFunction code
// and PurgeComm flag word, in order.
void sim_set_modem_status(SimDevice *dev, DWORD ms_bits);
std::vector<DWORD> sim_escapes(SimDevice *dev);
std::vector<DWORD> sim_purges(SimDevice *dev);

// Forgets the records (written bytes, sizes, setups, escapes, purges, counts).
void sim_clear_records(SimDevice *dev);

// Requests started while one of their kind is pending, or on an OVERLAPPED in use:
// failed with ERROR_INVALID_PARAMETER and counted, so tests see the library never does.
unsigned sim_misuse_count(SimDevice *dev);

// GetVersionExA reports the Windows 95 family (4.0) while on. timeGetTime reports the
// simulated clock once set (wrapping at 2^32; advancing starts it from 0).
void sim_set_win95(bool on);
void sim_set_clock(DWORD ms);
void sim_advance_clock(DWORD ms);
