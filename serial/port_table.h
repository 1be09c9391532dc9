// The library's internal header: its state (one static PortTable with a slot for each
// of the 36 ports), the platform-family flag, the lock order, and the operations only
// the library's own files (and its tests) call. Applications include sio.h alone.
#pragma once

#include <atomic>
#include <stdint.h>

#include "platform/win32.h"
#include "sio.h"

// A device's own settings, captured at open and given back at close.
struct PortSettings {
  DCB dcb;
  COMMTIMEOUTS timeouts;
  uint32_t event_mask;
};

struct ThreadRecord;

// The library's own operations, beside the application's in sio.h.

// Library state, open test and locks
void SioInitLibrary(void);
void SioInitGlobalLock(void);
void SioResetPortRecords(uint8_t port);
void SioLockPort(uint8_t port);
int32_t SioUnlockPort(uint8_t port);
void SioLockLibrary(void);
void SioUnlockLibrary(void);

// Probing, opening, configuring and closing
// out holds at least 10 bytes for ports 0 to 35 (\\.\COM36), 11 for any index.
void SioBuildPortName(uint8_t port, char *out, uint8_t probing);
HANDLE SioCreatePortHandle(const char *name);
void SioSaveSettings(uint8_t port);
void SioRestoreSettings(uint8_t port, const PortSettings *settings);
bool SioReadCommConfig(HANDLE handle, DCB *dcb);
bool SioWriteCommConfig(HANDLE handle, const DCB *dcb);

// Line settings and flow control
void SioGetDcb(uint8_t port, DCB *dcb);
bool SioSetDcb(uint8_t port, DCB *dcb);
void SioSetFlowControl(uint8_t port, uint8_t flow, uint8_t options);
void SioUpdateXonXoffLimits(uint8_t port);
uint32_t SioGetMaxQueue(uint8_t port, uint8_t direction);
uint32_t SioGetCurrentQueue(uint8_t port, uint8_t direction);

// Buffer sizing and queue counts
uint32_t SioGetDriverQueueCount(uint8_t port, uint8_t direction);
uint32_t SioClampQueueSize(uint8_t port, uint32_t size, uint8_t direction);
void SioAllocBuffers(uint8_t port, uint32_t rx_size, uint32_t tx_size);

// Transmit ring and writer thread
bool SioTransmitImmediate(uint8_t port, uint8_t character);
void SioSendXon(uint8_t port);
uint32_t SioOverlappedWrite(uint8_t port, const uint8_t *bytes, uint32_t length, uint32_t *status);
DWORD WINAPI SioWriterThread(LPVOID port_arg);
void SioStartWriter(uint8_t port);
void SioStopWriter(uint8_t port);

// Receive ring and overlapped reads
void SioCreateReadEvents(uint8_t port);
void SioCloseReadEvents(uint8_t port);
uint32_t SioOverlappedRead(uint8_t port, uint8_t *destination, uint32_t length, uint32_t *status);
void SioFillRxRing(uint8_t port);
uint8_t SioRxGet(uint8_t port, uint8_t *out);

// Event mask, latching and handler dispatch
bool SioApplyEventMask(uint8_t port, uint32_t mask);
uint32_t SioLatchEvents(uint8_t port, uint32_t events);
void SioAccumulateEvents(uint8_t port, uint32_t events);
int32_t SioDispatchEvents(uint8_t port, uint32_t events);
void SioSetRingPolling(uint8_t port, uint32_t on);
uint8_t SioRingDetected(uint8_t port);
void SioPollRing(uint8_t port);

// Modem lines, break and line status
uint8_t SioReadModemStatus(uint8_t port);
uint8_t SioSwapStatusByte(uint8_t port, uint8_t value);
void SioRecordLineErrors(uint8_t port, uint32_t errors, const COMSTAT *stat);
void SioPollLineErrors(uint8_t port);
uint8_t SioTxNotHeld(uint8_t port);
uint32_t SioElapsedMs(uint32_t stamp);
bool SioThreadAlive(HANDLE thread);

