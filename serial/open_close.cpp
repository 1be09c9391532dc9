// The life of a port: opening a device into the library's standard state, closing
// it with the device's own settings given back, and saving and restoring those
// settings.
#include "port_table.h"

#include <string.h>

#define RX_QUEUE_WITHOUT_MAX 8192u
#define TX_QUEUE_WITHOUT_MAX 4096u

// Close options (the same bits are the line options of configuration).
#define CLOSE_DTR_UP 0x01u
#define CLOSE_RTS_UP 0x02u
#define CLOSE_DTR_DOWN 0x04u
#define CLOSE_RTS_DOWN 0x08u

static void SioInitPortLocks(uint8_t port) {
  PortTable &t = table();
  win32.InitializeCriticalSection(&t.port_locks[port]);
  win32.InitializeCriticalSection(&t.rx_rings[port].lock);
  win32.InitializeCriticalSection(&t.tx_rings[port].lock);
}

static void SioDeletePortLocks(uint8_t port) {
  PortTable &t = table();
  win32.DeleteCriticalSection(&t.port_locks[port]);
  win32.DeleteCriticalSection(&t.rx_rings[port].lock);
  win32.DeleteCriticalSection(&t.tx_rings[port].lock);
}

// The standard DCB: framing characters and error handling as the library wants them,
// every other field as the device has it.
static void SioApplyStandardDcb(uint8_t port) {
  DCB dcb;
  SioGetDcb(port, &dcb);
  dcb.fParity = 1;
  dcb.fErrorChar = 0;
  dcb.fNull = 0;
  dcb.EvtChar = 0;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  SioSetDcb(port, &dcb);
}

// Reads return at once with what the driver holds; writes have no time limit.
static void SioApplyStandardTimeouts(uint8_t port) {
  COMMTIMEOUTS timeouts;
  memset(&timeouts, 0, sizeof timeouts);
  timeouts.ReadIntervalTimeout = MAXDWORD;
  win32.SetCommTimeouts(table().ports[port].handle.load(), &timeouts);
}

static void SioCreateRequestEvents(uint8_t port) {
  PortTable &t = table();
  memset(&t.read_overlapped[port], 0, sizeof(OVERLAPPED));
  memset(&t.write_overlapped[port], 0, sizeof(OVERLAPPED));
  t.read_overlapped[port].hEvent = win32.CreateEventA(nullptr, TRUE, FALSE, nullptr);
  t.write_overlapped[port].hEvent = win32.CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

// Everything of the open that follows taking the device (library lock held).
static void SioSetUpOpenPort(uint8_t port, HANDLE handle) {
  PortTable &t = table();
  PortRecord &p = t.ports[port];
  SioInitPortLocks(port);
  p.handle.store(handle);
  p.open_count++;
  SioSaveSettings(port);
  p.dtr_state.store(p.saved_settings.dcb.fDtrControl == DTR_CONTROL_ENABLE ? 1 : 0);
  p.rts_state.store(p.saved_settings.dcb.fRtsControl == RTS_CONTROL_ENABLE ? 2 : 0);
  win32.PurgeComm(handle, PURGE_RXABORT | PURGE_RXCLEAR);
  win32.PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR);
  RingReset(&t.rx_rings[port]);
  RingReset(&t.tx_rings[port]);
  t.open_ports.fetch_add(1);
  uint32_t rx_size = SioGetMaxQueue(port, 0);
  uint32_t tx_size = SioGetMaxQueue(port, 1);
  SioAllocBuffers(port, rx_size ? rx_size : RX_QUEUE_WITHOUT_MAX,
                  tx_size ? tx_size : TX_QUEUE_WITHOUT_MAX);
  SioApplyStandardDcb(port);
  SioCreateRequestEvents(port);
  SioApplyStandardTimeouts(port);
  SioClearLineEvents(port);
  SioReadModemStatus(port);
  SioStartWriter(port);
}

void SioOpenEx(uint8_t port, HANDLE adopt) {
  if (port_table.load(std::memory_order_acquire) == nullptr) SioInitLibrary();
  if (port >= SIO_PORT_COUNT) return;
  PortRecord &p = table().ports[port];
  SioLockLibrary();
  p.last_error.store(SIO_OK);
  if (p.open_count != 0) {
    p.last_error.store(SIO_FAILED);
    SioUnlockLibrary();
    return;
  }
  char name[16];
  SioBuildPortName(port, name, 0);
  HANDLE handle = adopt == INVALID_HANDLE_VALUE ? SioCreatePortHandle(name) : adopt;
  if (handle == INVALID_HANDLE_VALUE) {
    p.last_error.store(SioOpenFailure(win32.GetLastError()));
    SioUnlockLibrary();
    return;
  }
  SioSetUpOpenPort(port, handle);
  SioUnlockLibrary();
}

