// The Sio serial port library: 36 port slots (index 0 is COM1), each with a receive
// ring, a transmit ring, a writer thread and an event thread. This is all an
// application includes. Every operation takes the 0-based port index; for an index
// above 35 or a port that is not open it does nothing and returns 0, false or null.
// Why an operation failed is left in the port's last error (SioGetLastError).
#pragma once

#include <stdint.h>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
// The device's event bits, with the values and names of the Win32 serial interface.
#ifndef EV_RXCHAR
#define EV_RXCHAR 0x0001u    // a character was received
#define EV_RXFLAG 0x0002u    // the event character was received
#define EV_TXEMPTY 0x0004u   // the driver's transmit queue ran empty
#define EV_CTS 0x0008u       // CTS changed
#define EV_DSR 0x0010u       // DSR changed
#define EV_RLSD 0x0020u      // carrier detect (RLSD) changed
#define EV_BREAK 0x0040u     // a break was received
#define EV_ERR 0x0080u       // a line error: framing, overrun or parity
#define EV_RING 0x0100u      // a ring was detected
#define EV_PERR 0x0200u
#define EV_RX80FULL 0x0400u  // the receive queue is 80 % full
#define EV_EVENT1 0x0800u
#define EV_EVENT2 0x1000u
#endif
#endif

// The library's own event bits, beside the device's EV_ bits; never programmed into the
// device. The transmit ring has run empty (delivered by the writer thread):
#define SIO_EV_TXRING_EMPTY 0x1000u
// The port's device has gone: a USB adapter unplugged or re-enumerated, the far side
// of a pseudo-terminal closed, a device node removed. Delivered once per open, on the
// event thread, whatever the port's event mask, after every byte received before the
// loss has been offered (EV_RXCHAR, when the mask has it). From then on the port's
// threads leave the device alone and use no processor time; the port stays open
// until SioClose, which is prompt and releases everything, and every open test leaves
// SIO_ERR_PORT_LOST in its last error.
#define SIO_EV_PORT_LOST 0x2000u

// Every port's event mask until the application sets another.
#define SIO_DEFAULT_EVENT_MASK 0x5FDu

#define SIO_PORT_COUNT 36u

// Outcome codes left in a port's last error. A failed probe or open says why, where
// the platform told: the device is missing, the user may not open it, another program
// holds it, or it is no serial device; for a network port, the server refused the
// connection, did not answer, could not be reached, closed the connection at once, or
// its host name is unknown. SIO_FAILED is a failure with no known reason.
#define SIO_OK 0
#define SIO_FAILED 1
#define SIO_ERR_RING_ALLOC (-9993)
#define SIO_ERR_NO_DEVICE (-9980)
#define SIO_ERR_ACCESS_DENIED (-9981)
#define SIO_ERR_BUSY (-9982)
#define SIO_ERR_NOT_SERIAL (-9983)
#define SIO_ERR_NET_REFUSED (-9984)
#define SIO_ERR_NET_TIMED_OUT (-9985)
#define SIO_ERR_NET_UNREACHABLE (-9986)
#define SIO_ERR_NET_CLOSED (-9987)
#define SIO_ERR_NET_UNKNOWN_HOST (-9988)
#define SIO_ERR_PORT_LOST (-9992)  // the port is open but its device has gone (SIO_EV_PORT_LOST)

// The application's per-port callback, called on the library's threads with (port
// index, event word); the result is ignored. It must not wait for transmit room.
typedef int32_t (*PortEventHandler)(uint8_t port, uint32_t events);

// Probing, opening, configuring and closing
// 0 no device, 1 can be opened now, 2 busy; when not 1 the last error says why.
uint16_t SioProbePort(uint8_t port);
// Opens in the standard state; test with SioIsOpen. Right after a failed open the last
// error says why.
void SioOpen(uint8_t port);
// SioOpen, adopting an already open device handle when adopt is not null.
void SioOpenEx(uint8_t port, void *adopt);
bool SioIsOpen(uint8_t port);  // whether the port is open
// Flow-control codes of SioConfigure, combinable.
#define SIO_FLOW_NONE 0x00u
#define SIO_FLOW_RTS_CTS 0x10u
#define SIO_FLOW_DTR_DSR 0x20u
#define SIO_FLOW_XON_XOFF 0x80u

// Line options of SioConfigureEx (where raising wins) and close options of SioCloseEx
// (where lowering wins); a line under hardware handshake is left to the handshake.
#define SIO_LINE_DTR_ON 0x01u
#define SIO_LINE_RTS_ON 0x02u
#define SIO_LINE_DTR_OFF 0x04u
#define SIO_LINE_RTS_OFF 0x08u