// Event thread
DWORD WINAPI SioEventThread(LPVOID port_arg);
void SioStartEventThread(uint8_t port);
void SioStopEventThread(uint8_t port);
uint16_t SioSuspendResumeThread(ThreadRecord *record, uint16_t resume);
uint16_t SioSuspendEventThread(uint8_t port, uint16_t resume);

// Lock order, followed everywhere:
//   library_lock  before  tx_rings[i].lock  before  rx_rings[i].lock.
//   A port lock (port_locks[i]) is never held together with a ring lock: code that
//   needs both takes the port lock, releases it, then takes the ring lock (or the
//   other way round), never nested.
// The application's handler is called with no library lock held, except on the
// Windows 95 family, where the writer's periodic receive fill may dispatch
// EV_RX80FULL while it holds the transmit ring's lock.
//
// Fields that two threads touch without a lock are std::atomic and read and written
// with relaxed order unless a comment says otherwise.

// A circular byte queue, one per direction and port.
struct RingQueue {
  std::atomic<uint8_t *> data;         // storage; allocated by SioAllocBuffers, freed at last close
  std::atomic<uint32_t> size;          // capacity; 0 when there is no storage
  std::atomic<uint32_t> read_pos;      // next byte to take (consumer, under lock)
  std::atomic<uint32_t> write_pos;     // next free byte (producer, under lock)
  std::atomic<uint32_t> count;         // bytes held; read without the lock by counts and tests
  std::atomic<uint32_t> driver_queue;  // driver's current queue size for this direction
  CRITICAL_SECTION lock;               // guards read_pos, write_pos, count, and resets
  // Transmit ring: the storage a device write is reading (writer thread), and storage
  // replaced meanwhile, released when that write ends. Both under lock.
  uint8_t *in_write;
  uint8_t *retired;
};

// Per-port thread record, used for both the event thread and the writer thread.
struct ThreadRecord {
  uint32_t latched_events;              // event thread: latest event word (port lock)
  std::atomic<uint16_t> stop;           // 1 asks the thread to end (stopper -> thread)
  std::atomic<uint16_t> suspended;      // 1 while the library holds the thread suspended
  std::atomic<HANDLE> thread;           // running thread; the thread clears it as it ends
  HANDLE data_event;                    // writer: auto-reset, bytes were queued
  HANDLE wake_event;                    // writer: auto-reset, flush or stop request
  HANDLE started_event;                 // both: auto-reset, thread runs / wake handled
  std::atomic<PortEventHandler> handler;  // event thread record: the application's handler
};

struct ReaderEvents {
  HANDLE cancel_event;  // auto-reset; a pending read also waits on it
};

struct PortRecord {
  std::atomic<HANDLE> handle;           // the open device; null while closed
  std::atomic<uint8_t> tx_not_held;     // 1 when no hold condition was found at the last poll
  std::atomic<uint8_t> dtr_state;       // 1 raised, 0 lowered
  std::atomic<uint8_t> rts_state;       // 2 raised, 0 lowered
  std::atomic<uint8_t> flow_flags;      // 0x10 RTS/CTS, 0x20 DTR/DSR, 0x80 XON/XOFF
  uint16_t open_count;                  // 1 while open (library lock)
  std::atomic<int16_t> last_error;      // outcome of the latest open, open test or allocation
  std::atomic<uint8_t> line_events;     // accumulated line-status bits (port lock)
  std::atomic<uint8_t> modem_changes;   // accumulated modem change bits (port lock)
  std::atomic<uint32_t> ring_polling;   // writer polls the modem status for RING
  std::atomic<uint32_t> baud;           // rate of the latest DCB applied by SioSetDcb
  PortSettings saved_settings;          // the device's own settings, from open to close
};

