// The Sio serial port library: 36 port slots (index 0 is COM1), each with a receive
// ring, a transmit ring, a writer thread and an event thread. This is all an
// application includes.
#pragma once

#include <stdint.h>

#include "platform/win32.h"

// The library's own event bits, beside the platform's EV_ bits; never programmed
// into the device.
#define SIO_EV_TXRING_EMPTY 0x1000u  // the transmit ring has been emptied (writer thread)
// The port's device has gone: a USB adapter unplugged or re-enumerated, the far side
// of a pseudo-terminal closed, a device node removed. Delivered once per open, on the
// event thread, whatever the port's event mask, after every byte received before the
// loss has been offered (EV_RXCHAR, when the mask has it). From then on the port's
// threads leave the device alone and use no processor time; the port stays open
// until SioClose, which is prompt and releases everything, and every open test leaves
// SIO_ERR_PORT_LOST in last_error.
#define SIO_EV_PORT_LOST 0x2000u

// Every port's event mask until the application sets another.
#define SIO_DEFAULT_EVENT_MASK 0x5FDu

#define SIO_PORT_COUNT 36u

// Outcome codes left in a port's last_error.
#define SIO_OK 0
#define SIO_FAILED 1
#define SIO_ERR_RING_ALLOC (-9993)
#define SIO_ERR_PORT_LOST (-9992)  // the port is open but its device has gone (SIO_EV_PORT_LOST)

// The application's per-port callback: (port index, event word); the result is ignored.
typedef int32_t (*PortEventHandler)(uint8_t port, uint32_t events);

// A device's own settings, captured at open and given back at close.
struct PortSettings {
  DCB dcb;
  COMMTIMEOUTS timeouts;
  uint32_t event_mask;
};

struct ThreadRecord;

// Library state, open test and locks
void SioInitLibrary(void);
void SioInitGlobalLock(void);
bool SioIsOpen(uint8_t port);
int16_t SioGetLastError(uint8_t port);  // the port's last_error; 1 for an index above 35
void SioResetPortRecords(uint8_t port);
void SioLockPort(uint8_t port);
int32_t SioUnlockPort(uint8_t port);
void SioLockLibrary(void);
void SioUnlockLibrary(void);

// Probing, opening, configuring and closing
// out holds at least 10 bytes for ports 0 to 35 (\\.\COM36), 11 for any index.
void SioBuildPortName(uint8_t port, char *out, uint8_t probing);
HANDLE SioCreatePortHandle(const char *name);
uint16_t SioProbePort(uint8_t port); // 0 no device, 1 can be opened now, 2 busy
void SioOpenEx(uint8_t port, HANDLE adopt);
void SioOpen(uint8_t port);
void SioCloseEx(uint8_t port, uint8_t options);
void SioClose(uint8_t port);
void SioConfigureEx(uint8_t port, uint32_t baud, uint8_t data_bits, uint8_t stop_bits, char parity,
                    uint8_t flow, uint8_t options);
void SioConfigure(uint8_t port, uint32_t baud, uint8_t data_bits, uint8_t stop_bits, char parity,
                  uint8_t flow);
void SioSaveSettings(uint8_t port);
void SioRestoreSettings(uint8_t port, const PortSettings *settings);
bool SioReadCommConfig(HANDLE handle, DCB *dcb);
bool SioWriteCommConfig(HANDLE handle, const DCB *dcb);

// Line settings and flow control
void SioGetDcb(uint8_t port, DCB *dcb);
bool SioSetDcb(uint8_t port, DCB *dcb);
void SioSetFlowControl(uint8_t port, uint8_t flow, uint8_t options);
void SioUpdateXonXoffLimits(uint8_t port);
uint32_t SioGetMaxQueue(uint8_t port, uint8_t direction);
uint32_t SioGetCurrentQueue(uint8_t port, uint8_t direction);
uint32_t SioGetBaud(uint8_t port);
uint16_t SioGetXonXoffChars(uint8_t port); // XoffChar high byte, XonChar low byte

