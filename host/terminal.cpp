// The terminal: the main loop that sends typed keys to the target and shows what it
// sends back (or serves its requests), and display_char with its tab stops.
#include "host/console.h"
#include "host/host.h"

int console_column = 0;

static const int enq = 0x05;        // the target asks for a service
static const int tab = 0x09;
static const int line_feed = 0x0A;
static const int tab_width = 8;
// The column only matters modulo the tab width; it is brought down by a multiple of it
// long before it could overflow.
static const int column_wrap = 1 << 30;

static void advance_column(void) {
  console_column += 1;
  if (console_column >= column_wrap) {
    console_column -= column_wrap;
  }
}

// A tab writes at least one blank and stops at the next multiple of 8; only a line
// feed brings the column back to 0 (a carriage return counts as one column).
void display_char(int byte) {
  if (byte == tab) {
    do {
      console_put(' ');
      advance_column();
    } while (console_column % tab_width != 0);
    return;
  }
  console_put((uint8_t)byte);
  advance_column();
  if (byte == line_feed) {
    console_column = 0;
  }
}

// One key per pass: the second byte of an escape sequence goes on the next pass. Keys
// typed once the link is lost are left to await_link_return, which drops them.
static void send_waiting_key(void) {
  if (!link_is_lost() && console_key_waiting()) {
    send_byte(console_read_key());
  }
}

// The bytes are shown a run at a time, without a ring update per byte. An ENQ is
// released before the request is served, since serving reads on from the next byte.
static void handle_received_bytes(void) {
  const uint8_t *bytes;
  int count;
  while ((count = rx_span(&bytes)) > 0) {
    int shown = 0;
    while (shown < count && bytes[shown] != enq) {
      display_char(bytes[shown++]);
    }
    if (shown < count) {
      rx_consume(shown + 1);
      console_flush();
      serve_request();
    } else {
      rx_consume(shown);
    }
  }
}

// A pass sends a key, then everything received; then the loop blocks until a key or
// a byte is waiting, with this pass's screen output written out first. Once the
// bytes received before a loss are shown, the loop waits for the port to come back.
void main_loop(void) {
  for (;;) {
    send_waiting_key();
    handle_received_bytes();
    if (link_is_lost()) {
      await_link_return();
      continue;
    }
    rx_wait(1);
  }
}
