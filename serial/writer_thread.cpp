// The writer thread of a port: drains the transmit ring into the device in chunks
// sized from the baud rate, answers flush and stop requests, and delivers the
// library's transmit events. Also its start and stop, and the record of threads that
// did not end when asked to.
#include <stddef.h>

#include "port_table.h"

namespace {

constexpr SIZE_T kThreadStack = 16384;      // the platform rounds up to its own minimum
constexpr DWORD kStartWaitMs = 5000;
constexpr DWORD kStopWaitMs = 5000;
constexpr DWORD kStopResignalMs = 10;
constexpr DWORD kWin95PollMs = 500;         // wait limit and receive poll, Windows 95 family
constexpr DWORD kBackOffFirstMs = 4;        // pause after a device write that failed to start,
constexpr DWORD kBackOffMaxMs = 100;        // doubling up to this while failures go on

// What the writer does next.
enum class Next { Drain, Idle, BackOff, End };

// The thread's own values. The event handles are copies taken at start, so that a
// writer given up on at stop still holds valid (kept) handles.
struct WriterState {
  uint8_t port;
  uint32_t epoch;          // writer_epoch[port] when the thread started
  HANDLE data_event;
  HANDLE wake_event;
  HANDLE started_event;
  bool drained;            // the ring ran empty (or a write was abandoned) since the last report
  DWORD last_poll;         // time of the last receive poll (Windows 95 family)
  DWORD wait_limit;
  DWORD back_off_ms;       // 0 while device writes succeed
};

// One contiguous block of the ring, taken under its lock.
struct Chunk {
  uint8_t *data;
  uint32_t pos;
  uint32_t size;
  uint32_t n;
};

}  // namespace

// Bumped when a stop gives up on a port's writer. A writer whose start value differs
// has been given up on: it ends at its next look without touching the port's records,
// which may by then belong to a new writer. Touched by the stopper and the writers.
static std::atomic<uint32_t> writer_epoch[SIO_PORT_COUNT];

// ---- Threads given up on at stop -------------------------------------------------

// A thread that had not ended 5000 ms after its stop request can still wake up and
// touch its events and the port's rings. They are kept here for the life of the
// process (a deliberate leak, so they are never released under it) and the port's
// rings are detached, so the close releases nothing the thread could still reach.
struct LingeringThread {
  HANDLE thread;
  HANDLE events[3];
  HANDLE request_events[2];  // of read_overlapped and write_overlapped
  uint8_t *rings[3];  // receive, transmit, transmit storage retired during a write
};
static const int kLingeringSlots = 16;
static LingeringThread lingering[kLingeringSlots];  // stopper only (under library_lock)
static int lingering_used;

static uint8_t *detach_ring(RingQueue *ring) {
  ring->count.store(0, std::memory_order_relaxed);
  ring->size.store(0, std::memory_order_relaxed);
  ring->read_pos.store(0, std::memory_order_relaxed);
  ring->write_pos.store(0, std::memory_order_relaxed);
  return ring->data.exchange(nullptr);
}

void SioKeepLingeringThread(uint8_t port, HANDLE thread, const HANDLE *events, int count) {
  PortTable &t = table();
  LingeringThread kept = {thread, {nullptr, nullptr, nullptr}, {nullptr, nullptr}, {nullptr, nullptr, nullptr}};
  for (int i = 0; i < count && i < 3; i++) kept.events[i] = events[i];
  // The close leaves the request events open for the thread, and the next open makes
  // new ones in their place: they are kept here with the rest.
  kept.request_events[0] = t.read_overlapped[port].hEvent;
  kept.request_events[1] = t.write_overlapped[port].hEvent;
  kept.rings[0] = detach_ring(&t.rx_rings[port]);
  kept.rings[1] = detach_ring(&t.tx_rings[port]);
  kept.rings[2] = t.tx_rings[port].retired;
  t.tx_rings[port].in_write = nullptr;
  t.tx_rings[port].retired = nullptr;
  if (lingering_used < kLingeringSlots) lingering[lingering_used++] = kept;
}

// ---- The thread ------------------------------------------------------------------

static bool writer_current(const WriterState &s) {
  return writer_epoch[s.port].load() == s.epoch;
}

static bool writer_stopping(const WriterState &s) {
  return !writer_current(s) || table().writer_threads[s.port].stop.load() != 0;
}

