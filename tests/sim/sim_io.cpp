// The simulated driver's overlapped requests (reads, writes, comm-event waits), their
// completion through the request's real event, and the calls that end them
// (SetCommMask, PurgeComm, CancelIo, CloseHandle).
#include <string.h>

#include <algorithm>

#include "sim/sim_internal.h"

// --- Ending requests (sim_mutex held) ----------------------------------------------

void sim_request_end(SimRequest &r, DWORD error, DWORD count) {
  r.pending = false;
  r.write_data.clear();
  r.ov->InternalHigh = count;
  r.ov->Internal = error;
  if (r.ov->hEvent)
    sim_saved.SetEvent(r.ov->hEvent);
  sim_changed.notify_all();
}

// Ends the pending wait with an event word (the word's size as its count unless it
// failed).
static void end_wait(SimDevice *dev, DWORD events, DWORD error) {
  *dev->wait.events = events;
  sim_request_end(dev->wait, error, error ? 0 : sizeof(DWORD));
}

void sim_end_all_requests(SimDevice *dev, DWORD error) {
  if (dev->read.pending)
    sim_request_end(dev->read, error, 0);
  if (dev->write.pending)
    sim_request_end(dev->write, error, 0);
  if (dev->wait.pending)
    end_wait(dev, 0, error);
}

void sim_complete_write_locked(SimDevice *dev, DWORD count) {
  SimRequest &w = dev->write;
  count = std::min(count, w.len);
  dev->written.insert(dev->written.end(), w.write_data.begin(), w.write_data.begin() + count);
  sim_request_end(w, 0, count);
  sim_raise_locked(dev, EV_TXEMPTY);
}

// --- Events -----------------------------------------------------------------------

void sim_raise_locked(SimDevice *dev, DWORD events) {
  events &= dev->mask;
  if (events == 0)
    return;
  dev->kept_events |= events;
  if (dev->wait.pending) {
    end_wait(dev, dev->kept_events, 0);
    dev->kept_events = 0;
  }
}

DWORD sim_current_rx_queue(const SimDevice *dev) {
  return dev->fixed_rx != SIM_FROM_SETUP ? dev->fixed_rx : dev->setup_rx;
}

namespace {

// Moves up to len waiting bytes into dst; the count moved.
DWORD take_input(SimDevice *dev, uint8_t *dst, DWORD len) {
  DWORD n = static_cast<DWORD>(std::min<size_t>(len, dev->input.size()));
  std::copy(dev->input.begin(), dev->input.begin() + n, dst);
  dev->input.erase(dev->input.begin(), dev->input.begin() + n);
  return n;
}

// The events a batch of received bytes raises, given the queue length before it.
DWORD arrival_events(const SimDevice *dev, size_t before, const uint8_t *bytes, size_t len) {
  DWORD events = EV_RXCHAR;
  if (memchr(bytes, static_cast<uint8_t>(dev->dcb.EvtChar), len))
    events |= EV_RXFLAG;
  size_t mark = static_cast<size_t>(sim_current_rx_queue(dev)) * 8 / 10;
  if (mark > 0 && before < mark && dev->input.size() >= mark)
    events |= EV_RX80FULL;
  return events;
}

}  // namespace

void sim_feed_locked(SimDevice *dev, const uint8_t *bytes, size_t len) {
  if (len == 0)
    return;
  size_t before = dev->input.size();
  size_t room = len;
  DWORD queue = sim_current_rx_queue(dev);
  if (queue != 0)  // a driver of known size drops what overflows it
    room = before >= queue ? 0 : std::min<size_t>(len, queue - before);
  dev->input.insert(dev->input.end(), bytes, bytes + room);
  DWORD events = arrival_events(dev, before, bytes, len);
  if (room < len) {
    dev->errors |= CE_RXOVER;
    events |= EV_ERR;
  }
  SimRequest &r = dev->read;
  if (r.pending && r.until_full && dev->input.size() >= r.len)
    sim_request_end(r, 0, take_input(dev, r.read_buf, r.len));
  sim_raise_locked(dev, events);
}

