// Text-mode reading of download files: CR LF becomes LF, a lone CR stays, and the
// byte 0x1A ends the file. Done by hand so that every platform reads the same bytes.
#include "host/text_file.h"

#include <sys/stat.h>

static const int end_of_file_byte = 0x1A;

int text_file_open(TextFile *file, const char *name) {
  file->stream = nullptr;
  file->pending = -1;
  file->ended = 1;
  FILE *stream = fopen(name, "rb");
  if (stream == nullptr) {
    return 0;
  }
  // fopen happily opens a directory on some platforms; reading it then fails.
  struct stat info;
  if (fstat(fileno(stream), &info) != 0 || (info.st_mode & S_IFMT) == S_IFDIR) {
    fclose(stream);
    return 0;
  }
  file->stream = stream;
  file->ended = 0;
  return 1;
}

// One raw byte, with 0x1A and read errors ending the file for good.
static int raw_byte(TextFile *file) {
  if (file->pending >= 0) {
    int byte = file->pending;
    file->pending = -1;
    return byte;
  }
  int byte = fgetc(file->stream);
  if (byte == EOF || byte == end_of_file_byte) {
    file->ended = 1;
    return -1;
  }
  return byte;
}

int text_file_getc(TextFile *file) {
  if (file->ended && file->pending < 0) {
    return -1;
  }
  int byte = raw_byte(file);
  if (byte != '\r' || file->ended) {
    return byte;
  }
  int next = raw_byte(file);
  if (next == '\n') {
    return '\n';
  }
  file->pending = next;  // -1 when the CR was the last byte: nothing to keep
  return '\r';
}

void text_file_close(TextFile *file) {
  if (file->stream != nullptr) {
    fclose(file->stream);
  }
  file->stream = nullptr;
  file->pending = -1;
  file->ended = 1;
}
