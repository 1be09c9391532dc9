// The simulated driver's overlapped requests (reads, writes, comm-event waits), ended
// through their own events, and the calls that end them (SetCommMask, PurgeComm, CancelIo).
#include <string.h>

#include <algorithm>

#include "sim/sim_internal.h"

// Ends a request; a wait's event word gets `events`, its size the count unless it failed.
static void request_end(SimRequest &r, DWORD error, DWORD count, DWORD events = 0) {
  if (r.events)
    *r.events = events, count = error ? 0 : sizeof(DWORD);
  r.pending = false;
  r.write_buf = nullptr;
  r.ov->InternalHigh = count, r.ov->Internal = error;
  if (r.ov->hEvent)
    sim_saved.SetEvent(r.ov->hEvent);
  sim_changed.notify_all();
}

void sim_end_all_requests(SimDevice *dev, DWORD error) {
  for (SimRequest *r : {&dev->read, &dev->write, &dev->wait})
    if (r->pending)
      request_end(*r, error, 0);
}

void sim_complete_write_locked(SimDevice *dev, DWORD count) {
  SimRequest &w = dev->write;
  count = std::min(count, w.len);
  dev->written.insert(dev->written.end(), w.write_buf, w.write_buf + count);
  request_end(w, 0, count);
  sim_raise_locked(dev, EV_TXEMPTY);
}

// Masked events are kept until a wait takes them (no events are kept while one is pending).
void sim_raise_locked(SimDevice *dev, DWORD events) {
  dev->kept_events |= events & dev->mask;
  if (dev->kept_events != 0 && dev->wait.pending) {
    request_end(dev->wait, 0, 0, dev->kept_events);
    dev->kept_events = 0;
  }
}

// Moves up to len waiting bytes into dst; the count moved.
static DWORD take_input(SimDevice *dev, uint8_t *dst, DWORD len) {
  DWORD n = static_cast<DWORD>(std::min<size_t>(len, dev->input.size()));
  std::copy(dev->input.begin(), dev->input.begin() + n, dst);
  dev->input.erase(dev->input.begin(), dev->input.begin() + n);
  return n;
}

void sim_feed_locked(SimDevice *dev, const uint8_t *bytes, size_t len) {
  if (len == 0)
    return;
  size_t before = dev->input.size(), queue = sim_current_rx_queue(dev), mark = queue * 8 / 10;
  size_t room = queue == 0 ? len : before >= queue ? 0 : std::min(len, queue - before);  // a full driver drops
  dev->input.insert(dev->input.end(), bytes, bytes + room);
  DWORD events = EV_RXCHAR;
  if (memchr(bytes, static_cast<uint8_t>(dev->dcb.EvtChar), len))
    events |= EV_RXFLAG;
  if (mark > 0 && before < mark && dev->input.size() >= mark)
    events |= EV_RX80FULL;
  if (room < len)
    dev->errors |= CE_RXOVER, events |= EV_ERR;
  SimRequest &r = dev->read;
  if (r.pending && r.until_full && dev->input.size() >= r.len)
    request_end(r, 0, take_input(dev, r.read_buf, r.len));
  sim_raise_locked(dev, events);
}

namespace {

// A request's outcome: TRUE with the count, an error, or ERROR_IO_PENDING while it runs;
// `waits` (no OVERLAPPED given, or GetOverlappedResult told to wait) waits for the end.
BOOL request_result(std::unique_lock<std::mutex> &lock, OVERLAPPED *ov, bool waits, DWORD *count) {
  if (waits)
    sim_changed.wait(lock, [ov] { return ov->Internal != SIM_STATUS_PENDING; });
  if (ov->Internal == SIM_STATUS_PENDING)
    return sim_fail_with(ERROR_IO_PENDING);
  if (count)
    *count = static_cast<DWORD>(ov->InternalHigh);
  return ov->Internal == 0 ? TRUE : sim_fail_with(static_cast<DWORD>(ov->Internal));
}

// Runs request `r` on `ov`, or on a record of its own for a caller that gave none:
// resets its event, as a driver does, and has `start` fill it in (and perhaps end it).
// A request of r's kind still pending, or a record in use, is misuse: counted and failed.
template <class F>
BOOL run_request(std::unique_lock<std::mutex> &lock, SimDevice *dev, SimRequest &r, OVERLAPPED *ov,
                 DWORD *count, F start) {
  OVERLAPPED own{}, *o = ov ? ov : &own;
  for (const SimRequest *p : {&dev->read, &dev->write, &dev->wait})
    if (p->pending && (p == &r || p->ov == o))
      return dev->misuse++, sim_fail_with(ERROR_INVALID_PARAMETER);
  r = SimRequest();
  r.ov = o;
  o->Internal = SIM_STATUS_PENDING, o->InternalHigh = 0;
  if (o->hEvent)
    sim_saved.ResetEvent(o->hEvent);
  start();
  sim_changed.notify_all();
  return request_result(lock, o, ov == nullptr, count);
}

}  // namespace

