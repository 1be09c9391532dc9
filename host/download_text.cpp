// The text download: every character of the file goes out on its own and the host
// waits for the target's echo of it before sending the next.
#include "host/download.h"
#include "host/host.h"

static const int abort_mark = 0x3E;  // '>': from the target, ends the download; from
                                     // the host, marks the end of the file
static const int enq = 0x05;
static const int ack = 0x06;

// Waits for the echo of character; 0 when the target answered '>' instead, -1 when
// the link was lost.
static int wait_for_echo(int character) {
  for (;;) {
    int got = rx_get();
    if (got == RX_LOST) {
      return -1;
    }
    int byte = got & 0xFF;
    if (byte == character) {
      return 1;  // checked first, so the echo of a '>' in the file is accepted
    }
    if (byte == abort_mark) {
      return 0;
    }
  }
}

void download_text(const char *name, int verify) {
  TextFile file;
  if (!open_download(&file, name, verify)) {
    return;
  }
  // The end-of-file value is not a character: it is not shown or sent.
  for (int character = text_file_getc(&file); character >= 0;
       character = text_file_getc(&file)) {
    show_progress(character);
    send_byte(character);
    int echoed = wait_for_echo(character);
    if (echoed <= 0) {
      text_file_close(&file);
      if (echoed == 0) {
        send_byte(ack);
      }
      return;  // a lost link stops the download: nothing more is sent
    }
  }
  send_byte(abort_mark);
  for (int byte = rx_get(); byte != enq && byte != RX_LOST; byte = rx_get()) {
    // everything before the target's ENQ is dropped, '>' included
  }
  text_file_close(&file);
  send_byte(ack);
}
