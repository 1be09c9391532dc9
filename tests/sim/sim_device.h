// The simulated serial device for tests: any COM name can be backed by a driver
// model that lives in memory, reached through the `win32` table like a real device.
//
// A test attaches a device to a name; from then on CreateFileA("COMn") or
// CreateFileA("\\\\.\\COMn") and GetDefaultCommConfigA("COMn") reach the simulated
// driver, whose every number (queue sizes, counts, error bits, modem lines, pending
// requests) the test can set and read. The sim installs its own entries in `win32`
// for every device call and for timeGetTime and GetVersionExA; it keeps the entries
// that were in force and forwards every handle and name that is not its own.
//
// Threads: every function here and every simulated call may run on any thread (the
// library's writer and event threads call the device while the test thread sets and
// reads it). All state sits behind one mutex inside the sim; the wait helpers block
// on a condition, never spin.
//
// Safety: the sim support library sets TAVO_COM1..TAVO_COM36 to paths that do not
// exist at start-up (unless already set), so no test can reach a real device.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "serial/platform/win32.h"

struct SimDevice;  // one per COM name; opaque, lives until sim_reset_all

// ---------------------------------------------------------------------------------
// Attaching

// Backs "COMn" or "\\\\.\\COMn" (n = 1..36) with a simulated device and returns it (the
// same one when attached already; null for any other name). The first attach installs
// the sim's entries in `win32`. A new device is closed, not busy, and has the initial
// state described at each setter below.
SimDevice *sim_attach(const char *name);

// Detaches every device, forgets all simulated state and puts back the `win32`
// entries that were in force before the sim installed its own (the clock and the
// Windows 95 switch go back to the real ones too). Call it only when no library
// thread can be inside a simulated call (ports closed).
void sim_reset_all(void);

// ---------------------------------------------------------------------------------
// Opening and closing
//
// CreateFileA accepts "COMn" for n = 1..9 and "\\\\.\\COMn" for any n, as Windows
// does: an unprefixed "COM10" and above fails with ERROR_FILE_NOT_FOUND.
// GetDefaultCommConfigA accepts only the plain "COMn". The device is exclusive: a
// second CreateFileA while it is open fails with ERROR_ACCESS_DENIED. A COM name
// without a sim goes to the platform on POSIX (to TAVO_COM<n>); on Windows, where
// it would be a real port, both calls refuse it with ERROR_FILE_NOT_FOUND once the
// sim is installed.

// A busy device (held by another program): CreateFileA fails with
// ERROR_ACCESS_DENIED while GetDefaultCommConfigA still succeeds, so a probe gives 2.
void sim_set_busy(SimDevice *dev, bool busy);

// Whether the device is open, and its handle (INVALID_HANDLE_VALUE when closed);
// every open gives a new handle value.
bool sim_is_open(SimDevice *dev);
HANDLE sim_handle(SimDevice *dev);

// The arguments of the last CreateFileA that reached the device (the name as given).
struct SimOpenArgs {
  std::string name;
  DWORD access, share, disposition, flags;
};
SimOpenArgs sim_last_open(SimDevice *dev);

// ---------------------------------------------------------------------------------
// Failing any operation
//
// The device operations, for sim_fail and sim_calls.
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

// From now on `op` on this device fails with `error` (GetLastError), having no
// effect and starting nothing; error 0 makes it work again. A failed call is still
// counted and, for WriteFile, its length is still recorded in sim_write_sizes.
// (Another way: swap the entry in `win32` directly. Save the entry in force first and
// put that back, not the one from win32_native, or the sim loses that call.)
void sim_fail(SimDevice *dev, SimOp op, DWORD error);

// How many times `op` reached this device (failed calls included). With a null
// device: the total over all devices, and the counts of timeGetTime and
// GetVersionExA.
unsigned sim_calls(SimDevice *dev, SimOp op);

// Blocks until sim_calls(dev, op) >= count or timeout_ms passes; true when reached.
bool sim_wait_calls(SimDevice *dev, SimOp op, unsigned count, DWORD timeout_ms);

// ---------------------------------------------------------------------------------
// Settings: DCB, COMMCONFIG, timeouts, mask
//
// They belong to the device, not to the handle: they survive a close and a reopen,
// as a real driver's do.

// The DCB as last set by SetCommState or SetCommConfig, which GetCommState returns;
// sim_set_dcb sets it as the driver's own before an open. Initial DCB: DCBlength 28,
// 9600 baud, fBinary 1, ByteSize 8, NOPARITY, ONESTOPBIT, DTR_CONTROL_ENABLE,
// RTS_CONTROL_ENABLE, XonChar 0x11, XoffChar 0x13, XonLim 2048, XoffLim 512, all
// else 0.
DCB sim_dcb(SimDevice *dev);
void sim_set_dcb(SimDevice *dev, const DCB &dcb);

