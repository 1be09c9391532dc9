// The transmit side seen from the application: queueing bytes into the transmit ring,
// characters sent ahead of the queue, and one overlapped device write of the writer.
#include <stddef.h>

#include "port_table.h"

// Whether the port's transmit ring can be used at all: the library exists, the index
// is in range and the ring has storage (a closed port's ring has none, and its lock
// may not exist).
static bool tx_ring_usable(uint8_t port) {
  if (port >= SIO_PORT_COUNT || port_table.load(std::memory_order_acquire) == nullptr) return false;
  return table().tx_rings[port].size.load(std::memory_order_relaxed) != 0;
}

// Copies up to `length` bytes into the ring's free space; the producer side of the
// ring. Wakes the writer when the ring was empty or had no room (see below).
uint32_t SioTxRingWrite(uint8_t port, const uint8_t *bytes, uint32_t length) {
  if (!tx_ring_usable(port)) return 0;
  PortTable &t = table();
  RingQueue &ring = t.tx_rings[port];

  SioLockRing(&ring);
  uint32_t size = ring.size.load(std::memory_order_relaxed);
  uint32_t count = ring.count.load(std::memory_order_relaxed);
  uint8_t *data = ring.data.load(std::memory_order_relaxed);
  uint32_t n = (data == nullptr || count >= size) ? 0 : size - count;
  if (length < n) n = length;
  uint32_t pos = ring.write_pos.load(std::memory_order_relaxed);
  for (uint32_t i = 0; i < n; i++) {
    data[pos] = bytes[i];
    if (++pos == size) pos = 0;
  }
  ring.write_pos.store(pos, std::memory_order_relaxed);
  ring.count.store(count + n, std::memory_order_relaxed);
  SioUnlockRing(&ring);

  // The writer drains until it finds the ring empty under this lock, so it needs a
  // signal only when the ring was empty (it may be idle); a full ring wakes it all the
  // same. Signalling for every byte put into a ring the writer is already draining
  // cost an event's look-up and lock for each byte and halved SioPutByte's rate.
  HANDLE data_event = t.writer_threads[port].data_event;
  if (data_event != nullptr && (count == 0 || n == 0)) win32.SetEvent(data_event);
  return n;
}

uint8_t SioPutByte(uint8_t port, uint8_t byte) {
  return SioTxRingWrite(port, &byte, 1) == 1 ? 1 : 0;
}

// SioPutByte for a byte that should leave at once (a typed key, a protocol answer):
// when nothing waits before it (the ring and the driver's queue are empty) and no
// handshake can hold the line, the calling thread hands it to the device itself,
// sparing the hand-over to the writer thread; otherwise it is queued as usual. The
// ring's lock is held throughout, so a byte another thread queues meanwhile goes out
// after it. 1 when the byte was sent or queued.
uint8_t SioPutByteAtOnce(uint8_t port, uint8_t byte) {
  if (!tx_ring_usable(port) || !SioIsOpen(port)) return 0;
  PortTable &t = table();
  RingQueue &ring = t.tx_rings[port];
  SioLockRing(&ring);
  bool sent = ring.count.load(std::memory_order_relaxed) == 0 && t.ports[port].flow_flags.load() == 0 &&
              SioGetDriverQueueCount(port, 1) == 0 && SioTransmitImmediate(port, byte);
  uint8_t result = sent ? 1 : SioPutByte(port, byte);  // the lock is re-entrant
  SioUnlockRing(&ring);
  return result;
}

// Sends one character ahead of everything queued in the driver; it never enters the ring.
bool SioTransmitImmediate(uint8_t port, uint8_t character) {
  if (!SioIsOpen(port)) return false;
  HANDLE handle = table().ports[port].handle.load(std::memory_order_relaxed);
  return win32.TransmitCommChar(handle, static_cast<char>(character)) != FALSE;
}

bool SioTransmitChar(uint8_t port, uint8_t character) {
  return SioTransmitImmediate(port, character);
}

// Sends the XonChar of the port's current DCB (not a fixed 0x11).
void SioSendXon(uint8_t port) {
  uint8_t xon = static_cast<uint8_t>(SioGetXonXoffChars(port) & 0xFF);
  SioTransmitChar(port, xon);
}

// One device write with the port's write request record. The status tells how it
// ended: 0 completed, 1 abandoned to a flush or stop (wake_event), WAIT_TIMEOUT when
// WriteFile failed to start, anything else the failed wait's result.
uint32_t SioOverlappedWrite(uint8_t port, const uint8_t *bytes, uint32_t length, uint32_t *status) {
  PortTable &t = table();
  HANDLE handle = t.ports[port].handle.load(std::memory_order_relaxed);
  OVERLAPPED *request = &t.write_overlapped[port];
  DWORD written = 0;

  *status = WAIT_TIMEOUT;
  if (win32.WriteFile(handle, bytes, length, &written, request)) {
    *status = 0;
    return written;
  }
  if (win32.GetLastError() != ERROR_IO_PENDING) return written;

  HANDLE waits[2] = {request->hEvent, t.writer_threads[port].wake_event};
  DWORD result = win32.WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  *status = result;
  if (result == WAIT_OBJECT_0) {
    if (win32.GetOverlappedResult(handle, request, &written, FALSE)) win32.ResetEvent(request->hEvent);
    return written;
  }
  return 0;
}
