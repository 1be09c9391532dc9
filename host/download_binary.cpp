// The binary download: the file is read as Motorola S-records, each record goes to
// the target as 'R', its type, its count and count bytes made from its digit pairs,
// and the target answers ACK (next), NAK (again) or EOT (end the host program).
// A record is built whole in record_buffer and queued with one send_bytes: byte by
// byte, each byte woke the library's writer for a device write of its own.
#include <stdio.h>

#include "host/download.h"
#include "host/host.h"

static const int eot = 0x04;
static const int ack = 0x06;
static const int nak = 0x15;

// A record is 'R', the type, the count and count bytes; this many bytes fit behind
// the first three in record_buffer.
static const int record_count_limit = RECORD_BUFFER_SIZE - 3;

unsigned char record_buffer[RECORD_BUFFER_SIZE];
int record_length = 0;

// One binary download's parser; all of it lives for one request.
struct RecordParser {
  TextFile *file;
  int state;           // 0 between records, 1 type, 2 count, 3 address, 4 data
  int type;            // the record type character, as read
  int count;           // bytes of the record still to send after the count
  int address_length;  // of the last S1, S2 or S3 record; 0 before any
};

int hex_digit_value(int character) {
  if (character >= '0' && character <= '9') {
    return character - '0';
  }
  if (character >= 'A' && character <= 'F') {
    return character - 'A' + 10;
  }
  if (character >= 'a' && character <= 'f') {
    return character - 'a' + 10;
  }
  return -1;
}

void send_record_byte(int byte) {
  if (record_length < RECORD_BUFFER_SIZE) {  // callers never pass the limit
    record_buffer[record_length++] = (unsigned char)(byte & 0xFF);
  }
}

void resend_record(void) {
  send_bytes(record_buffer, record_length);
}

// A digit pair whose first digit is already read. Non-hex digits and the end of the
// file count as -1, so the value can be negative; the byte sent is its low 8 bits.
static int pair_value(RecordParser *parser, int first) {
  int second = read_file_char(parser->file);
  return 16 * hex_digit_value(first) + hex_digit_value(second);
}

// Sends n bytes from digit pairs; the first digit of the first pair is already read.
// Past the end of the file every digit reads as -1, so the record is still completed.
static void send_pairs(RecordParser *parser, int first, int n) {
  send_record_byte(pair_value(parser, first));
  for (int i = 1; i < n; i++) {
    send_record_byte(pair_value(parser, read_file_char(parser->file)));
  }
}

// Sends the record and waits for the target's answer.
static void handshake(void) {
  resend_record();
  for (;;) {
    int byte = rx_get();
    if (byte == ack) {
      return;
    }
    if (byte == nak) {
      resend_record();
    } else if (byte == eot) {
      end_program(0);  // the target ends the host program; the port is left as it is
    }
  }
}

// State 2: the count is known, so the record will go out once it is complete. A file
// that ends before the count sends nothing of that record, and the target, still
// waiting for an 'R', stays in step.
// The count is taken as the byte that goes out (0 to 255), so that the target always
// receives exactly as many bytes as the count it was sent, even when the count digits
// are not hex digits. A record that does not fit record_buffer is not sent at all: the
// user is told and the rest of it is passed over like text between records.
static void start_record(RecordParser *parser, int first_digit) {
  parser->count = pair_value(parser, first_digit) & 0xFF;
  if (parser->count > record_count_limit) {
    host_message("Record too long (count %d), not sent\n", parser->count);
    fflush(stdout);
    record_length = 0;
    parser->state = 0;
    return;
  }
  send_record_byte(parser->count);
  int type = parser->type;
  parser->state = (type == '0' || type >= '7') ? 4 : 3;
}

// The number of address bytes of this record. S4, S5, S6 (and types below '0') keep
// the length of the last S1, S2 or S3 record. The length is bounded by the count, so
// that an address never reads past its own record (an S5 with count 3 after S3
// records would otherwise take a fourth pair, the 'S' of the next record with it),
// and it is at least 1 when there is anything to read, since a length of 0 would pass
// over the first digit. Before any S1, S2 or S3 the length is unset and so becomes 1;
// any length from 1 to the count sends the same bytes.
static int address_length(RecordParser *parser) {
  if (parser->type >= '1' && parser->type <= '3') {
    parser->address_length = parser->type - '1' + 2;
  }
  int length = parser->address_length;
  if (length > parser->count) {
    length = parser->count;
  }
  if (length < 1 && parser->count >= 1) {
    length = 1;
  }
  return length;
}

// State 4: the rest of the record (data and checksum), then the target's answer.
// When the count is 0 the character in hand is passed over.
static void send_data(RecordParser *parser, int first_digit) {
  if (parser->count > 0) {
    send_pairs(parser, first_digit, parser->count);
  }
  handshake();
  parser->state = 0;
}

static void parse_character(RecordParser *parser, int character) {
  switch (parser->state) {
  case 0:
    if (character == 'S') {
      record_length = 0;
      record_buffer[record_length++] = 'R';
      parser->state = 1;
    }
    break;
  case 1:
    parser->type = character;
    record_buffer[record_length++] = (unsigned char)character;
    parser->state = 2;
    break;
  case 2:
    start_record(parser, character);
    break;
  case 3: {
    int length = address_length(parser);
    if (length == 0) {  // count 0: nothing to read, the data step takes this character
      send_data(parser, character);
      break;
    }
    send_pairs(parser, character, length);
    parser->count -= length;
    parser->state = 4;
    break;
  }
  default:
    send_data(parser, character);
    break;
  }
}

// A file that ends inside a record after its count still has the record completed to
// its count (each missing digit reads as -1, so a missing pair goes out as 0xEF) and
// answered by the target; a file that ends before the count has sent nothing of it.
// Nothing is sent after the last record.
void download_binary(const char *name, int verify) {
  TextFile file;
  if (!open_download(&file, name, verify)) {
    return;
  }
  RecordParser parser = {&file, 0, 0, 0, 0};
  int character = read_file_char(&file);
  while (character >= 0) {
    parse_character(&parser, character);
    character = read_file_char(&file);
  }
  // The count has gone out: finish the record from the end-of-file value.
  while (parser.state == 3 || parser.state == 4) {
    parse_character(&parser, character);
  }
  text_file_close(&file);
}