// The COMMCONFIG size the device demands (at least and by default 52). A larger record
// carries provider data from wcProviderData (offset 48) on: bytes 0xA0, 0xA1, ...
// GetDefaultCommConfigA, GetCommConfig and SetCommConfig given less fail with
// ERROR_INSUFFICIENT_BUFFER, the first two reporting the demand in *size.
void sim_set_config_size(SimDevice *dev, DWORD size);

// The whole record (size bytes) last given to SetCommConfig; empty when none.
std::vector<uint8_t> sim_last_config_written(SimDevice *dev);

// COMMTIMEOUTS as last set (initially all 0), and the comm mask as last set
// (initially 0). The setters change them as if the driver had them.
COMMTIMEOUTS sim_timeouts(SimDevice *dev);
void sim_set_timeouts(SimDevice *dev, const COMMTIMEOUTS &t);
DWORD sim_comm_mask(SimDevice *dev);
void sim_set_comm_mask(SimDevice *dev, DWORD mask);

// ---------------------------------------------------------------------------------
// Driver queues: GetCommProperties, SetupComm, ClearCommError

// dwMaxRxQueue / dwMaxTxQueue reported by GetCommProperties (default 0 = no limit).
void sim_set_max_queues(SimDevice *dev, DWORD max_rx, DWORD max_tx);

// dwCurrentRxQueue / dwCurrentTxQueue reported by GetCommProperties: by default what
// the last SetupComm asked (0 before any); a value set here is reported instead,
// whatever SetupComm asks. SIM_FROM_SETUP goes back to the default.
#define SIM_FROM_SETUP 0xFFFFFFFFu
void sim_set_current_queues(SimDevice *dev, DWORD current_rx, DWORD current_tx);

// Every SetupComm's arguments, in order (failed calls not included).
struct SimSetup {
  DWORD in_queue, out_queue;
};
std::vector<SimSetup> sim_setup_calls(SimDevice *dev);

// cbInQue reported by ClearCommError: the bytes waiting in the simulated driver's
// input queue unless overridden here; SIM_NO_OVERRIDE removes the override.
#define SIM_NO_OVERRIDE 0xFFFFFFFFu
void sim_set_in_queue_count(SimDevice *dev, DWORD count);

// cbOutQue reported by ClearCommError: the bytes of the write that is pending now (0
// when none) unless overridden here; SIM_NO_OVERRIDE removes the override.
void sim_set_out_queue_count(SimDevice *dev, DWORD count);

// CE_ bits for the next ClearCommError: ORed into the pending error word, which
// ClearCommError reports and then clears (with a null errors pointer too).
void sim_set_errors(SimDevice *dev, DWORD ce_bits);

// COMSTAT bits reported by every ClearCommError (they stay until changed): fCtsHold,
// fDsrHold, fRlsdHold, fXoffHold, fXoffSent, fEof and fTxim.
enum : DWORD {
  SIM_HOLD_CTS = 0x01, SIM_HOLD_DSR = 0x02, SIM_HOLD_RLSD = 0x04, SIM_HOLD_XOFF = 0x08,
  SIM_XOFF_SENT = 0x10, SIM_EOF = 0x20, SIM_TXIM = 0x40
};
void sim_set_holds(SimDevice *dev, DWORD hold_bits);

// ---------------------------------------------------------------------------------
// Receiving

// Bytes arrive on the line: they wait in the driver's input queue (cbInQue grows),
// EV_RXCHAR is raised, EV_RXFLAG too when the DCB's EvtChar is among them, and
// EV_RX80FULL when the queue reaches 80 % of the current receive queue size (when
// that is known). A read that waits for bytes is served first. When the current
// receive queue size is known (not 0), bytes beyond it are dropped, CE_RXOVER is
// set and EV_ERR raised, as a full driver does. Bytes fed while the device is
// closed wait for the next open.
void sim_feed(SimDevice *dev, const void *bytes, size_t len);
void sim_feed(SimDevice *dev, const std::string &bytes);

// The bytes waiting in the driver's input queue (not yet read).
size_t sim_rx_waiting(SimDevice *dev);

// How reads behave:
//   SIM_IO_AT_ONCE (default): as a driver with the library's timeouts: ReadFile
//     completes at once with min(asked, waiting) bytes when ReadIntervalTimeout is
//     MAXDWORD and both read totals are 0 (0 bytes is a success); under any other
//     timeouts a read that cannot be served in full stays pending until sim_feed
//     brings enough bytes (time-outs do not expire).
//   SIM_IO_PENDING: every ReadFile returns ERROR_IO_PENDING and stays pending until
//     PurgeComm(PURGE_RXABORT), CancelIo or CloseHandle.
//   SIM_IO_FAIL: ReadFile fails at once with `error` and starts nothing.
enum SimIoMode { SIM_IO_AT_ONCE, SIM_IO_PENDING, SIM_IO_FAIL };
void sim_set_read_mode(SimDevice *dev, SimIoMode mode, DWORD error = 0);

