// Reading a download file in text mode, the same on every platform: the file is read
// in binary and translated here (CR LF becomes LF, a lone CR stays, 0x1A ends it).
#pragma once

#include <stdio.h>

struct TextFile {
  FILE *stream;   // opened in binary; null when not open
  int pending;    // a byte read ahead after a CR, or -1 when none
  int ended;      // 1 once the end (true end, read error or 0x1A) has been met
};

// Opens the named file for reading; 1 on success, 0 when it cannot be opened (a
// directory cannot be opened either).
int text_file_open(TextFile *file, const char *name);

// The next character (0 to 255) or -1 at the end; keeps giving -1 once ended.
int text_file_getc(TextFile *file);

void text_file_close(TextFile *file);
