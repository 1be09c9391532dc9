// The progress display: a small state machine over the characters of a transfer that
// shows the address of each S-record going by, overwriting itself on one line.
#include <stdio.h>

#include "host/host.h"

// Both touched by the main thread only; kept from one transfer to the next and only
// ever reset by an 'S'.
static int progress_state = 0;   // 0 idle, 1 after 'S', 2-3 count digits, 4 before the
                                 // first address digit, 5 showing address digits
static int progress_digits = 0;  // address digits still to show

// State 5: show one address digit; after the last one, a blank and back to column 0.
static void show_address_digit(int character) {
  if (progress_digits <= 0) {
    return;
  }
  host_message("%c", character & 0xFF);
  progress_digits -= 1;
  if (progress_digits == 0) {
    host_message(" \r");
  }
}

void show_progress(int character) {
  if (character == 'S') {
    host_message("\r");
    progress_state = 1;
    return;
  }
  switch (progress_state) {
  case 1:
    // '0' gives 2 digits, '1' 4, '2' 6, '3' 8; '4' and above show nothing.
    progress_digits = 2 * character - 94;
    progress_state = progress_digits <= 8 ? 2 : 0;
    break;
  case 2:
  case 3:
    progress_state += 1;
    break;
  case 4:
    progress_state = 5;
    show_address_digit(character);
    break;
  case 5:
    show_address_digit(character);
    break;
  default:
    break;
  }
}
