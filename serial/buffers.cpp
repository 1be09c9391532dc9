// Buffer sizing, queue counts and flushing: the driver's queues and the library's
// rings sized together, pending counts and capacities of both stages, and the
// discarding of what is queued in one direction.
#include "port_table.h"

#include <stdlib.h>

#define RX_DEFAULT_REQUEST 4096u
#define RX_SMALLEST_RING 4096u
#define TX_SMALLEST_RING 2048u
#define RX_RING_DIVISOR 3u
#define FLUSH_ACK_WAIT_MS 5000u

void *(*sio_ring_alloc)(size_t size) = malloc;

// The writer hands a device write the ring's storage itself; a write reads it until
// it ends (an overlapped write, slowly), so storage it uses is retired, not freed.
bool SioRingReallocate(RingQueue *ring, uint32_t size) {
  SioLockRing(ring);
  uint8_t *old = ring->data.exchange(nullptr);
  if (old != nullptr && old == ring->in_write) {
    ring->retired = old;
  } else {
    free(old);
  }
  uint8_t *data = size ? static_cast<uint8_t *>(sio_ring_alloc(size)) : nullptr;
  ring->data.store(data);
  ring->size.store(data ? size : 0);
  RingReset(ring);
  SioUnlockRing(ring);
  return data != nullptr || size == 0;
}

bool SioRingWriteEnded(RingQueue *ring, const uint8_t *storage) {
  ring->in_write = nullptr;
  free(ring->retired);
  ring->retired = nullptr;
  return ring->data.load() == storage;
}

void SioRingRelease(RingQueue *ring) {
  SioLockRing(ring);
  SioRingWriteEnded(ring, nullptr);
  SioUnlockRing(ring);
  SioRingReallocate(ring, 0);
}

uint32_t SioGetDriverQueueCount(uint8_t port, uint8_t direction) {
  if (!SioIsOpen(port)) return 0;
  DWORD errors = 0;
  COMSTAT stat = {};
  if (!win32.ClearCommError(table().ports[port].handle.load(), &errors, &stat)) return 0;
  SioRecordLineErrors(port, errors, &stat);
  return direction == 0 ? stat.cbInQue : stat.cbOutQue;
}

uint32_t SioGetPendingCount(uint8_t port, uint8_t direction) {
  uint32_t driver = SioGetDriverQueueCount(port, direction);
  if (!SioPortInTable(port)) return driver;
  PortTable &t = table();
  if (direction == 0) {
    uint32_t pending = driver + t.rx_rings[port].count.load();
    if (driver != 0) SioFillRxRing(port);
    return pending;
  }
  // The bytes of the device write in progress are in the ring and already in the
  // driver's count: count them once.
  uint32_t queued = t.tx_rings[port].count.load();
  uint32_t in_flight = t.tx_in_flight[port].load();
  return driver + (queued > in_flight ? queued - in_flight : 0);
}

uint32_t SioPendingCount(uint8_t port, uint8_t direction) {
  return SioGetPendingCount(port, direction);
}

uint32_t SioClampQueueSize(uint8_t port, uint32_t size, uint8_t direction) {
  uint32_t most = SioGetMaxQueue(port, direction);
  if (most != 0 && most < size) size = most;
  return size & ~1u;
}

// Receive ring size for a request and the driver's current receive queue.
static uint32_t SioRxRingSize(uint32_t request, uint32_t driver) {
  uint64_t size;
  if (driver < request) {
    size = uint64_t(request) - driver + RX_SMALLEST_RING;
    if (size > request) size = request;
    if (size < RX_SMALLEST_RING) size = RX_SMALLEST_RING;
  } else {
    size = driver / RX_RING_DIVISOR;
    if (size < RX_SMALLEST_RING) size = RX_SMALLEST_RING;
  }
  return static_cast<uint32_t>(size);
}

// Transmit ring size for a request and the driver's current transmit queue.
static uint32_t SioTxRingSize(uint32_t request, uint32_t driver) {
  if (driver >= request) return driver;
  uint64_t size = uint64_t(request) - driver + TX_SMALLEST_RING;
  if (size > request) size = request;
  if (size < TX_SMALLEST_RING) size = TX_SMALLEST_RING;
  return static_cast<uint32_t>(size);
}

