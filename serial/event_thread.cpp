// The event thread of a configured port: waits in the device for the events of the
// port's mask, latches and delivers them, holds back EV_TXEMPTY while transmit data
// waits; also its start, stop, suspension and resumption.
#include <stddef.h>

#include "port_table.h"

namespace {

constexpr DWORD kStartWaitMs = 5000;
constexpr DWORD kStopWaitMs = 5000;
constexpr DWORD kStopRepeatMs = 50;
constexpr DWORD kQuietFirstMs = 4;      // pause after device waits that give nothing,
constexpr DWORD kQuietMaxMs = 100;      // doubling up to this while they go on

struct EventState {
  uint8_t port;
  uint32_t epoch;         // event_epoch[port] when the thread started
  HANDLE handle;          // the device, read once
  HANDLE started_event;   // copy taken at start; also cuts a pause short at stop
  OVERLAPPED request;     // the thread's own request record for WaitCommEvent
  uint32_t quiet_passes;  // device waits in a row that failed or gave an empty word
  DWORD pause_ms;
};

}  // namespace

// Bumped when a stop gives up on a port's event thread; the thread then ends at its
// next look without touching the port's records. Touched by the stopper and the thread.
static std::atomic<uint32_t> event_epoch[SIO_PORT_COUNT];

static bool event_current(const EventState &s) {
  return event_epoch[s.port].load() == s.epoch;
}

// One device wait. True with the event word when it succeeded.
static bool wait_device_event(EventState &s, DWORD *word) {
  *word = 0;
  if (win32.WaitCommEvent(s.handle, word, &s.request)) return true;
  if (win32.GetLastError() != ERROR_IO_PENDING) return false;
  DWORD unused = 0;
  return win32.GetOverlappedResult(s.handle, &s.request, &unused, TRUE) != FALSE;
}

// Latches the word and hands it to the handler. EV_TXEMPTY waits for the writer while
// transmit data waits; EV_RX80FULL is answered by a fill, which reports it itself.
static void deliver(EventState &s, DWORD word) {
  PortTable &t = table();
  SioLatchEvents(s.port, word);
  if ((word & EV_TXEMPTY) &&
      (SioGetPendingCount(s.port, 1) != 0 || t.tx_in_flight[s.port].load() != 0)) {
    t.tx_empty_pending[s.port].store(1);
    word &= ~EV_TXEMPTY;
    // A writer that went idle just before the flag was set would keep it until the
    // next data; wake it so that it delivers the event as soon as it drains.
    HANDLE data_event = t.writer_threads[s.port].data_event;
    if (data_event != nullptr) win32.SetEvent(data_event);
  }
  SioDispatchEvents(s.port, word & ~EV_RX80FULL);
  if (!event_current(s)) return;
  if (word & EV_RX80FULL) SioFillRxRing(s.port);
}

// Device waits that keep failing (a device gone, a mask of 0) would otherwise turn
// round at full speed: after the second in a row, pause 4 ms, doubling up to 100 ms.
// The stopper sets started_event to cut a pause short. The thread's own start signal
// goes through the same event: a pause that takes it before SioStartEventThread does
// hands it back and sleeps out the pause instead.
static void pause_if_quiet(EventState &s, bool delivered) {
  if (delivered) {
    s.quiet_passes = 0;
    s.pause_ms = 0;
    return;
  }
  if (++s.quiet_passes < 2) return;
  s.pause_ms = s.pause_ms == 0 ? kQuietFirstMs : s.pause_ms * 2;
  if (s.pause_ms > kQuietMaxMs) s.pause_ms = kQuietMaxMs;
  DWORD woke = win32.WaitForSingleObject(s.started_event, s.pause_ms);
  bool stopping = !event_current(s) || table().event_threads[s.port].stop.load() != 0;
  if (woke == WAIT_OBJECT_0 && !stopping) win32.SetEvent(s.started_event);
  if (woke == WAIT_FAILED || (woke == WAIT_OBJECT_0 && !stopping)) win32.Sleep(s.pause_ms);
}