namespace {

// --- Starting requests -------------------------------------------------------------

bool ov_in_use(const SimDevice *dev, const OVERLAPPED *ov) {
  return (dev->read.pending && dev->read.ov == ov) || (dev->write.pending && dev->write.ov == ov) ||
         (dev->wait.pending && dev->wait.ov == ov);
}

// Takes `r` for a new request on `ov`, or on `own` for a caller that gave none, and
// returns the record in use; null (counted as misuse) when a request of that kind is
// still pending or the record belongs to one. The request's event is reset, as the
// driver does when a request starts.
OVERLAPPED *request_begin(SimDevice *dev, SimRequest &r, OVERLAPPED *ov, OVERLAPPED *own) {
  if (!ov)
    ov = own;
  if (r.pending || ov_in_use(dev, ov)) {
    dev->misuse++;
    return nullptr;
  }
  r = SimRequest();
  r.ov = ov;
  ov->Internal = SIM_STATUS_PENDING;
  ov->InternalHigh = 0;
  if (ov->hEvent)
    sim_saved.ResetEvent(ov->hEvent);
  sim_changed.notify_all();  // the caller marks it pending before it unlocks
  return ov;
}

// What the caller of a request gets: TRUE with the count when it ended at once,
// FALSE with ERROR_IO_PENDING while it runs, or, for a caller that gave no
// OVERLAPPED (`waits`), the outcome after waiting for it.
BOOL request_result(std::unique_lock<std::mutex> &lock, OVERLAPPED *ov, bool waits, DWORD *count) {
  if (waits)
    sim_changed.wait(lock, [ov] { return ov->Internal != SIM_STATUS_PENDING; });
  if (ov->Internal == SIM_STATUS_PENDING)
    return sim_fail_with(ERROR_IO_PENDING);
  if (count)
    *count = static_cast<DWORD>(ov->InternalHigh);
  if (ov->Internal != 0)
    return sim_fail_with(static_cast<DWORD>(ov->Internal));
  return TRUE;
}

bool returns_at_once(const COMMTIMEOUTS &t) {
  return t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
         t.ReadTotalTimeoutConstant == 0;
}

// --- The overlapped entries --------------------------------------------------------

BOOL WINAPI sim_ReadFile(HANDLE h, LPVOID buf, DWORD len, LPDWORD got, LPOVERLAPPED ov) {
  if (got)
    *got = 0;
  SIM_ENTER(h, SIM_READ_FILE, ReadFile(h, buf, len, got, ov));
  if (dev->read_mode == SIM_IO_FAIL)
    return sim_fail_with(dev->read_error);
  OVERLAPPED own{}, *o;
  SimRequest &r = dev->read;
  if (!(o = request_begin(dev, r, ov, &own)))
    return sim_fail_with(ERROR_INVALID_PARAMETER);
  r.read_buf = static_cast<uint8_t *>(buf);
  r.len = len;
  if (dev->read_mode == SIM_IO_PENDING) {
    r.pending = true;
  } else if (returns_at_once(dev->timeouts) || dev->input.size() >= len) {
    sim_request_end(r, 0, take_input(dev, r.read_buf, len));
  } else {
    r.pending = true;
    r.until_full = true;
  }
  return request_result(lock, o, ov == nullptr, got);
}

BOOL WINAPI sim_WriteFile(HANDLE h, LPCVOID buf, DWORD len, LPDWORD put, LPOVERLAPPED ov) {
  if (put)
    *put = 0;
  SIM_LOOKUP(h, SIM_WRITE_FILE, WriteFile(h, buf, len, put, ov));
  dev->write_sizes.push_back(len);  // failed writes are recorded too
  if (dev->fail[SIM_WRITE_FILE] != 0)
    return sim_fail_with(dev->fail[SIM_WRITE_FILE]);
  if (dev->write_mode == SIM_IO_FAIL)
    return sim_fail_with(dev->write_error);
  OVERLAPPED own{}, *o;
  SimRequest &r = dev->write;
  if (!(o = request_begin(dev, r, ov, &own)))
    return sim_fail_with(ERROR_INVALID_PARAMETER);
  const uint8_t *bytes = static_cast<const uint8_t *>(buf);
  r.write_data.assign(bytes, bytes + len);
  r.len = len;
  r.pending = true;
  if (dev->write_mode == SIM_IO_AT_ONCE)
    sim_complete_write_locked(dev, len);
  return request_result(lock, o, ov == nullptr, put);
}

BOOL WINAPI sim_WaitCommEvent(HANDLE h, LPDWORD events, LPOVERLAPPED ov) {
  SIM_ENTER(h, SIM_WAIT_COMM_EVENT, WaitCommEvent(h, events, ov));
  if (!events || dev->mask == 0)  // the driver refuses a wait that nothing can end
    return sim_fail_with(ERROR_INVALID_PARAMETER);
  OVERLAPPED own{}, *o;
  SimRequest &r = dev->wait;
  if (!(o = request_begin(dev, r, ov, &own)))
    return sim_fail_with(ERROR_INVALID_PARAMETER);
  r.events = events;
  r.pending = true;
  if (dev->kept_events != 0)
    sim_raise_locked(dev, dev->kept_events);
  return request_result(lock, o, ov == nullptr, nullptr);
}

BOOL WINAPI sim_GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD count, BOOL wait) {
  SIM_ENTER(h, SIM_GET_OVERLAPPED_RESULT, GetOverlappedResult(h, ov, count, wait));
  if (!ov)
    return sim_fail_with(ERROR_INVALID_PARAMETER);
  if (ov->Internal == SIM_STATUS_PENDING && !wait)
    return sim_fail_with(ERROR_IO_INCOMPLETE);
  return request_result(lock, ov, true, count);
}

