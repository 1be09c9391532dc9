// The telnet codec of network serial ports: escaping, commands, and the decoder's
// state machine (data, IAC, a negotiation's option, a subnegotiation and its IACs).
#include "telnet.h"

namespace posix {
namespace telnet {

namespace {

enum Step : uint8_t { DATA = 0, AFTER_IAC, NEGOTIATION, SB_OPTION, SB_PAYLOAD, SB_IAC };

void keep_payload(Event *e, uint8_t b) {
  if (e->len < sizeof e->payload) e->payload[e->len++] = b;
}

// One byte after IAC: a doubled 0xFF is data (returned true), a negotiation or a
// subnegotiation starts, any other command (NOP, GA, ...) is consumed.
bool after_iac(Decoder *d, uint8_t b) {
  switch (b) {
    case IAC:
      d->state = DATA;
      return true;
    case WILL:
    case WONT:
    case DO:
    case DONT:
      d->pending.verb = b;
      d->state = NEGOTIATION;
      return false;
    case SB:
      d->pending.verb = SB;
      d->pending.len = 0;
      d->state = SB_OPTION;
      return false;
  }
  d->state = DATA;
  return false;
}

// One byte inside a subnegotiation; IAC SE ends it.
void in_subnegotiation(Decoder *d, uint8_t b, EventSink sink, void *ctx) {
  if (d->state == SB_PAYLOAD) {
    if (b == IAC) {
      d->state = SB_IAC;
    } else {
      keep_payload(&d->pending, b);
    }
    return;
  }
  // SB_IAC
  if (b == SE) {
    d->state = DATA;
    sink(ctx, d->pending);
  } else {
    // IAC IAC is a 0xFF value byte; anything else after IAC is taken as a value too.
    keep_payload(&d->pending, b);
    d->state = SB_PAYLOAD;
  }
}

}  // namespace

size_t decode(Decoder *d, const uint8_t *in, size_t n, uint8_t *data, EventSink sink, void *ctx) {
  size_t out = 0;
  for (size_t i = 0; i < n; i++) {
    uint8_t b = in[i];
    switch (d->state) {
      case DATA:
        if (b == IAC) {
          d->state = AFTER_IAC;
        } else {
          data[out++] = b;
          d->produced++;
        }
        break;
      case AFTER_IAC:
        if (after_iac(d, b)) data[out++] = IAC, d->produced++;
        break;
      case NEGOTIATION:
        d->pending.option = b;
        d->pending.len = 0;
        d->state = DATA;
        sink(ctx, d->pending);
        break;
      case SB_OPTION:
        d->pending.option = b;
        d->state = SB_PAYLOAD;
        break;
      default:
        in_subnegotiation(d, b, sink, ctx);
        break;
    }
  }
  return out;
}

void escape(const uint8_t *in, size_t n, std::vector<uint8_t> *out) {
  out->reserve(out->size() + n + n / 64);
  for (size_t i = 0; i < n; i++) {
    out->push_back(in[i]);
    if (in[i] == IAC) out->push_back(IAC);
  }
}

void put_option(std::vector<uint8_t> *out, uint8_t verb, uint8_t option) {
  out->insert(out->end(), {IAC, verb, option});
}

void put_command(std::vector<uint8_t> *out, uint8_t command, const uint8_t *value, size_t n) {
  out->insert(out->end(), {IAC, SB, OPT_COM_PORT, command});
  escape(value, n, out);
  out->insert(out->end(), {IAC, SE});
}

}  // namespace telnet
}  // namespace posix
