// The board's Motorola S-records: decoding a text record or a binary record from the
// host, checking its checksum, and writing records for a save.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Outcome of decoding one record.
enum SrecStatus {
  SREC_OK = 0,
  SREC_NOT_A_RECORD,    // text that does not start with 'S'
  SREC_BAD_TYPE,        // a type other than 0, 1, 2, 3, 5, 6, 7, 8, 9
  SREC_BAD_DIGIT,       // a character that is not a hex digit where a pair belongs
  SREC_TOO_SHORT,       // fewer bytes than the count, or a count below address + checksum
  SREC_TOO_LONG,        // more hex digits after the checksum
  SREC_BAD_CHECKSUM,    // well formed, but the checksum does not match
};

// One decoded record. For types 0, 1, 2, 3 the data are the bytes after the address;
// for 5 and 6 the address field holds the record count, for 7, 8, 9 the start address.
struct SrecRecord {
  char type;            // '0'..'9'
  uint8_t count;        // the count byte: address, data and checksum bytes
  uint32_t address;
  uint8_t data[255];
  int data_length;
  uint8_t checksum;     // the checksum byte found in the record
};

// Bytes in the address field of a record type, or -1 for a type the board rejects.
int srec_address_length(char type);

// True for the types whose data go into memory (1, 2, 3) and for the end records (7, 8, 9).
bool srec_is_data(char type);
bool srec_is_end(char type);

// The checksum over the count byte and the bytes that follow it (address and data):
// the ones' complement of the low byte of their sum.
uint8_t srec_checksum(uint8_t count, const uint8_t *bytes, int length);

// Decodes a text record: 'S', type, count pair, then count digit pairs. Trailing
// blanks and line ends are allowed; anything else after the checksum is refused.
// On SREC_BAD_CHECKSUM the record is still filled in.
SrecStatus srec_parse_text(const char *text, size_t length, SrecRecord *record);

// Decodes a record as the host sends it in binary after its 'R': the type character,
// the count byte and then `length` - 2 further bytes.
SrecStatus srec_parse_binary(const uint8_t *bytes, size_t length, SrecRecord *record);

// Writes the text of one record (no line end) into `out` and returns its length, or
// 0 when it does not fit or the record is impossible (too many bytes for a count).
int srec_format(char *out, size_t size, char type, uint32_t address,
                const uint8_t *data, int length);

// Short words for a status, for the board's messages ("bad checksum").
const char *srec_status_text(SrecStatus status);