struct PortTable {
  PortRecord ports[SIO_PORT_COUNT];
  ThreadRecord event_threads[SIO_PORT_COUNT];
  ThreadRecord writer_threads[SIO_PORT_COUNT];
  std::atomic<uint32_t> tx_in_flight[SIO_PORT_COUNT];     // writer sets; event thread, counts read
  uint8_t chunk_factor[SIO_PORT_COUNT];
  std::atomic<uint8_t> tx_empty_pending[SIO_PORT_COUNT];  // event thread sets; writer clears
  ReaderEvents reader_events[SIO_PORT_COUNT];
  RingQueue rx_rings[SIO_PORT_COUNT];
  RingQueue tx_rings[SIO_PORT_COUNT];
  OVERLAPPED read_overlapped[SIO_PORT_COUNT];
  OVERLAPPED write_overlapped[SIO_PORT_COUNT];
  uint8_t thread_arg[SIO_PORT_COUNT];
  std::atomic<uint32_t> event_masks[SIO_PORT_COUNT];      // any thread reads; application writes
  CRITICAL_SECTION library_lock;
  CRITICAL_SECTION port_locks[SIO_PORT_COUNT];
  std::atomic<uint16_t> lock_users;
  std::atomic<uint16_t> open_ports;
};

// Null until SioInitLibrary runs; published with release, read with acquire.
extern std::atomic<PortTable *> port_table;

// 1 on the Windows 95 family; set once by SioInitLibrary.
extern std::atomic<uint32_t> is_win95;

// Empties a ring; takes no lock (callers hold what the situation needs).
void RingReset(RingQueue *ring);

// The table itself, for code that runs only while the library is initialised.
inline PortTable &table() { return *port_table.load(std::memory_order_acquire); }

// Whether the library's state exists and the index names one of its slots. Operations
// that make no open test of their own use it to stay inside the table.
inline bool SioPortInTable(uint8_t port) {
  return port_table.load(std::memory_order_acquire) != nullptr && port < SIO_PORT_COUNT;
}

// The last_error code of a failed probe or open, from the platform's error
// (SIO_FAILED when it names no reason the library knows).
int16_t SioOpenFailure(DWORD error);

// Enter and leave a ring's lock (transmit ring before receive ring; never together
// with a port lock).
void SioLockRing(RingQueue *ring);
void SioUnlockRing(RingQueue *ring);

// Gives a ring new, empty storage of `size` bytes under its lock; the old storage is
// released, or retired while a device write still reads it. Size 0 leaves the ring
// without storage. Returns false when the storage could not be allocated (the ring
// then has none, and size 0).
bool SioRingReallocate(RingQueue *ring, uint32_t size);

// The device write that read `storage` has ended (ring lock held): storage retired
// meanwhile is released. False when the ring's storage was replaced during the write.
bool SioRingWriteEnded(RingQueue *ring, const uint8_t *storage);

// Releases a ring's storage under its lock (data null, size 0, empty), retired storage
// too: only once the port's threads have ended and its writes were purged.
void SioRingRelease(RingQueue *ring);

// The allocator of ring storage (malloc by default); a test may swap it to make an
// allocation fail.
extern void *(*sio_ring_alloc)(size_t size);

// A writer or event thread that has not ended 5000 ms after its stop request: its
// handle and events are kept for the life of the process, and the port's rings are
// detached (data null, size 0) and kept with them, so that nothing it can still reach
// is released under it. Its ThreadRecord keeps `thread` set, which tells the close.
void SioKeepLingeringThread(uint8_t port, HANDLE thread, const HANDLE *events, int count);

// Starts a port's writer or event thread on `entry`, with the record's stop and
// suspension cleared; the handle (also stored in the record), or null.
HANDLE SioSpawnPortThread(uint8_t port, ThreadRecord &record, LPTHREAD_START_ROUTINE entry);

// Waits up to `ms` for a thread to end (in place of a plain sleep between the tries
// of a stop).
void SioPauseForThread(HANDLE thread, DWORD ms);
