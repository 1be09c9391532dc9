// The telnet stream of a network serial port (RFC 854 with the COM-PORT-OPTION of
// RFC 2217): data escaping, option and port-command encoding, and a decoder that keeps
// its state between reads, so that a sequence split across reads decodes whole.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace posix {
namespace telnet {

// Telnet command bytes.
enum Byte : uint8_t { SE = 240, SB = 250, WILL = 251, WONT = 252, DO = 253, DONT = 254, IAC = 255 };

// The options this client speaks.
enum Option : uint8_t { OPT_BINARY = 0, OPT_ECHO = 1, OPT_SGA = 3, OPT_COM_PORT = 44 };

// COM-PORT-OPTION commands as the client sends them; the server answers with the
// same code plus kServerOffset.
enum Command : uint8_t {
  SIGNATURE = 0,
  SET_BAUDRATE = 1,
  SET_DATASIZE = 2,
  SET_PARITY = 3,
  SET_STOPSIZE = 4,
  SET_CONTROL = 5,
  NOTIFY_LINESTATE = 6,
  NOTIFY_MODEMSTATE = 7,
  FLOWCONTROL_SUSPEND = 8,
  FLOWCONTROL_RESUME = 9,
  SET_LINESTATE_MASK = 10,
  SET_MODEMSTATE_MASK = 11,
  PURGE_DATA = 12,
};
const uint8_t kServerOffset = 100;
const uint8_t kCommandCount = 13;

// SET-PARITY and SET-STOPSIZE values.
enum Parity : uint8_t { PARITY_NONE = 1, PARITY_ODD = 2, PARITY_EVEN = 3, PARITY_MARK = 4, PARITY_SPACE = 5 };
enum StopSize : uint8_t { STOP_ONE = 1, STOP_TWO = 2, STOP_ONE_HALF = 3 };

// SET-CONTROL values.
enum Control : uint8_t {
  FLOW_ASK = 0,
  FLOW_NONE = 1,
  FLOW_XONXOFF = 2,
  FLOW_HARDWARE = 3,
  BREAK_ASK = 4,
  BREAK_ON = 5,
  BREAK_OFF = 6,
  DTR_ASK = 7,
  DTR_ON = 8,
  DTR_OFF = 9,
  RTS_ASK = 10,
  RTS_ON = 11,
  RTS_OFF = 12,
  INFLOW_ASK = 13,
  INFLOW_NONE = 14,
  INFLOW_XONXOFF = 15,
  INFLOW_HARDWARE = 16,
};

// PURGE-DATA values: the server's receive buffer, its transmit buffer, or both.
enum Purge : uint8_t { PURGE_RX = 1, PURGE_TX = 2, PURGE_BOTH = 3 };

// NOTIFY-LINESTATE bits.
enum LineState : uint8_t {
  LINE_TIMEOUT = 0x80,
  LINE_TX_SHIFT_EMPTY = 0x40,
  LINE_TX_HOLD_EMPTY = 0x20,
  LINE_BREAK = 0x10,
  LINE_FRAMING = 0x08,
  LINE_PARITY = 0x04,
  LINE_OVERRUN = 0x02,
  LINE_DATA_READY = 0x01,
};

// NOTIFY-MODEMSTATE bits.
enum ModemState : uint8_t {
  MODEM_CD = 0x80,
  MODEM_RI = 0x40,
  MODEM_DSR = 0x20,
  MODEM_CTS = 0x10,
  MODEM_DELTA_CD = 0x08,
  MODEM_RI_TRAILING = 0x04,
  MODEM_DELTA_DSR = 0x02,
  MODEM_DELTA_CTS = 0x01,
};

// A negotiation (verb WILL, WONT, DO or DONT with its option) or a subnegotiation
// (verb SB, the option and its payload with doubled IACs undone). A payload longer
// than the record holds is cut; the rest of it is consumed all the same.
struct Event {
  uint8_t verb;
  uint8_t option;
  uint8_t len;
  uint8_t payload[64];
};

// The decoder's place in the stream, kept between reads.
struct Decoder {
  uint8_t state;  // one of the steps in telnet.cpp; 0 between data bytes
  Event pending;
  uint64_t produced;  // data bytes decoded so far: where in the data an event came
};

typedef void (*EventSink)(void *ctx, const Event &event);

// Decodes n received bytes. Data bytes go to data (room for n); each complete
// negotiation or subnegotiation goes to sink. Returns the number of data bytes.
size_t decode(Decoder *d, const uint8_t *in, size_t n, uint8_t *data, EventSink sink, void *ctx);

// Appends data bytes with every 0xFF doubled.
void escape(const uint8_t *in, size_t n, std::vector<uint8_t> *out);
// Appends IAC verb option.
void put_option(std::vector<uint8_t> *out, uint8_t verb, uint8_t option);
// Appends IAC SB COM-PORT-OPTION command value... IAC SE.
void put_command(std::vector<uint8_t> *out, uint8_t command, const uint8_t *value, size_t n);

}  // namespace telnet
}  // namespace posix
