// The simulated serial device for tests: a driver model in memory behind any COM name,
// reached through the `win32` table (its own entries for every device call and
// timeGetTime; other handles and names go to the entries in force before), whose every
// number the test can set and read. Everything here may run on any thread (one mutex;
// waits block on a condition). At start-up, TAVO_COM1..36 not already set are pointed
// at paths that do not exist, so no test reaches a real device.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "serial/platform/win32.h"

struct SimDevice;  // one per COM name; opaque, lives until sim_reset_all

// Backs "COMn" or "\\\\.\\COMn" (n = 1..36) with a device, new (closed, in the initial
// state given below) or attached already; null for other names.
SimDevice *sim_attach(const char *name);

// Detaches every device, forgets all state and puts back the entries in force before
// the sim. Only while no library thread is in a call (ports closed).
void sim_reset_all(void);

// CreateFileA accepts "COMn" for n = 1..9 and "\\\\.\\COMn" for any n, as Windows does
// (else ERROR_FILE_NOT_FOUND); GetDefaultCommConfigA only "COMn". A second open fails
// with ERROR_ACCESS_DENIED. A COM name without a sim goes to TAVO_COM<n> on POSIX; on
// Windows, where it would be a real port, it is refused.
HANDLE sim_handle(SimDevice *dev);  // INVALID_HANDLE_VALUE when closed; new on every open

enum SimOp {
  SIM_CREATE_FILE, SIM_CLOSE_HANDLE, SIM_GET_DEFAULT_COMM_CONFIG, SIM_GET_COMM_CONFIG, SIM_SET_COMM_CONFIG,
  SIM_GET_COMM_STATE, SIM_SET_COMM_STATE, SIM_GET_COMM_TIMEOUTS, SIM_SET_COMM_TIMEOUTS,
  SIM_GET_COMM_PROPERTIES, SIM_SETUP_COMM, SIM_PURGE_COMM, SIM_CLEAR_COMM_ERROR, SIM_SET_COMM_MASK,
  SIM_GET_COMM_MASK, SIM_WAIT_COMM_EVENT, SIM_READ_FILE, SIM_WRITE_FILE, SIM_GET_OVERLAPPED_RESULT,
  SIM_CANCEL_IO, SIM_ESCAPE_COMM_FUNCTION, SIM_GET_COMM_MODEM_STATUS, SIM_TRANSMIT_COMM_CHAR, SIM_CLEAR_COMM_BREAK,
  SIM_OP_COUNT
};

// From now on `op` on this device fails with `error`, having no effect (0: works again).
// Failed calls are still counted, and a WriteFile's length still recorded.
void sim_fail(SimDevice *dev, SimOp op, DWORD error);
// How many times `op` reached this device (failed calls too).
unsigned sim_calls(SimDevice *dev, SimOp op);
bool sim_wait_calls(SimDevice *dev, SimOp op, unsigned count, DWORD timeout_ms);

// Settings are the device's and survive a close. The DCB, initially: 9600 baud,
// fBinary, 8 bits, NOPARITY, ONESTOPBIT, DTR/RTS_CONTROL_ENABLE, Xon/XoffChar
// 0x11/0x13, Xon/XoffLim 2048/512. The COMMCONFIG records carry it, sized as COMMCONFIG.
DCB sim_dcb(SimDevice *dev);
void sim_set_dcb(SimDevice *dev, const DCB &dcb);
COMMTIMEOUTS sim_timeouts(SimDevice *dev);  // initially all 0
void sim_set_timeouts(SimDevice *dev, const COMMTIMEOUTS &t);
DWORD sim_comm_mask(SimDevice *dev);  // initially 0
void sim_set_comm_mask(SimDevice *dev, DWORD mask);

// GetCommProperties' dwMaxRxQueue / dwMaxTxQueue (default 0 = no limit), and
// dwCurrentRxQueue / dwCurrentTxQueue: the last SetupComm's (0 before any) unless set
// here (SIM_FROM_SETUP goes back).
void sim_set_max_queues(SimDevice *dev, DWORD max_rx, DWORD max_tx);
#define SIM_FROM_SETUP 0xFFFFFFFFu
void sim_set_current_queues(SimDevice *dev, DWORD current_rx, DWORD current_tx);

struct SimSetup {  // every successful SetupComm's arguments, in order
  DWORD in_queue, out_queue;
};
std::vector<SimSetup> sim_setup_calls(SimDevice *dev);

// ClearCommError's cbInQue (the bytes in the input queue) and cbOutQue (those of the
// pending write, 0 when none) unless overridden (SIM_NO_OVERRIDE removes it).
#define SIM_NO_OVERRIDE 0xFFFFFFFFu
void sim_set_in_queue_count(SimDevice *dev, DWORD count);
void sim_set_out_queue_count(SimDevice *dev, DWORD count);

