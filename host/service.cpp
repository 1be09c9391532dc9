// Service requests from the target: the framing after an ENQ (ready mark, command
// letter, file name), the dispatch to load, verify and save, and the save itself.
#include <stdio.h>

#include "host/host.h"

static const int ready_mark = 0x2A;    // '*': the host takes the request
static const int refuse_mark = 0x3E;   // '>': the request failed / the save ends
static const int line_mark = 0x2B;     // '+': send the next line
static const int name_limit = 255;     // name bytes a 256-byte buffer holds

// Reads one blank-delimited word into buffer (256 bytes). Leading blanks are skipped;
// the word is the run of bytes 0x21 to 0x7F, and the byte that ends it is consumed.
// A word longer than 255 bytes is still read to its end, so that the line stays in
// step, but only its first 255 bytes are kept; the result is then 0, else 1.
static int read_word(char *buffer) {
  int byte = rx_get();
  while (byte == ' ') {
    byte = rx_get();
  }
  int length = 0;
  int fits = 1;
  // rx_get gives bytes 0x80 to 0xFF as negative values: they end the word too.
  while (byte > ' ') {
    if (length < name_limit) {
      buffer[length++] = (char)byte;
    } else {
      fits = 0;
    }
    byte = rx_get();
  }
  buffer[length] = '\0';
  return fits;
}

void read_token(char *buffer) {
  read_word(buffer);
}

static int is_letter(int byte, char upper) {
  return byte == upper || byte == upper + ('a' - 'A');
}

// A name that did not fit is refused rather than cut: a cut name could open or
// overwrite another file than the one the target asked for.
static void refuse_long_name(int letter) {
  if (!is_letter(letter, 'L') && !is_letter(letter, 'V') && !is_letter(letter, 'S')) {
    return;  // an unknown request gets no reply, whatever its name
  }
  host_message("File name longer than %d bytes, request refused\n", name_limit);
  fflush(stdout);
  send_byte(refuse_mark);
}

static void dispatch(int letter, const char *name) {
  if (is_letter(letter, 'L') || is_letter(letter, 'V')) {
    int verify = is_letter(letter, 'V') ? 1 : 0;
    if (binary_mode == 1) {
      download_binary(name, verify);
    } else {
      download_text(name, verify);
    }
  } else if (is_letter(letter, 'S')) {
    upload_to_file(name);
  }
}

// A request cut short by a lost link is not served: the board that asked has gone.
void serve_request(void) {
  char name[name_limit + 1];
  send_byte(ready_mark);
  int letter = rx_get();
  rx_get();  // the byte after the letter is dropped, whatever it is
  int fits = read_word(name);
  if (link_is_lost()) {
    return;
  }
  if (!fits) {
    refuse_long_name(letter);
    return;
  }
  dispatch(letter, name);
}

// A save cut short by a lost link keeps what was received before the loss.
static void save_cut_short(FILE *file, const char *name, long saved) {
  int closed = fclose(file) == 0;
  host_message("File <%s> is incomplete: it holds the %ld bytes received before the port was lost%s\n",
               name, saved, closed ? "" : " (closing it failed)");
}

// Save: everything from the first 'S' or 'Q' up to a '>' goes into the file byte for
// byte; a '+' asks for the first line and for the next one after each carriage return.
void upload_to_file(const char *name) {
  FILE *file = fopen(name, "wb");
  if (file == nullptr) {
    host_message("Can't open file for writing <%s>\n", name);
    fflush(stdout);
    send_byte(refuse_mark);
    return;
  }
  host_message("Saving to file <%s>\n", name);
  fflush(stdout);
  send_byte(line_mark);
  int byte = rx_get();
  while (byte != 'S' && byte != 'Q' && byte != RX_LOST) {
    byte = rx_get();
  }
  int write_failed = 0;
  long saved = 0;
  while (byte != refuse_mark) {
    if (byte == RX_LOST) {
      save_cut_short(file, name, saved);
      return;
    }
    if (fputc(byte & 0xFF, file) == EOF) {
      write_failed = 1;  // keep taking the text so that the target stays in step
    } else {
      saved += 1;
    }
    show_progress(byte);
    byte = rx_get();
    if (byte == '\r') {
      send_byte(line_mark);
    }
  }
  if (fclose(file) != 0 || write_failed) {
    host_message("Error writing file <%s>\n", name);
    fflush(stdout);
  }
}