// The rings are rebuilt under their own locks, so no fill or drain can be using the
// storage while it is replaced.
void SioAllocBuffers(uint8_t port, uint32_t rx_size, uint32_t tx_size) {
  PortTable &t = table();
  if (rx_size == 0) rx_size = RX_DEFAULT_REQUEST;
  uint32_t tx_queue = SioClampQueueSize(port, tx_size, 1);
  uint32_t rx_queue = SioClampQueueSize(port, rx_size, 0);
  win32.SetupComm(t.ports[port].handle.load(), rx_queue, tx_queue);
  RingQueue &rx = t.rx_rings[port];
  RingQueue &tx = t.tx_rings[port];
  rx.driver_queue.store(SioGetCurrentQueue(port, 0));
  tx.driver_queue.store(SioGetCurrentQueue(port, 1));
  if (!SioRingReallocate(&rx, SioRxRingSize(rx_size, rx.driver_queue.load())))
    t.ports[port].last_error.store(SIO_ERR_RING_ALLOC);
  if (!SioRingReallocate(&tx, SioTxRingSize(tx_size, tx.driver_queue.load())))
    t.ports[port].last_error.store(SIO_ERR_RING_ALLOC);
  SioUpdateXonXoffLimits(port);
}

// The rings are rebuilt under their own locks inside SioAllocBuffers; the port lock
// is not held around that, since a port lock is never held together with a ring
// lock.
void SioSetBufferSizes(uint8_t port, uint32_t rx_size, uint32_t tx_size) {
  if (!SioIsOpen(port)) return;
  SioFlush(port, 0);
  SioFlush(port, 1);
  SioAllocBuffers(port, rx_size, tx_size);
}

uint32_t SioGetQueueCapacity(uint8_t port, uint8_t direction) {
  if (!SioIsOpen(port)) return 0;
  PortTable &t = table();
  uint32_t driver = SioGetCurrentQueue(port, direction);
  RingQueue &ring = direction == 0 ? t.rx_rings[port] : t.tx_rings[port];
  return driver + ring.size.load();
}

uint8_t SioQueueFull(uint8_t port, uint8_t direction) {
  if (!SioIsOpen(port)) return 1;
  uint32_t pending = SioPendingCount(port, direction);
  uint32_t capacity = SioGetQueueCapacity(port, direction);
  return pending >= capacity ? 1 : 0;
}

static void SioFlushReceive(uint8_t port) {
  PortTable &t = table();
  PortRecord &p = t.ports[port];
  uint8_t flow = p.flow_flags.load();
  win32.PurgeComm(p.handle.load(), PURGE_RXABORT | PURGE_RXCLEAR);
  RingQueue &rx = t.rx_rings[port];
  SioLockRing(&rx);
  RingReset(&rx);
  SioUnlockRing(&rx);
  if ((flow & 0x80) && SioTxNotHeld(port) == 0) SioSendXon(port);
  p.tx_not_held.store(1);
  if (SioGetPendingCount(port, 1) > 0) SioClearBreak(port);
}

// The writer answers wake_event with started_event once it has left any device
// write, so the ring can then be reset under its lock.
static void SioFlushTransmit(uint8_t port) {
  PortTable &t = table();
  ThreadRecord &w = t.writer_threads[port];
  if (w.thread.load() == nullptr) return;
  win32.SetEvent(w.wake_event);
  win32.WaitForSingleObject(w.started_event, FLUSH_ACK_WAIT_MS);
  RingQueue &tx = t.tx_rings[port];
  SioLockRing(&tx);
  RingReset(&tx);
  win32.PurgeComm(t.ports[port].handle.load(), PURGE_TXABORT | PURGE_TXCLEAR);
  t.tx_in_flight[port].store(0);
  SioUnlockRing(&tx);
}

void SioFlush(uint8_t port, uint8_t direction) {
  if (!SioIsOpen(port)) return;
  if (direction == 0) SioFlushReceive(port);
  else if (direction == 1) SioFlushTransmit(port);
}