static uint32_t chunk_size(uint8_t port) {
  PortTable &t = table();
  uint64_t chunk = uint64_t{t.ports[port].baud.load(std::memory_order_relaxed)} * t.chunk_factor[port] / 50;
  if (chunk < 10) chunk = 10;
  return chunk > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(chunk);
}

// At most one chunk, never past the end of the storage. Caller holds the ring lock.
static Chunk take_chunk(uint8_t port) {
  RingQueue &ring = table().tx_rings[port];
  Chunk c = {ring.data.load(std::memory_order_relaxed), ring.read_pos.load(std::memory_order_relaxed),
             ring.size.load(std::memory_order_relaxed), 0};
  uint32_t count = ring.count.load(std::memory_order_relaxed);
  if (c.data == nullptr || c.size == 0 || c.pos >= c.size) return c;
  c.n = chunk_size(port);
  if (count < c.n) c.n = count;
  if (c.size - c.pos < c.n) c.n = c.size - c.pos;
  return c;
}

// Takes the written bytes out of the ring. Caller holds the ring lock.
static void commit_chunk(uint8_t port, const Chunk &c, uint32_t written) {
  RingQueue &ring = table().tx_rings[port];
  ring.read_pos.store(static_cast<uint32_t>((uint64_t{c.pos} + written) % c.size), std::memory_order_relaxed);
  uint32_t count = ring.count.load(std::memory_order_relaxed);
  ring.count.store(written < count ? count - written : 0, std::memory_order_relaxed);
}

// Windows 95 family: the receive ring is refilled from here every 500 ms.
static void writer_poll_receive(WriterState &s) {
  if (SioElapsedMs(s.last_poll) > kWin95PollMs) {
    SioFillRxRing(s.port);
    s.last_poll = win32.timeGetTime();
  }
}

