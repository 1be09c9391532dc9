// Opening a file for a download, with its messages, and reading it character by
// character through the progress display.
#include <stdio.h>

#include "host/download.h"
#include "host/host.h"

static const int refuse_mark = 0x3E;  // '>': the file cannot be sent

int open_download(TextFile *file, const char *name, int verify) {
  if (!text_file_open(file, name)) {
    host_message("Can't open file <%s>\n", name);
    fflush(stdout);
    send_byte(refuse_mark);
    return 0;
  }
  host_message(verify ? "Verifying from file <%s>\n" : "Loading from file <%s>\n", name);
  fflush(stdout);
  return 1;
}

int read_file_char(TextFile *file) {
  int character = text_file_getc(file);
  show_progress(character);
  return character;
}
