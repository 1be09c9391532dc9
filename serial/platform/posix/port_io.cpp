// Reading and writing: the input queue, overlapped ReadFile and WriteFile with their
// time-outs, GetOverlappedResult, CancelIo and PurgeComm.
#include <errno.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>

#include "port.h"
#include "syscalls.h"

namespace posix {

namespace {

// Marks a request pending; Windows resets the request's event when it starts.
void start_request(OVERLAPPED *ov) {
  if (ov->hEvent != nullptr) ResetEvent(ov->hEvent);
  ov->Internal = kPending;
  ov->InternalHigh = 0;
}

// The result of a call whose request may be pending: with the caller's OVERLAPPED
// the pending state is reported; without one (a synchronous call) it is waited for.
BOOL finish_call(Port *p, std::unique_lock<std::mutex> &hold, OVERLAPPED *ov, bool caller_ov, LPDWORD count) {
  if (ov->Internal == kPending && caller_ov) {
    if (count != nullptr) *count = 0;
    set_error(ERROR_IO_PENDING);
    return FALSE;
  }
  DWORD error = wait_request(p, hold, ov);
  if (count != nullptr) *count = static_cast<DWORD>(ov->InternalHigh);
  if (error != 0) set_error(error);
  return error == 0;
}

// When a read of len bytes ends at the latest under the port's time-outs.
void read_deadlines(Port *p, DWORD len) {
  const COMMTIMEOUTS &t = p->timeouts;
  int64_t now = now_ms();
  p->rd.any_byte_ends = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD;
  uint64_t total = p->rd.any_byte_ends
                       ? t.ReadTotalTimeoutConstant
                       : static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * len + t.ReadTotalTimeoutConstant;
  p->rd.total_deadline = total != 0 ? now + static_cast<int64_t>(total) : 0;
  p->rd.interval = (t.ReadIntervalTimeout != MAXDWORD) ? t.ReadIntervalTimeout : 0;
  p->rd.interval_deadline = (p->rd.got > 0 && p->rd.interval != 0) ? now + p->rd.interval : 0;
}

// Whether a read that found `got` of `len` bytes ends without waiting.
bool read_ends_at_once(const Port *p, DWORD got, DWORD len) {
  const COMMTIMEOUTS &t = p->timeouts;
  if (got == len || p->hung_up) return true;
  if (t.ReadIntervalTimeout != MAXDWORD) return false;
  if (t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) return true;
  return got > 0 && t.ReadTotalTimeoutMultiplier == MAXDWORD;
}

BOOL read_locked(Port *p, std::unique_lock<std::mutex> &hold, uint8_t *buf, DWORD len, LPDWORD got,
                 OVERLAPPED *ov, bool caller_ov) {
  if (p->rd.ov != nullptr) {  // one read at a time
    set_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  bool was_full = rx_room(p) == 0;
  DWORD n = static_cast<DWORD>(rx_take(p, buf, len));
  // Bytes the driver holds and the I/O thread has not moved yet: ClearCommError
  // counts them in cbInQue, so a read gets them too.
  for (DWORD more = 1; n < len && more > 0 && !p->hung_up; n += more) {
    pull_input(p);
    more = static_cast<DWORD>(rx_take(p, buf + n, len - n));
  }
  if (was_full && n > 0) input_room_made(p);
  if (n == 0 && len > 0 && p->hung_up) {
    set_error(kHungUpError);
    return FALSE;
  }
  start_request(ov);
  if (read_ends_at_once(p, n, len)) {
    complete(p, ov, 0, n);
  } else {
    p->rd = ReadRequest{ov, buf, len, n, false, 0, 0, 0};
    read_deadlines(p, len);
    if (p->rd.total_deadline != 0 || p->rd.interval_deadline != 0) {
      port_poke(p);
    } else {
      need_input_poller(p);
    }
  }
  return finish_call(p, hold, ov, caller_ov, got);
}

BOOL write_locked(Port *p, std::unique_lock<std::mutex> &hold, const uint8_t *buf, DWORD len, LPDWORD put,
                  OVERLAPPED *ov, bool caller_ov) {
  if (p->wr.ov != nullptr) {  // one write at a time
    set_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  start_request(ov);
  ssize_t n = 0;
  if (len > 0 && !p->hung_up && p->tx_char < 0) {  // a waiting TransmitCommChar byte goes first
    n = sys.write(p->fd, buf, len);
    if (n < 0 && errno != EAGAIN && errno != EINTR) hang_up(p);
    if (n < 0) n = 0;
  }
  if (n > 0) p->tx_dirty = true;
  if (static_cast<DWORD>(n) == len) {
    complete(p, ov, 0, len);
    check_drained(p);
    if (p->drain_check != 0) port_poke(p);
  } else {
    // The rest goes out from the I/O thread. After a hang-up it stays pending until
    // PurgeComm, CancelIo or CloseHandle ends it, so that a caller retrying at once
    // blocks instead of spinning.
    p->wr.ov = ov;
    p->wr.data.assign(buf + n, buf + len);
    p->wr.done = 0;
    p->wr.written_before = static_cast<DWORD>(n);
    uint64_t total = static_cast<uint64_t>(p->timeouts.WriteTotalTimeoutMultiplier) * len +
                     p->timeouts.WriteTotalTimeoutConstant;
    p->wr.deadline = total != 0 ? now_ms() + static_cast<int64_t>(total) : 0;
    port_poke(p);
  }
  return finish_call(p, hold, ov, caller_ov, put);
}

}  // namespace

DWORD wait_request(Port *p, std::unique_lock<std::mutex> &hold, OVERLAPPED *ov) {
  if (ov->Internal == kPending && ov == p->wt.ov) inline_wait(p, hold, ov);
  if (ov->Internal == kPending) {
    p->awaited.push_back(ov);
    while (ov->Internal == kPending) p->changed.wait(hold);
    p->awaited.erase(std::find(p->awaited.begin(), p->awaited.end(), ov));
  }
  return static_cast<DWORD>(ov->Internal);
}

void complete(Port *p, OVERLAPPED *ov, DWORD error, DWORD count) {
  ov->InternalHigh = count;
  ov->Internal = error;
  if (ov->hEvent != nullptr) SetEvent(ov->hEvent);
  inline_wake(p, ov);
  if (std::find(p->awaited.begin(), p->awaited.end(), ov) == p->awaited.end()) return;
  if (p->defer_notify) {
    p->notify_due = true;
  } else {
    p->changed.notify_all();
  }
}

void abort_requests(Port *p, DWORD kinds, DWORD error) {
  if ((kinds & PURGE_TXABORT) && p->wr.ov != nullptr) {
    OVERLAPPED *ov = p->wr.ov;
    p->wr.ov = nullptr;
    p->wr.data.clear();
    complete(p, ov, error, p->wr.written_before + static_cast<DWORD>(p->wr.done));
  }
  if ((kinds & PURGE_RXABORT) && p->rd.ov != nullptr) {
    OVERLAPPED *ov = p->rd.ov;
    p->rd.ov = nullptr;
    complete(p, ov, error, p->rd.got);
  }
  if ((kinds & kAbortWait) && p->wt.ov != nullptr) {
    OVERLAPPED *ov = p->wt.ov;
    p->wt.ov = nullptr;
    *p->wt.word = 0;
    complete(p, ov, error, 0);
  }
}

void hang_up(Port *p) {
  if (p->hung_up) return;
  p->hung_up = true;
  p->tx_char = -1;
  p->drain_check = 0;
  abort_requests(p, PURGE_TXABORT | PURGE_RXABORT | kAbortWait, kHungUpError);
}

size_t rx_room(const Port *p) { return p->rx.size() - p->rx_count; }

void rx_put(Port *p, const uint8_t *data, size_t n) {
  size_t size = p->rx.size();
  size_t tail = (p->rx_head + p->rx_count) % size;
  for (size_t i = 0; i < n; i++) {
    p->rx[tail] = data[i];
    tail = tail + 1 == size ? 0 : tail + 1;
  }
  p->rx_count += n;
}

size_t rx_take(Port *p, uint8_t *out, size_t n) {
  if (n > p->rx_count) n = p->rx_count;
  size_t size = p->rx.size();
  for (size_t i = 0; i < n; i++) {
    out[i] = p->rx[p->rx_head];
    p->rx_head = p->rx_head + 1 == size ? 0 : p->rx_head + 1;
  }
  p->rx_count -= n;
  if (p->rx_count == 0) p->rx_head = 0;
  return n;
}

void rx_resize(Port *p, size_t size) {
  if (size < p->rx_count) size = p->rx_count;
  std::vector<uint8_t> bigger(size, 0);
  size_t n = p->rx_count;
  rx_take(p, bigger.data(), n);
  p->rx.swap(bigger);
  p->rx_size.store(static_cast<DWORD>(size), std::memory_order_relaxed);
  p->rx_head = 0;
  p->rx_count = n;
}

void rx_clear(Port *p) {
  p->rx_head = 0;
  p->rx_count = 0;
}

// ReadFile and WriteFile: the request runs under the port's lock, on the caller's
// OVERLAPPED or, for a call without one, on a local record it waits on.
template <typename Byte>
static BOOL port_transfer(HANDLE h, Byte *buf, DWORD len, LPDWORD count, LPOVERLAPPED ov,
                          BOOL (*locked)(Port *, std::unique_lock<std::mutex> &, Byte *, DWORD,
                                         LPDWORD, OVERLAPPED *, bool)) {
  if (buf == nullptr && len > 0) {
    set_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Port *p = port_acquire(h);
  if (p == nullptr) return FALSE;
  OVERLAPPED local;
  memset(&local, 0, sizeof local);
  BOOL ok;
  {
    std::unique_lock<std::mutex> hold(p->lock);
    ok = locked(p, hold, buf, len, count, ov ? ov : &local, ov != nullptr);
  }
  port_release(p);
  return ok;
}

BOOL WINAPI ReadFile(HANDLE h, LPVOID buf, DWORD len, LPDWORD got, LPOVERLAPPED ov) {
  return port_transfer(h, static_cast<uint8_t *>(buf), len, got, ov, read_locked);
}

BOOL WINAPI WriteFile(HANDLE h, LPCVOID buf, DWORD len, LPDWORD put, LPOVERLAPPED ov) {
  return port_transfer(h, static_cast<const uint8_t *>(buf), len, put, ov, write_locked);
}

BOOL WINAPI GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD count, BOOL wait) {
  if (ov == nullptr) {
    set_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Port *p = port_acquire(h);
  if (p == nullptr) return FALSE;
  BOOL ok = FALSE;
  if (wait) suspend_point();
  {
    std::unique_lock<std::mutex> hold(p->lock);
    if (ov->Internal == kPending && !wait) {
      set_error(ERROR_IO_INCOMPLETE);
    } else {
      DWORD error = wait_request(p, hold, ov);
      if (count != nullptr) *count = static_cast<DWORD>(ov->InternalHigh);
      if (error != 0) set_error(error);
      ok = error == 0;
    }
  }
  port_release(p);
  if (wait) suspend_point();
  return ok;
}

// Ends every pending request of the port, whichever thread made it.
BOOL WINAPI CancelIo(HANDLE h) {
  return with_port_locked(h, [](Port *p) {
    abort_requests(p, PURGE_TXABORT | PURGE_RXABORT | kAbortWait, ERROR_OPERATION_ABORTED);
    port_poke(p);
    return true;
  });
}

// TXABORT ends a pending write (nothing more of it goes out), RXABORT a pending read;
// TXCLEAR drops the driver's output, RXCLEAR the input queue and the driver's input.
BOOL WINAPI PurgeComm(HANDLE h, DWORD flags) {
  if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
    set_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return with_port_locked(h, [&](Port *p) {
    abort_requests(p, flags & (PURGE_TXABORT | PURGE_RXABORT), ERROR_OPERATION_ABORTED);
    if ((flags & PURGE_TXCLEAR) && !p->hung_up) {
      sys.tcflush(p->fd, TCOFLUSH);
      p->tx_dirty = false;
      p->drain_check = 0;
    }
    if (flags & PURGE_RXCLEAR) {
      if (rx_room(p) == 0) input_room_made(p);
      rx_clear(p);
      if (!p->hung_up) sys.tcflush(p->fd, TCIFLUSH);
    }
    port_poke(p);
    return true;
  });
}

}  // namespace posix
