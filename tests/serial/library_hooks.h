// Test-only access to the library's state: re-initialising it as a chosen platform
// family, opening a port on a simulated device, and recording handler calls.
#pragma once

#include <stdint.h>

#include <vector>

#include "serial/port_table.h"
#include "sim/sim_device.h"

// Forgets the library's state (port_table back to null) and initialises it again
// with the simulated platform reporting the Windows 95 family or not. Only for a
// test that has no port open.
void sio_test_reinit(bool win95);

// Attaches a simulated device to COM<port + 1> and opens the port on it; the test
// fails when the port does not open.
SimDevice *sio_test_open(uint8_t port);

// Closes every open port and detaches every simulated device.
void sio_test_close_all(void);

// A handler that records every call (port and event word), from any thread.
int32_t sio_test_record_handler(uint8_t port, uint32_t events);
struct HandlerCall {
  uint8_t port;
  uint32_t events;
};
std::vector<HandlerCall> sio_test_handler_calls(void);
void sio_test_clear_handler_calls(void);

// Shorthands for the state of one port.
inline PortRecord &port_record(uint8_t port) { return table().ports[port]; }
inline RingQueue &rx_ring(uint8_t port) { return table().rx_rings[port]; }
inline RingQueue &tx_ring(uint8_t port) { return table().tx_rings[port]; }