static void event_loop(EventState &s) {
  ThreadRecord &e = table().event_threads[s.port];
  for (;;) {
    DWORD word = 0;
    bool ok = wait_device_event(s, &word);
    if (!event_current(s)) return;
    if (ok && word != 0) deliver(s, word);
    if (!event_current(s) || e.stop.load() != 0) return;
    pause_if_quiet(s, ok && word != 0);
    if (!event_current(s) || e.stop.load() != 0) return;
  }
}

DWORD WINAPI SioEventThread(LPVOID port_arg) {
  EventState s = {};
  s.port = *static_cast<uint8_t *>(port_arg);
  PortTable &t = table();
  ThreadRecord &e = t.event_threads[s.port];
  s.epoch = event_epoch[s.port].load();
  s.started_event = e.started_event;
  s.handle = t.ports[s.port].handle.load();
  if (SioIsOpen(s.port)) {
    win32.SetEvent(s.started_event);
    s.request.hEvent = win32.CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SioLatchEvents(s.port, 0);
    event_loop(s);
    win32.CloseHandle(s.request.hEvent);
  }
  // A thread given up on leaves the record alone: it may belong to a new thread now.
  if (event_current(s)) e.thread.store(nullptr);
  return 0;
}

void SioStartEventThread(uint8_t port) {
  PortTable &t = table();
  ThreadRecord &e = t.event_threads[port];
  if (e.thread.load() != nullptr) return;
  if (e.started_event == nullptr) e.started_event = win32.CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE thread = SioSpawnPortThread(port, e, SioEventThread);
  if (thread == nullptr) return;
  DWORD started = win32.WaitForSingleObject(e.started_event, kStartWaitMs);
  // A thread that ended at once (the port was not open) may have cleared the record
  // before its handle was stored there: forget it, so that nothing waits for it.
  if (started != WAIT_OBJECT_0 && !SioThreadAlive(thread)) {
    HANDLE expected = thread;
    e.thread.compare_exchange_strong(expected, nullptr);
    win32.CloseHandle(thread);
  }
}

void SioStopEventThread(uint8_t port) {
  ThreadRecord &e = table().event_threads[port];
  HANDLE thread = e.thread.load();
  if (thread == nullptr) return;
  e.stop.store(1);
  SioSuspendEventThread(port, 1);
  win32.SetEvent(e.started_event);  // ends a pause between failing device waits
  SioApplyEventMask(port, 0);       // completes the pending device wait

  DWORD start = win32.timeGetTime();
  while (SioThreadAlive(e.thread.load()) && SioElapsedMs(start) < kStopWaitMs) {
    SioApplyEventMask(port, 0);
    SioPauseForThread(thread, kStopRepeatMs);
  }
  if (e.thread.load() != nullptr && SioThreadAlive(thread)) {
    // Given up on: it keeps its handle, its event and the rings it can still reach.
    event_epoch[port].fetch_add(1);
    SioKeepLingeringThread(port, thread, &e.started_event, 1);
    e.started_event = nullptr;
    return;
  }
  win32.CloseHandle(thread);
  win32.CloseHandle(e.started_event);
  e.started_event = nullptr;
}

uint16_t SioSuspendResumeThread(ThreadRecord *record, uint16_t resume) {
  HANDLE thread = record->thread.load();
  if (thread == nullptr) return 0;
  if (resume != 0) {
    uint16_t held = 1;
    if (record->suspended.compare_exchange_strong(held, 0)) win32.ResumeThread(thread);
    return 0;
  }
  uint16_t free_running = 0;
  if (!record->suspended.compare_exchange_strong(free_running, 1)) return 0;
  win32.SuspendThread(thread);
  return 1;
}

uint16_t SioSuspendEventThread(uint8_t port, uint16_t resume) {
  if (port >= SIO_PORT_COUNT || port_table.load() == nullptr) return 0;
  return SioSuspendResumeThread(&table().event_threads[port], resume);
}