BOOL WINAPI sim_ReadFile(HANDLE h, LPVOID buf, DWORD len, LPDWORD got, LPOVERLAPPED ov) {
  if (got)
    *got = 0;
  SIM_ENTER(h, SIM_READ_FILE, ReadFile(h, buf, len, got, ov));
  if (dev->read_mode == SIM_IO_FAIL)
    return sim_fail_with(dev->read_error);
  const COMMTIMEOUTS &t = dev->timeouts;
  bool at_once = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                 t.ReadTotalTimeoutConstant == 0;
  return run_request(lock, dev, dev->read, ov, got, [&] {
    SimRequest &r = dev->read;
    r.read_buf = static_cast<uint8_t *>(buf), r.len = len;
    if (dev->read_mode == SIM_IO_AT_ONCE && (at_once || dev->input.size() >= len))
      request_end(r, 0, take_input(dev, r.read_buf, len));
    else  // pending until fed enough, or in SIM_IO_PENDING until aborted
      r.pending = true, r.until_full = dev->read_mode == SIM_IO_AT_ONCE;
  });
}

BOOL WINAPI sim_WriteFile(HANDLE h, LPCVOID buf, DWORD len, LPDWORD put, LPOVERLAPPED ov) {
  if (put)
    *put = 0;
  SIM_LOOKUP(h, SIM_WRITE_FILE, WriteFile(h, buf, len, put, ov));
  dev->write_sizes.push_back(len);  // failed writes are recorded too
  if (dev->fail[SIM_WRITE_FILE] != 0 || dev->write_mode == SIM_IO_FAIL)
    return sim_fail_with(dev->fail[SIM_WRITE_FILE] != 0 ? dev->fail[SIM_WRITE_FILE] : dev->write_error);
  return run_request(lock, dev, dev->write, ov, put, [&] {
    // As a driver does, the sim reads the caller's buffer as the bytes go out, so it
    // must stay valid until the write ends.
    dev->write.write_buf = static_cast<const uint8_t *>(buf);
    dev->write.len = len, dev->write.pending = true;
    if (dev->write_mode == SIM_IO_AT_ONCE)
      sim_complete_write_locked(dev, len);
  });
}

BOOL WINAPI sim_WaitCommEvent(HANDLE h, LPDWORD events, LPOVERLAPPED ov) {
  SIM_ENTER(h, SIM_WAIT_COMM_EVENT, WaitCommEvent(h, events, ov));
  if (!events || dev->mask == 0)  // the driver refuses a wait that nothing can end
    return sim_fail_with(ERROR_INVALID_PARAMETER);
  return run_request(lock, dev, dev->wait, ov, nullptr, [&] {
    dev->wait.events = events, dev->wait.pending = true;
    sim_raise_locked(dev, 0);  // kept events end it at once
  });
}

BOOL WINAPI sim_GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD count, BOOL wait) {
  SIM_ENTER(h, SIM_GET_OVERLAPPED_RESULT, GetOverlappedResult(h, ov, count, wait));
  if (!ov)
    return sim_fail_with(ERROR_INVALID_PARAMETER);
  if (ov->Internal == SIM_STATUS_PENDING && !wait)
    return sim_fail_with(ERROR_IO_INCOMPLETE);
  return request_result(lock, ov, true, count);
}

SIM_ENTRY(SetCommMask, SIM_SET_COMM_MASK, (HANDLE h, DWORD mask), (h, mask),
          dev->mask = mask, dev->kept_events = 0;
          if (dev->wait.pending) request_end(dev->wait, 0, 0);  // a mask change ends the wait with no events
          return TRUE;)

SIM_ENTRY(PurgeComm, SIM_PURGE_COMM, (HANDLE h, DWORD flags), (h, flags),
          dev->purges.push_back(flags);
          if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
            return sim_fail_with(ERROR_INVALID_PARAMETER);
          if ((flags & PURGE_TXABORT) && dev->write.pending)
            request_end(dev->write, ERROR_OPERATION_ABORTED, 0);
          if ((flags & PURGE_RXABORT) && dev->read.pending)
            request_end(dev->read, ERROR_OPERATION_ABORTED, 0);
          if (flags & PURGE_RXCLEAR) dev->input.clear();
          return TRUE;)

SIM_ENTRY(CancelIo, SIM_CANCEL_IO, (HANDLE h), (h), sim_end_all_requests(dev, ERROR_OPERATION_ABORTED); return TRUE;)