void SioOpen(uint8_t port) { SioOpenEx(port, INVALID_HANDLE_VALUE); }

// The close options rewrite the saved DTR and RTS control; the lowering bit last.
static void SioApplyCloseOptions(DCB *dcb, uint8_t options) {
  if (options & CLOSE_DTR_UP) dcb->fDtrControl = DTR_CONTROL_ENABLE;
  if (options & CLOSE_DTR_DOWN) dcb->fDtrControl = DTR_CONTROL_DISABLE;
  if (options & CLOSE_RTS_UP) dcb->fRtsControl = RTS_CONTROL_ENABLE;
  if (options & CLOSE_RTS_DOWN) dcb->fRtsControl = RTS_CONTROL_DISABLE;
}

// Stops the port's threads. Returns false when one of them has not ended within its
// stop's time limit: it may still touch the rings, request events and locks.
static bool SioStopPortThreads(uint8_t port) {
  PortTable &t = table();
  if (SioThreadAlive(t.event_threads[port].thread.load())) SioStopEventThread(port);
  if (SioThreadAlive(t.writer_threads[port].thread.load())) SioStopWriter(port);
  // The reader event goes whether or not a writer ran (a port whose writer could not
  // start still made it at configuration).
  SioCloseReadEvents(port);
  return t.event_threads[port].thread.load() == nullptr &&
         t.writer_threads[port].thread.load() == nullptr;
}

// Releases what a stopped port held. A thread that did not end keeps them: they are
// left allocated rather than freed under it.
static void SioReleasePortResources(uint8_t port, bool threads_ended) {
  PortTable &t = table();
  if (!threads_ended) return;
  win32.CloseHandle(t.read_overlapped[port].hEvent);
  win32.CloseHandle(t.write_overlapped[port].hEvent);
  t.read_overlapped[port].hEvent = nullptr;
  t.write_overlapped[port].hEvent = nullptr;
  SioRingRelease(&t.rx_rings[port]);
  SioRingRelease(&t.tx_rings[port]);
}

// Gives the device back its own settings, changed only by the close options.
static void SioGiveBackSettings(uint8_t port, uint8_t options) {
  PortRecord &p = table().ports[port];
  p.dtr_state.store(0);
  p.rts_state.store(0);
  p.flow_flags.store(0);
  SioApplyCloseOptions(&p.saved_settings.dcb, options);
  if (p.saved_settings.dcb.fDtrControl == DTR_CONTROL_ENABLE) SioSetDtr(port);
  else SioClearDtr(port);
  if (p.saved_settings.dcb.fRtsControl == RTS_CONTROL_ENABLE) SioSetRts(port);
  else SioClearRts(port);
  PortSettings settings = p.saved_settings;
  SioRestoreSettings(port, &settings);
}

void SioCloseEx(uint8_t port, uint8_t options) {
  if (!SioIsOpen(port)) return;
  PortTable &t = table();
  PortRecord &p = t.ports[port];
  SioLockLibrary();
  // Another close may have run between the open test and the lock: the port is then
  // closed already, and its locks and handles are gone.
  if (p.open_count == 0) {
    p.last_error.store(SIO_FAILED);
    SioUnlockLibrary();
    return;
  }
  p.open_count--;
  if (p.open_count == 0) {
    bool threads_ended = SioStopPortThreads(port);
    SioSetRingPolling(port, 0);
    SioReleasePortResources(port, threads_ended);
    SioGiveBackSettings(port, options);
    win32.CloseHandle(p.handle.load());
    SioResetPortRecords(port);
    if (t.open_ports.load() > 0) t.open_ports.fetch_sub(1);
    if (threads_ended) SioDeletePortLocks(port);
  }
  SioUnlockLibrary();
}

void SioClose(uint8_t port) { SioCloseEx(port, 0); }

void SioSaveSettings(uint8_t port) {
  PortRecord &p = table().ports[port];
  HANDLE handle = p.handle.load();
  SioReadCommConfig(handle, &p.saved_settings.dcb);
  DWORD mask = p.saved_settings.event_mask;
  if (win32.GetCommMask(handle, &mask)) p.saved_settings.event_mask = mask;
  COMMTIMEOUTS timeouts = p.saved_settings.timeouts;
  if (win32.GetCommTimeouts(handle, &timeouts)) p.saved_settings.timeouts = timeouts;
}

void SioRestoreSettings(uint8_t port, const PortSettings *settings) {
  HANDLE handle = table().ports[port].handle.load();
  SioWriteCommConfig(handle, &settings->dcb);
  SioApplyEventMask(port, settings->event_mask);
  COMMTIMEOUTS timeouts = settings->timeouts;
  win32.SetCommTimeouts(handle, &timeouts);
}