// Whether a read is pending; blocks until one is (or timeout_ms passes).
bool sim_read_pending(SimDevice *dev);
bool sim_wait_read_pending(SimDevice *dev, DWORD timeout_ms);

// ---------------------------------------------------------------------------------
// Transmitting

// Every WriteFile's length, in call order (failed and pending ones included), and
// the bytes of all completed writes, in order (a released part of a write counts;
// an aborted write adds nothing).
std::vector<DWORD> sim_write_sizes(SimDevice *dev);
std::vector<uint8_t> sim_written(SimDevice *dev);
std::string sim_written_text(SimDevice *dev);

// Blocks until at least `count` bytes have been written (or timeout_ms passes).
bool sim_wait_written(SimDevice *dev, size_t count, DWORD timeout_ms);

// How writes behave:
//   SIM_IO_AT_ONCE (default): WriteFile completes at once with all its bytes, and
//     EV_TXEMPTY is raised.
//   SIM_IO_PENDING: WriteFile returns ERROR_IO_PENDING and stays pending until
//     sim_release_write, PurgeComm(PURGE_TXABORT), CancelIo or CloseHandle; its
//     bytes count in cbOutQue meanwhile.
//   SIM_IO_FAIL: WriteFile fails at once with `error` and starts nothing.
void sim_set_write_mode(SimDevice *dev, SimIoMode mode, DWORD error = 0);

// Completes the pending write with `count` of its bytes (all by default), which go
// to what was written, and raises EV_TXEMPTY; false when no write is pending.
bool sim_release_write(SimDevice *dev, DWORD count = MAXDWORD);

// Whether a write is pending; blocks until one is (or timeout_ms passes).
bool sim_write_pending(SimDevice *dev);
bool sim_wait_write_pending(SimDevice *dev, DWORD timeout_ms);

// The characters given to TransmitCommChar, in order. Each also goes to what was
// written at once, ahead of the bytes of a write still pending.
std::vector<uint8_t> sim_transmitted_chars(SimDevice *dev);

// ---------------------------------------------------------------------------------
// Events: SetCommMask, WaitCommEvent
//
// As the Windows driver does: masked events are kept until a WaitCommEvent takes
// them (a wait made after one completes at once, returning TRUE); a pending wait
// completes as soon as one happens; SetCommMask ends a pending wait with an event
// word of 0 and forgets kept events. A WaitCommEvent while the mask is 0 fails
// with ERROR_INVALID_PARAMETER, as the driver refuses a wait nothing could end.
// Automatic events: EV_RXCHAR, EV_RXFLAG, EV_RX80FULL, EV_ERR from sim_feed,
// EV_TXEMPTY when a write completes; TransmitCommChar raises none; everything else
// comes from sim_raise.
//
// Requests end through the saved (platform) entries: the request's event is reset
// when it starts and set when it ends. CancelIo, CloseHandle and the PURGE_ aborts
// end requests with ERROR_OPERATION_ABORTED (CancelIo ends those of every thread,
// not only the caller's as on Windows). Give every request its OVERLAPPED; one
// without is waited for inside the call.

// Device events happen (any EV_ bits; those outside the mask are dropped).
void sim_raise(SimDevice *dev, DWORD events);

// Blocks until a WaitCommEvent is pending (or timeout_ms passes).
bool sim_wait_comm_wait_pending(SimDevice *dev, DWORD timeout_ms);

// ---------------------------------------------------------------------------------
// Modem lines, escapes, purges, break

// The MS_ word GetCommModemStatus reports (default 0). To make it fail:
// sim_fail(dev, SIM_GET_COMM_MODEM_STATUS, error).
void sim_set_modem_status(SimDevice *dev, DWORD ms_bits);

// Every EscapeCommFunction code and every PurgeComm flag word, in order.
std::vector<DWORD> sim_escapes(SimDevice *dev);
std::vector<DWORD> sim_purges(SimDevice *dev);

// ClearCommBreak is counted: sim_calls(dev, SIM_CLEAR_COMM_BREAK).

// Forgets what was recorded (written bytes, write sizes, setup calls, escapes,
// purges, transmitted characters, configs written, call counts); settings stay.
void sim_clear_records(SimDevice *dev);

// Requests started while one of the same kind was still pending on the device (a
// second read, write or wait), or with an OVERLAPPED still in use. A real driver
// would queue or corrupt them; the sim fails them with ERROR_INVALID_PARAMETER and
// counts them here, so a test can check that the library never does it.
unsigned sim_misuse_count(SimDevice *dev);

// ---------------------------------------------------------------------------------
// Platform and clock

// GetVersionExA reports dwPlatformId 1 (the Windows 95 family, version 4.0) while
// on; off forwards to the entry that was in force.
void sim_set_win95(bool on);

// timeGetTime reports the simulated clock from now on (wrapping at 2^32 like the
// real one); sim_advance_clock moves it on (from 0 when it was not set).
void sim_set_clock(DWORD ms);
void sim_advance_clock(DWORD ms);
