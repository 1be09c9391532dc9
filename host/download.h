// Pieces shared by the two downloads (text echo and binary records) and by their tests.
#pragma once

#include "host/text_file.h"

// The binary record being sent, from its 'R' on, kept so that a NAK can have it again.
// Main thread only.
#define RECORD_BUFFER_SIZE 200
extern unsigned char record_buffer[RECORD_BUFFER_SIZE];
extern int record_length;

// Opens name for a download and says so ("Loading from file <name>" or "Verifying
// from file <name>"); when it cannot be opened, says that and answers '>'. 1 when open.
int open_download(TextFile *file, const char *name, int verify);

// The next character of the file (0 to 255) or -1 at its end; every value it returns
// has gone through show_progress first.
int read_file_char(TextFile *file);

void send_record_byte(int byte);  // adds a byte to the record being built
void resend_record(void);         // queues record_buffer whole