// CE_ bits ORed into the error word, which the next ClearCommError reports and clears.
void sim_set_errors(SimDevice *dev, DWORD ce_bits);

enum : DWORD {  // COMSTAT flags every ClearCommError reports until changed
  SIM_HOLD_CTS = 0x01, SIM_HOLD_DSR = 0x02, SIM_HOLD_RLSD = 0x04, SIM_HOLD_XOFF = 0x08,
  SIM_XOFF_SENT = 0x10, SIM_EOF = 0x20, SIM_TXIM = 0x40
};
void sim_set_holds(SimDevice *dev, DWORD hold_bits);

// Bytes arrive in the input queue (a read waiting for them is served) and raise
// EV_RXCHAR, EV_RXFLAG when the DCB's EvtChar is among them, EV_RX80FULL when the queue
// reaches 80 % of the current receive queue size. When that size is known (not 0),
// bytes beyond it are dropped with CE_RXOVER and EV_ERR. Bytes fed while the device is
// closed wait for the next open.
void sim_feed(SimDevice *dev, const void *bytes, size_t len);
void sim_feed(SimDevice *dev, const std::string &bytes);

// SIM_IO_AT_ONCE (default): ReadFile with ReadIntervalTimeout MAXDWORD and both read
// totals 0 completes at once with min(asked, waiting) bytes; under other timeouts a read
// not served in full stays pending until fed enough (time-outs never expire). WriteFile
// completes at once and raises EV_TXEMPTY.
// SIM_IO_PENDING: the call stays pending until PurgeComm's abort, CancelIo, CloseHandle
// or (a write, whose bytes count in cbOutQue meanwhile) sim_release_write. A write's
// bytes are read from the caller's buffer when it is released, as a driver reads them
// while they go out: the buffer must stay valid until the write ends.
// SIM_IO_FAIL: the call fails at once with `error` and starts nothing.
enum SimIoMode { SIM_IO_AT_ONCE, SIM_IO_PENDING, SIM_IO_FAIL };
void sim_set_read_mode(SimDevice *dev, SimIoMode mode, DWORD error = 0);
void sim_set_write_mode(SimDevice *dev, SimIoMode mode, DWORD error = 0);
bool sim_read_pending(SimDevice *dev);
bool sim_wait_read_pending(SimDevice *dev, DWORD timeout_ms);
bool sim_wait_write_pending(SimDevice *dev, DWORD timeout_ms);

// Completes the pending write with `count` of its bytes (all by default), raising
// EV_TXEMPTY; false when none is pending.
bool sim_release_write(SimDevice *dev, DWORD count = MAXDWORD);

// Every WriteFile's length (failed and pending ones too), and the bytes written: those
// of completed writes (a released part counts; an aborted write adds nothing) and,
// at once, TransmitCommChar's, also recorded on their own.
std::vector<DWORD> sim_write_sizes(SimDevice *dev);
std::vector<uint8_t> sim_written(SimDevice *dev);
bool sim_wait_written(SimDevice *dev, size_t count, DWORD timeout_ms);
std::vector<uint8_t> sim_transmitted_chars(SimDevice *dev);

// As the Windows driver: masked events are kept until a WaitCommEvent takes them (at
// once, TRUE); a pending wait ends when one happens, or with 0 at SetCommMask, which
// forgets kept events; a wait while the mask is 0 fails (ERROR_INVALID_PARAMETER). Only
// sim_feed, completed writes and sim_raise raise events. A request's event is reset when
// it starts and set when it ends; CancelIo (every thread's requests), CloseHandle and
// PurgeComm's aborts end requests with ERROR_OPERATION_ABORTED. A request without an
// OVERLAPPED is waited for in the call.
void sim_raise(SimDevice *dev, DWORD events);  // those outside the mask are dropped
bool sim_wait_comm_wait_pending(SimDevice *dev, DWORD timeout_ms);

void sim_set_modem_status(SimDevice *dev, DWORD ms_bits);  // GetCommModemStatus's, default 0
std::vector<DWORD> sim_escapes(SimDevice *dev);  // every EscapeCommFunction code, in order
std::vector<DWORD> sim_purges(SimDevice *dev);   // every PurgeComm flag word, in order

// Forgets what was recorded (written, write sizes, setups, escapes, purges, transmitted
// characters, call counts); settings stay.
void sim_clear_records(SimDevice *dev);

// Requests started while one of the same kind was pending, or on an OVERLAPPED in use:
// a real driver would queue or corrupt them; the sim fails them with
// ERROR_INVALID_PARAMETER and counts them, so a test can check the library never does.
unsigned sim_misuse_count(SimDevice *dev);

// timeGetTime reports the simulated clock from now on (wrapping at 2^32); advancing an
// unset clock starts from 0.
void sim_set_clock(DWORD ms);
void sim_advance_clock(DWORD ms);
