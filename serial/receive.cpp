// Receive ring and overlapped reads: bytes move from the driver into the port's
// receive ring on demand, the 80 percent backlog test follows every fill, and the
// application takes the bytes one at a time or in blocks.
#include <string.h>

#include "port_table.h"

#define READ_WAIT_MS 30000u
#define BACKLOG_FACTOR 0.8

void SioCreateReadEvents(uint8_t port) {
  ReaderEvents &r = table().reader_events[port];
  if (r.cancel_event == nullptr) r.cancel_event = win32.CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

void SioCloseReadEvents(uint8_t port) {
  ReaderEvents &r = table().reader_events[port];
  if (r.cancel_event == nullptr) return;
  SioFlush(port, 0);
  win32.CloseHandle(r.cancel_event);
  r.cancel_event = nullptr;
}

// A request whose wait ended without it is cancelled and waited for, so that it can
// neither write into the ring later nor be pending when read_overlapped is used
// again. Returns the bytes it delivered before it ended.
static uint32_t SioEndPendingRead(HANDLE handle, OVERLAPPED *ov) {
  win32.CancelIo(handle);
  DWORD got = 0;
  if (!win32.GetOverlappedResult(handle, ov, &got, TRUE)) got = 0;
  win32.ResetEvent(ov->hEvent);
  return got;
}

// Waits for a pending read. Returns the wait's result; `got` is what the request
// delivered (after a cancel too), and `finished` says whether the result counts.
static DWORD SioWaitRead(uint8_t port, DWORD *got, bool *finished) {
  PortTable &t = table();
  HANDLE handle = t.ports[port].handle.load();
  OVERLAPPED *ov = &t.read_overlapped[port];
  HANDLE waits[2] = {ov->hEvent, t.reader_events[port].cancel_event};
  DWORD count = waits[1] != nullptr ? 2 : 1;
  DWORD result = win32.WaitForMultipleObjects(count, waits, FALSE, READ_WAIT_MS);
  *got = 0;
  *finished = false;
  if (result == WAIT_OBJECT_0) {
    *finished = win32.GetOverlappedResult(handle, ov, got, FALSE) != 0;
    win32.ResetEvent(ov->hEvent);
  } else {
    *got = SioEndPendingRead(handle, ov);
  }
  return result;
}

// The read requests of SioOverlappedRead; `failed` tells a device that refused a
// request (status 1 from a failed ReadFile) from a read the library gave up (a stop,
// the cancel event), which share that status.
static uint32_t SioReadRequests(uint8_t port, uint8_t *destination, uint32_t length, uint32_t *status,
                                bool *failed) {
  PortTable &t = table();
  HANDLE handle = t.ports[port].handle.load();
  uint32_t total = 0;
  *status = 1;
  *failed = false;
  while (length > 0 && t.writer_threads[port].stop.load() == 0) {
    *status = 1;
    DWORD got = 0;
    if (win32.ReadFile(handle, destination + total, length, &got, &t.read_overlapped[port])) {
      *status = 0;
      if (got == 0) return total;
      length -= got;
      total += got;
      continue;
    }
    if (win32.GetLastError() != ERROR_IO_PENDING) {
      *failed = true;
      return total;
    }
    bool finished = false;
    *status = SioWaitRead(port, &got, &finished);
    if (*status == WAIT_OBJECT_0) {
      if (!finished) continue;  // a new request
      length -= got;
      total += got;
      if (got == 0) return total;
    } else if (*status == WAIT_TIMEOUT) {
      return total + got;  // what the cancelled request still delivered is kept
    } else {
      return 0;
    }
  }
  return total;
}

uint32_t SioOverlappedRead(uint8_t port, uint8_t *destination, uint32_t length, uint32_t *status) {
  bool failed = false;
  return SioReadRequests(port, destination, length, status, &failed);
}

// The contiguous free span from write_pos (ring lock held).
static uint32_t SioFreeSpan(const RingQueue &ring) {
  uint32_t size = ring.size.load();
  uint32_t write_pos = ring.write_pos.load();
  if (write_pos > ring.read_pos.load()) return size - write_pos;
  return size - ring.count.load();
}

// One read into the ring's free span (ring lock held). True when the device failed it.
static bool SioFillLocked(uint8_t port, RingQueue &ring) {
  if (ring.count.load() >= ring.size.load()) return false;  // full, or emptied of storage
  if (ring.count.load() == 0) RingReset(&ring);
  uint32_t waiting = SioGetDriverQueueCount(port, 0);
  if (waiting == 0) return false;
  uint32_t span = SioFreeSpan(ring);
  uint32_t want = waiting < span ? waiting : span;
  uint32_t write_pos = ring.write_pos.load();
  uint32_t status = 0;
  bool failed = false;
  uint32_t got = SioReadRequests(port, ring.data.load() + write_pos, want, &status, &failed);
  if (status == 1 && !failed) {
    RingReset(&ring);  // a read given up (stop, cancel): everything held is discarded
    return false;
  }
  // A device that failed a read (hung up, unplugged) keeps what it delivered before.
  write_pos += got;
  if (write_pos >= ring.size.load()) write_pos = 0;
  ring.write_pos.store(write_pos);
  ring.count.fetch_add(got);
  return failed;
}

// Set while this thread's handler runs for EV_RX80FULL. A handler that takes bytes
// then fills the ring again (SioPendingCount, SioGetByte), and that fill's own test
// would call it again from inside itself, deeper at every byte while the backlog
// stays high, until the stack runs out: the nested report is left out (the handler
// is busy taking the bytes anyway).
static thread_local bool reporting_backlog = false;

// Delivers EV_RX80FULL when ring and driver together hold 80 percent of the receive
// capacity and the mask asks for it.
static void SioTestBacklog(uint8_t port) {
  PortTable &t = table();
  if (reporting_backlog || !(t.event_masks[port].load() & EV_RX80FULL)) return;
  RingQueue &ring = t.rx_rings[port];
  uint32_t backlog = ring.count.load() + SioGetDriverQueueCount(port, 0);
  double capacity = double(ring.size.load()) + double(ring.driver_queue.load());
  uint32_t threshold = static_cast<uint32_t>(capacity * BACKLOG_FACTOR);
  if (backlog < threshold) return;
  reporting_backlog = true;
  SioDispatchEvents(port, EV_RX80FULL);
  reporting_backlog = false;
}

// A read the device failed leaves the bytes received before it in the ring for the
// application to take, and the port's last_error at SIO_FAILED when the fill returns.
void SioFillRxRing(uint8_t port) {
  if (!SioPortInTable(port)) return;
  RingQueue &ring = table().rx_rings[port];
  bool failed = false;
  if (ring.count.load() < ring.size.load()) {
    SioLockRing(&ring);
    failed = SioFillLocked(port, ring);
    SioUnlockRing(&ring);
  }
  SioTestBacklog(port);
  if (failed) table().ports[port].last_error.store(SIO_FAILED);
}

// The test, the copy and the update are all made under the ring's lock, so a fill
// that empties the ring on another thread, or a re-allocation, cannot come between
// them.
uint8_t SioRxTake(uint8_t port, uint8_t *out, uint8_t take) {
  if (!SioPortInTable(port)) return 0;
  RingQueue &ring = table().rx_rings[port];
  if (ring.count.load() == 0) {
    SioFillRxRing(port);
    if (ring.count.load() == 0) return 0;
  }
  SioLockRing(&ring);
  if (ring.count.load() == 0) {
    SioUnlockRing(&ring);
    return 0;
  }
  uint32_t read_pos = ring.read_pos.load();
  *out = ring.data.load()[read_pos];
  if (take == 1) {
    ring.count.fetch_sub(1);
    read_pos++;
    ring.read_pos.store(read_pos >= ring.size.load() ? 0 : read_pos);
  }
  SioUnlockRing(&ring);
  return 1;
}

// Copies up to `length` bytes (both spans of the ring) under one hold of its lock.
static uint32_t SioCopyOut(RingQueue &ring, uint8_t *out, uint32_t length) {
  uint32_t size = ring.size.load();
  uint32_t read_pos = ring.read_pos.load();
  uint32_t n = ring.count.load() < length ? ring.count.load() : length;
  const uint8_t *data = ring.data.load();
  uint32_t first = size - read_pos < n ? size - read_pos : n;
  memcpy(out, data + read_pos, first);
  memcpy(out + first, data, n - first);
  read_pos += n;
  if (read_pos >= size) read_pos -= size;
  ring.read_pos.store(read_pos);
  ring.count.fetch_sub(n);
  return n;
}

// The block form of SioGetByte: up to `length` bytes, the ring filled from the driver
// once when it is empty. A byte-at-a-time reader pays the ring's lock for every byte.
uint32_t SioGetBytes(uint8_t port, uint8_t *out, uint32_t length) {
  if (!SioPortInTable(port) || out == nullptr || length == 0) return 0;
  RingQueue &ring = table().rx_rings[port];
  if (ring.count.load() == 0) {
    SioFillRxRing(port);
    // Nothing to take; a closed port's ring (count 0) may not even have its lock.
    if (ring.count.load() == 0) return 0;
  }
  SioLockRing(&ring);
  uint32_t n = ring.data.load() != nullptr ? SioCopyOut(ring, out, length) : 0;
  SioUnlockRing(&ring);
  return n;
}

uint8_t SioRxGet(uint8_t port, uint8_t *out) { return SioRxTake(port, out, 1); }

uint8_t SioGetByte(uint8_t port, uint8_t *out) { return SioRxGet(port, out); }