// Sets the line (parity 'N', 'O', 'E', 'M' or 'S', flow a SIO_FLOW_ code), raises DTR
// and RTS, and starts the port's event thread.
void SioConfigure(uint8_t port, uint32_t baud, uint8_t data_bits, uint8_t stop_bits, char parity,
                  uint8_t flow);
// SioConfigure with SIO_LINE_ options; 0 gives DTR and RTS the control they had at open.
void SioConfigureEx(uint8_t port, uint32_t baud, uint8_t data_bits, uint8_t stop_bits, char parity,
                    uint8_t flow, uint8_t options);
void SioClose(uint8_t port);  // stops both threads, frees the rings, gives the settings back
// SioClose with SIO_LINE_ options, applied to the settings given back to the device.
void SioCloseEx(uint8_t port, uint8_t options);
int16_t SioGetLastError(uint8_t port);  // the port's last error; 1 for an index above 35

// Buffers, queue counts and flushing (direction: 0 receive, any other value transmit)
// Sizes the driver's queues and the library's rings (flushing both); failures leave
// SIO_ERR_RING_ALLOC in the last error.
void SioSetBufferSizes(uint8_t port, uint32_t rx_size, uint32_t tx_size);
// Bytes waiting in the driver and the ring; for receive, moves the driver's bytes into
// the ring first.
uint32_t SioPendingCount(uint8_t port, uint8_t direction);
// Bytes waiting in the driver and the ring, without moving any.
uint32_t SioGetPendingCount(uint8_t port, uint8_t direction);
uint32_t SioGetQueueCapacity(uint8_t port, uint8_t direction);  // driver queue + ring size
uint8_t SioQueueFull(uint8_t port, uint8_t direction);  // 1 when no byte more fits
void SioFlush(uint8_t port, uint8_t direction);  // discards the direction's bytes (0 or 1)

// Transmitting
uint8_t SioPutByte(uint8_t port, uint8_t byte);  // queues a byte: 1, or 0 when full
// Hands a byte straight to an idle device, or queues it behind what is waiting: 1 or 0.
uint8_t SioPutByteAtOnce(uint8_t port, uint8_t byte);
// Queues up to length bytes; the number queued (fewer when the ring fills).
uint32_t SioTxRingWrite(uint8_t port, const uint8_t *bytes, uint32_t length);
// Sends one character ahead of everything queued; whether the device took it.
bool SioTransmitChar(uint8_t port, uint8_t character);

// Receiving
uint8_t SioGetByte(uint8_t port, uint8_t *out);  // takes the next byte: 1, or 0 when none
// Takes up to length bytes into out; the number taken, 0 when none.
uint32_t SioGetBytes(uint8_t port, uint8_t *out, uint32_t length);
// The next received byte into out, taken (take 1) or only looked at (take 0): 1, or 0
// when none.
uint8_t SioRxTake(uint8_t port, uint8_t *out, uint8_t take);

// Events
// Installs an event mask (EV_ bits and SIO_EV_ bits) and the event character; returns
// the mask it replaces. A mask of 0xFFFFFFFF only asks. Kept while the port is closed.
uint32_t SioSetEventMask(uint8_t port, uint32_t mask, uint8_t event_char);
// Installs the port's event handler (null for none); returns the previous one.
PortEventHandler SioSetEventHandler(uint8_t port, PortEventHandler handler);

// Modem lines, break and status
void SioSetDtr(uint8_t port);    // raises DTR
void SioClearDtr(uint8_t port);  // lowers DTR
void SioSetRts(uint8_t port);    // raises RTS
void SioClearRts(uint8_t port);  // lowers RTS
bool SioClearBreak(uint8_t port);  // ends a break on the line; whether the device did
// The modem status byte (8250 layout: 0x80 DCD, 0x40 RI, 0x20 DSR, 0x10 CTS in the
// high nibble, change bits in the low one); the change bits in clear_mask are cleared.
uint8_t SioGetModemStatus(uint8_t port, uint8_t clear_mask);
// The line status bits gathered since the last call (8250 layout: 0x10 break, 0x08
// framing, 0x04 parity, 0x02 overrun), and clears them.
uint8_t SioClearLineEvents(uint8_t port);

// Read-back of the line settings
uint32_t SioGetBaud(uint8_t port);           // the baud rate in force
uint16_t SioGetXonXoffChars(uint8_t port);   // XoffChar in the high byte, XonChar in the low
