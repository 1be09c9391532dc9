// The library's state block, its lazy initialisation, the open test that nearly
// every operation begins with, the clearing of a port's records, the ring reset and
// the port and library locks.
#include "port_table.h"

#include <string.h>

// The one state block; never taken from the heap, never released.
static PortTable port_table_block;

std::atomic<PortTable *> port_table{nullptr};
std::atomic<uint32_t> is_win95{0};

static void SioReadPlatformFamily(void) {
  OSVERSIONINFOA info;
  memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = 148;  // sizeof(OSVERSIONINFOA)
  BOOL ok = win32.GetVersionExA(&info);
  is_win95.store(ok && info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS ? 1u : 0u);
}

void SioInitLibrary(void) {
  if (port_table.load(std::memory_order_acquire) != nullptr) return;
  SioReadPlatformFamily();
  // The block holds atomics and locks; all of them start as zero bytes.
  memset(static_cast<void *>(&port_table_block), 0, sizeof port_table_block);
  for (uint32_t i = 0; i < SIO_PORT_COUNT; i++) {
    port_table_block.event_masks[i].store(SIO_DEFAULT_EVENT_MASK);
    port_table_block.chunk_factor[i] = 1;
  }
  port_table.store(&port_table_block, std::memory_order_release);
  SioInitGlobalLock();
}

void SioInitGlobalLock(void) {
  PortTable &t = table();
  if (t.lock_users.load() == 0) win32.InitializeCriticalSection(&t.library_lock);
  t.lock_users.fetch_add(1);
}

bool SioIsOpen(uint8_t port) {
  if (port_table.load(std::memory_order_acquire) == nullptr) SioInitLibrary();
  PortTable &t = table();
  if (port < SIO_PORT_COUNT && t.open_ports.load() != 0) {
    if (t.ports[port].handle.load() != nullptr) {
      // A lost port stays open (so that it can be closed) and says so.
      t.ports[port].last_error.store(t.ports[port].lost.load() ? SIO_ERR_PORT_LOST : SIO_OK);
      return true;
    }
    t.ports[port].last_error.store(SIO_FAILED);
    return false;
  }
  if (port < SIO_PORT_COUNT) t.ports[port].last_error.store(SIO_FAILED);
  return false;
}

int16_t SioGetLastError(uint8_t port) {
  if (!SioPortInTable(port)) return SIO_FAILED;
  return table().ports[port].last_error.load();
}

void SioResetPortRecords(uint8_t port) {
  PortTable &t = table();
  memset(static_cast<void *>(&t.ports[port]), 0, sizeof t.ports[port]);
  memset(static_cast<void *>(&t.event_threads[port]), 0, sizeof t.event_threads[port]);
  memset(static_cast<void *>(&t.writer_threads[port]), 0, sizeof t.writer_threads[port]);
  memset(static_cast<void *>(&t.reader_events[port]), 0, sizeof t.reader_events[port]);
}

void RingReset(RingQueue *ring) {
  ring->read_pos.store(0);
  ring->write_pos.store(0);
  ring->count.store(0);
}

void SioLockPort(uint8_t port) { win32.EnterCriticalSection(&table().port_locks[port]); }

int32_t SioUnlockPort(uint8_t port) {
  win32.LeaveCriticalSection(&table().port_locks[port]);
  return 0;
}

void SioLockLibrary(void) { win32.EnterCriticalSection(&table().library_lock); }

void SioUnlockLibrary(void) { win32.LeaveCriticalSection(&table().library_lock); }

void SioLockRing(RingQueue *ring) { win32.EnterCriticalSection(&ring->lock); }

void SioUnlockRing(RingQueue *ring) { win32.LeaveCriticalSection(&ring->lock); }