// Buffer sizing, queue counts and flushing (direction: 0 receive, other transmit)
uint32_t SioGetDriverQueueCount(uint8_t port, uint8_t direction);
uint32_t SioGetPendingCount(uint8_t port, uint8_t direction);
uint32_t SioPendingCount(uint8_t port, uint8_t direction);
uint32_t SioClampQueueSize(uint8_t port, uint32_t size, uint8_t direction);
void SioAllocBuffers(uint8_t port, uint32_t rx_size, uint32_t tx_size);
void SioSetBufferSizes(uint8_t port, uint32_t rx_size, uint32_t tx_size);
uint32_t SioGetQueueCapacity(uint8_t port, uint8_t direction);
uint8_t SioQueueFull(uint8_t port, uint8_t direction);
void SioFlush(uint8_t port, uint8_t direction);

// Transmit ring and writer thread
uint8_t SioPutByte(uint8_t port, uint8_t byte);
uint8_t SioPutByteAtOnce(uint8_t port, uint8_t byte); // straight to an idle device, else queued
uint32_t SioTxRingWrite(uint8_t port, const uint8_t *bytes, uint32_t length);
bool SioTransmitChar(uint8_t port, uint8_t character);
bool SioTransmitImmediate(uint8_t port, uint8_t character);
void SioSendXon(uint8_t port);
uint32_t SioOverlappedWrite(uint8_t port, const uint8_t *bytes, uint32_t length, uint32_t *status);
DWORD WINAPI SioWriterThread(LPVOID port_arg);
void SioStartWriter(uint8_t port);
void SioStopWriter(uint8_t port);

// Receive ring and overlapped reads
void SioCreateReadEvents(uint8_t port);
void SioCloseReadEvents(uint8_t port);
uint32_t SioOverlappedRead(uint8_t port, uint8_t *destination, uint32_t length, uint32_t *status);
void SioFillRxRing(uint8_t port);
uint8_t SioRxTake(uint8_t port, uint8_t *out, uint8_t take);
uint8_t SioRxGet(uint8_t port, uint8_t *out);
uint8_t SioGetByte(uint8_t port, uint8_t *out);
uint32_t SioGetBytes(uint8_t port, uint8_t *out, uint32_t length); // bytes taken, 0 when none

// Event mask, latching and handler dispatch
uint32_t SioSetEventMask(uint8_t port, uint32_t mask, uint8_t event_char); // mask -1: query only
bool SioApplyEventMask(uint8_t port, uint32_t mask);
PortEventHandler SioSetEventHandler(uint8_t port, PortEventHandler handler);
uint32_t SioLatchEvents(uint8_t port, uint32_t events);
void SioAccumulateEvents(uint8_t port, uint32_t events);
int32_t SioDispatchEvents(uint8_t port, uint32_t events);
void SioSetRingPolling(uint8_t port, uint32_t on);
uint8_t SioRingDetected(uint8_t port);
void SioPollRing(uint8_t port);

// Modem lines, break and line status
void SioSetDtr(uint8_t port);
void SioClearDtr(uint8_t port);
void SioSetRts(uint8_t port);
void SioClearRts(uint8_t port);
bool SioClearBreak(uint8_t port);
uint8_t SioGetModemStatus(uint8_t port, uint8_t clear_mask);
uint8_t SioReadModemStatus(uint8_t port);
uint8_t SioSwapStatusByte(uint8_t port, uint8_t value);
uint8_t SioClearLineEvents(uint8_t port);
void SioRecordLineErrors(uint8_t port, uint32_t errors, const COMSTAT *stat);
void SioPollLineErrors(uint8_t port);
uint8_t SioTxNotHeld(uint8_t port);
uint32_t SioElapsedMs(uint32_t stamp);
bool SioThreadAlive(HANDLE thread);

// Event thread
DWORD WINAPI SioEventThread(LPVOID port_arg);
void SioStartEventThread(uint8_t port);
void SioStopEventThread(uint8_t port);
uint16_t SioSuspendResumeThread(ThreadRecord *record, uint16_t resume);
uint16_t SioSuspendEventThread(uint8_t port, uint16_t resume);