// --- Calls that end requests -------------------------------------------------------

BOOL WINAPI sim_SetCommMask(HANDLE h, DWORD mask) {
  SIM_ENTER(h, SIM_SET_COMM_MASK, SetCommMask(h, mask));
  dev->mask = mask;
  dev->kept_events = 0;
  if (dev->wait.pending)  // a mask change ends the wait with no events
    end_wait(dev, 0, 0);
  return TRUE;
}

BOOL WINAPI sim_PurgeComm(HANDLE h, DWORD flags) {
  SIM_ENTER(h, SIM_PURGE_COMM, PurgeComm(h, flags));
  dev->purges.push_back(flags);
  if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
    return sim_fail_with(ERROR_INVALID_PARAMETER);
  if ((flags & PURGE_TXABORT) && dev->write.pending)
    sim_request_end(dev->write, ERROR_OPERATION_ABORTED, 0);
  if ((flags & PURGE_RXABORT) && dev->read.pending)
    sim_request_end(dev->read, ERROR_OPERATION_ABORTED, 0);
  if (flags & PURGE_RXCLEAR)
    dev->input.clear();
  return TRUE;
}

BOOL WINAPI sim_CancelIo(HANDLE h) {
  SIM_ENTER(h, SIM_CANCEL_IO, CancelIo(h));
  sim_end_all_requests(dev, ERROR_OPERATION_ABORTED);
  return TRUE;
}

}  // namespace

void sim_fill_io_entries(Win32Calls &t) {
#define SIM_FILL(name) t.name = sim_##name;
  SIM_FILL(ReadFile) SIM_FILL(WriteFile) SIM_FILL(WaitCommEvent) SIM_FILL(GetOverlappedResult)
  SIM_FILL(SetCommMask) SIM_FILL(PurgeComm) SIM_FILL(CancelIo)
#undef SIM_FILL
}