static void writer_begin(WriterState &s) {
  PortTable &t = table();
  ThreadRecord &w = t.writer_threads[s.port];
  s.epoch = writer_epoch[s.port].load();
  s.data_event = w.data_event;
  s.wake_event = w.wake_event;
  s.started_event = w.started_event;
  s.wait_limit = is_win95.load() ? kWin95PollMs : INFINITE;
  t.tx_in_flight[s.port].store(0);
  t.tx_empty_pending[s.port].store(0);
  s.drained = true;
  s.back_off_ms = 0;
  win32.SetThreadPriority(win32.GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
  win32.SetEvent(s.started_event);
  if (t.ports[s.port].baud.load(std::memory_order_relaxed) == 0) {
    t.ports[s.port].baud.store(SioGetBaud(s.port), std::memory_order_relaxed);
  }
  s.last_poll = win32.timeGetTime();
}

// An abandoned write has ended (or is given up on): its storage may be released.
// A stopping writer leaves that to the close, which purges the write first.
static Next writer_write_ended(WriterState &s) {
  RingQueue &ring = table().tx_rings[s.port];
  SioLockRing(&ring);
  SioRingWriteEnded(&ring, nullptr);
  SioUnlockRing(&ring);
  return Next::Idle;
}

// After answering a flush that took a pending write: the write stays pending until
// the flush purges it, and the ring keeps its bytes until the flush resets it. A new
// write before then would reuse a request record still in use and could send bytes
// the flush discards, so the writer waits for the purge to end the old write. A
// further wake request is answered meanwhile; the wait gives up after 5000 ms, as
// the flush does.
static Next writer_await_purge(WriterState &s) {
  PortTable &t = table();
  OVERLAPPED *request = &t.write_overlapped[s.port];
  HANDLE handle = t.ports[s.port].handle.load(std::memory_order_relaxed);
  DWORD start = win32.timeGetTime();
  for (;;) {
    HANDLE waits[2] = {request->hEvent, s.wake_event};
    DWORD result = win32.WaitForMultipleObjects(2, waits, FALSE, kStartWaitMs);
    if (!writer_current(s)) return Next::End;
    if (result == WAIT_OBJECT_0) {
      DWORD ignored = 0;
      win32.GetOverlappedResult(handle, request, &ignored, FALSE);
      win32.ResetEvent(request->hEvent);
      return writer_write_ended(s);
    }
    if (result == WAIT_OBJECT_0 + 1) {
      win32.SetEvent(s.started_event);
      if (writer_stopping(s)) return Next::End;
      if (SioElapsedMs(start) < kStartWaitMs) continue;
    }
    return writer_stopping(s) ? Next::End : writer_write_ended(s);
  }
}

// Writes chunks while the ring holds bytes. Returns Idle when the ring is empty or a
// flush took the write, BackOff when the device took nothing, End on a stop.
static Next writer_drain(WriterState &s) {
  PortTable &t = table();
  RingQueue &ring = t.tx_rings[s.port];
  SioLockRing(&ring);
  for (;;) {
    if (is_win95.load(std::memory_order_relaxed)) writer_poll_receive(s);
    Chunk c = take_chunk(s.port);
    // The write reads the ring's storage outside the lock: new rings (SioSetBufferSizes)
    // retire it rather than free it until the write has ended.
    if (c.n != 0) ring.in_write = c.data;
    SioUnlockRing(&ring);
    if (c.n == 0) return Next::Idle;

    t.tx_empty_pending[s.port].store(0);
    t.tx_in_flight[s.port].store(c.n);
    uint32_t status = 0;
    uint32_t written = SioOverlappedWrite(s.port, c.data + c.pos, c.n, &status);
    if (!writer_current(s)) return Next::End;
    if (status == 1) {
      // A flush or stop took the write; the flush resets the ring once we answer.
      t.tx_in_flight[s.port].store(0);
      win32.SetEvent(s.started_event);
      if (writer_stopping(s)) return Next::End;
      s.drained = true;
      return writer_await_purge(s);
    }
    SioLockRing(&ring);
    // Storage replaced during the write went with its bytes (new rings start empty):
    // there is nothing to take out of the ring in its place.
    bool same_storage = SioRingWriteEnded(&ring, c.data);
    if (same_storage) commit_chunk(s.port, c, written);
    t.tx_in_flight[s.port].store(0);
    if (same_storage && written == 0) {
      SioUnlockRing(&ring);
      return Next::BackOff;
    }
    s.back_off_ms = 0;
    if (ring.count.load(std::memory_order_relaxed) == 0) {
      s.drained = true;
      SioUnlockRing(&ring);
      return Next::Idle;
    }
  }
}

// The reports of an idle pass: RING by polling, the ring emptied, a held-back EV_TXEMPTY.
static void writer_report(WriterState &s) {
  PortTable &t = table();
  if (t.ports[s.port].ring_polling.load(std::memory_order_relaxed)) SioPollRing(s.port);
  if (!writer_current(s)) return;
  if (s.drained && (t.event_masks[s.port].load(std::memory_order_relaxed) & SIO_EV_TXRING_EMPTY)) {
    s.drained = false;
    SioDispatchEvents(s.port, SIO_EV_TXRING_EMPTY);
    if (!writer_current(s)) return;
  }
  if (t.tx_empty_pending[s.port].exchange(0)) SioDispatchEvents(s.port, EV_TXEMPTY);
}

// Reports, then waits for data or a wake request. Returns Drain, BackOff or End.
static Next writer_idle(WriterState &s) {
  for (;;) {
    writer_report(s);
    if (!writer_current(s)) return Next::End;
    HANDLE waits[2] = {s.data_event, s.wake_event};
    DWORD result = win32.WaitForMultipleObjects(2, waits, FALSE, s.wait_limit);
    if (!writer_current(s)) return Next::End;
    if (result == WAIT_OBJECT_0 + 1) {
      // A flush (or stop): answer it, and wait again without draining.
      win32.SetEvent(s.started_event);
      if (writer_stopping(s)) return Next::End;
      continue;
    }
    if (result == WAIT_TIMEOUT) {
      if (table().ports[s.port].ring_polling.load(std::memory_order_relaxed)) SioPollRing(s.port);
      SioFillRxRing(s.port);
      s.last_poll = win32.timeGetTime();
    }
    if (writer_stopping(s)) return Next::End;
    // A wait that fails returns at once; pause rather than turn round at full speed.
    return result == WAIT_OBJECT_0 || result == WAIT_TIMEOUT ? Next::Drain : Next::BackOff;
  }
}

// The device took nothing: the bytes stay queued and the writer pauses, 4 ms at first
// and up to 100 ms while it goes on, before it tries again. Only wake_event cuts the
// pause short: new data would otherwise bring the retries back to the producer's pace.
static Next writer_back_off(WriterState &s) {
  s.back_off_ms = s.back_off_ms == 0 ? kBackOffFirstMs : s.back_off_ms * 2;
  if (s.back_off_ms > kBackOffMaxMs) s.back_off_ms = kBackOffMaxMs;
  DWORD result = win32.WaitForSingleObject(s.wake_event, s.back_off_ms);
  if (result == WAIT_FAILED) win32.Sleep(s.back_off_ms);
  if (!writer_current(s)) return Next::End;
  if (result == WAIT_OBJECT_0) {
    // A flush empties the ring: answer it and report the emptying as for an abandoned write.
    win32.SetEvent(s.started_event);
    if (writer_stopping(s)) return Next::End;
    s.drained = true;
    return Next::Idle;
  }
  return writer_stopping(s) ? Next::End : Next::Drain;
}

DWORD WINAPI SioWriterThread(LPVOID port_arg) {
  WriterState s = {};
  s.port = *static_cast<uint8_t *>(port_arg);
  writer_begin(s);
  Next next = Next::Drain;
  while (next != Next::End) {
    switch (next) {
      case Next::Drain: next = writer_drain(s); break;
      case Next::Idle: next = writer_idle(s); break;
      case Next::BackOff: next = writer_back_off(s); break;
      case Next::End: break;
    }
  }
  // A writer given up on leaves the record alone: it may belong to a new writer now.
  if (writer_current(s)) {
    // A stop can be seen before its wake request is (after a wait for data, say):
    // answer it all the same, or the stopper's flush would wait out its time limit.
    win32.SetEvent(s.started_event);
    table().writer_threads[s.port].thread.store(nullptr);
  }
  return 0;
}

// ---- Start and stop --------------------------------------------------------------

static HANDLE create_auto_event(HANDLE existing) {
  return existing != nullptr ? existing : win32.CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

void SioStartWriter(uint8_t port) {
  PortTable &t = table();
  ThreadRecord &w = t.writer_threads[port];
  if (w.thread.load() != nullptr) return;
  // Events left from a start whose thread could not be created are used again.
  w.data_event = create_auto_event(w.data_event);
  w.wake_event = create_auto_event(w.wake_event);
  w.started_event = create_auto_event(w.started_event);
  if (SioSpawnPortThread(port, w, SioWriterThread) == nullptr) return;
  win32.WaitForSingleObject(w.started_event, kStartWaitMs);
}

HANDLE SioSpawnPortThread(uint8_t port, ThreadRecord &record, LPTHREAD_START_ROUTINE entry) {
  PortTable &t = table();
  record.stop.store(0);
  record.suspended.store(0);
  t.thread_arg[port] = port;
  HANDLE thread = win32.CreateThread(nullptr, kThreadStack, entry, &t.thread_arg[port], 0, nullptr);
  if (thread != nullptr) record.thread.store(thread);
  return thread;
}

static void close_writer_events(ThreadRecord &w) {
  win32.CloseHandle(w.data_event);
  win32.CloseHandle(w.wake_event);
  win32.CloseHandle(w.started_event);
  w.data_event = nullptr;
  w.wake_event = nullptr;
  w.started_event = nullptr;
}

// Waits up to `ms` for a thread to end; a thread handle is signalled when it has.
void SioPauseForThread(HANDLE thread, DWORD ms) {
  if (win32.WaitForSingleObject(thread, ms) == WAIT_FAILED) win32.Sleep(ms);
}

void SioStopWriter(uint8_t port) {
  ThreadRecord &w = table().writer_threads[port];
  HANDLE thread = w.thread.load();
  if (thread == nullptr) return;
  w.stop.store(1);
  SioSuspendResumeThread(&w, 1);  // a writer held suspended could never answer
  SioFlush(port, 1);

  DWORD start = win32.timeGetTime();
  while (SioThreadAlive(w.thread.load()) && SioElapsedMs(start) < kStopWaitMs) {
    win32.SetEvent(w.wake_event);
    SioPauseForThread(thread, kStopResignalMs);
  }
  if (w.thread.load() != nullptr && SioThreadAlive(thread)) {
    // Given up on: it keeps its handle, its events and the rings it can still reach.
    HANDLE events[3] = {w.data_event, w.wake_event, w.started_event};
    writer_epoch[port].fetch_add(1);
    SioKeepLingeringThread(port, thread, events, 3);
    w.data_event = nullptr;
    w.wake_event = nullptr;
    w.started_event = nullptr;
    return;
  }
  win32.CloseHandle(thread);
  close_writer_events(w);
}
