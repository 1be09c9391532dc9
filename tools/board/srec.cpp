// Decoding and writing Motorola S-records for the simulated board.
#include "srec.h"

#include <stdio.h>
#include <string.h>

int srec_address_length(char type) {
  switch (type) {
    case '0': case '1': case '5': case '9': return 2;
    case '2': case '6': case '8': return 3;
    case '3': case '7': return 4;
    default: return -1;  // '4' is reserved, anything else is no type at all
  }
}

bool srec_is_data(char type) { return type == '1' || type == '2' || type == '3'; }

bool srec_is_end(char type) { return type == '7' || type == '8' || type == '9'; }

uint8_t srec_checksum(uint8_t count, const uint8_t *bytes, int length) {
  unsigned sum = count;
  for (int i = 0; i < length; i++) sum += bytes[i];
  return (uint8_t)~sum;
}

// Fills `record` from a type, a count and the count bytes that follow it.
static SrecStatus decode_body(char type, uint8_t count, const uint8_t *body,
                              SrecRecord *record) {
  int address_length = srec_address_length(type);
  if (address_length < 0) return SREC_BAD_TYPE;
  if (count < address_length + 1) return SREC_TOO_SHORT;
  record->type = type;
  record->count = count;
  record->address = 0;
  for (int i = 0; i < address_length; i++) record->address = (record->address << 8) | body[i];
  record->data_length = count - address_length - 1;
  memcpy(record->data, body + address_length, (size_t)record->data_length);
  record->checksum = body[count - 1];
  if (srec_checksum(count, body, count - 1) != record->checksum) return SREC_BAD_CHECKSUM;
  return SREC_OK;
}

static int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The byte of the digit pair at text[at], or -1 when either digit is missing or bad.
static int pair_value(const char *text, size_t length, size_t at) {
  if (at + 2 > length) return -1;
  int high = hex_value(text[at]), low = hex_value(text[at + 1]);
  if (high < 0 || low < 0) return -1;
  return high * 16 + low;
}

static bool only_line_end(const char *text, size_t length, size_t at) {
  for (; at < length; at++)
    if (text[at] != ' ' && text[at] != '\t' && text[at] != '\r' && text[at] != '\n')
      return false;
  return true;
}

SrecStatus srec_parse_text(const char *text, size_t length, SrecRecord *record) {
  if (length < 1 || text[0] != 'S') return SREC_NOT_A_RECORD;
  if (length < 2 || srec_address_length(text[1]) < 0) return SREC_BAD_TYPE;
  int count = pair_value(text, length, 2);
  if (count < 0) return length < 4 ? SREC_TOO_SHORT : SREC_BAD_DIGIT;
  uint8_t body[255];
  for (int i = 0; i < count; i++) {
    size_t at = 4 + 2 * (size_t)i;
    int value = pair_value(text, length, at);
    if (value < 0) return at + 2 > length || only_line_end(text, length, at) ? SREC_TOO_SHORT
                                                                           : SREC_BAD_DIGIT;
    body[i] = (uint8_t)value;
  }
  SrecStatus status = decode_body(text[1], (uint8_t)count, body, record);
  if (status != SREC_OK && status != SREC_BAD_CHECKSUM) return status;
  if (!only_line_end(text, length, 4 + 2 * (size_t)count)) return SREC_TOO_LONG;
  return status;
}

SrecStatus srec_parse_binary(const uint8_t *bytes, size_t length, SrecRecord *record) {
  if (length < 2) return SREC_TOO_SHORT;
  uint8_t count = bytes[1];
  if (length < 2 + (size_t)count) return SREC_TOO_SHORT;
  if (length > 2 + (size_t)count) return SREC_TOO_LONG;
  return decode_body((char)bytes[0], count, bytes + 2, record);
}

int srec_format(char *out, size_t size, char type, uint32_t address,
                const uint8_t *data, int length) {
  int address_length = srec_address_length(type);
  if (address_length < 0 || length < 0 || address_length + length + 1 > 255) return 0;
  uint8_t body[255];
  int n = 0;
  for (int i = address_length - 1; i >= 0; i--) body[n++] = (uint8_t)(address >> (8 * i));
  if (length > 0) memcpy(body + n, data, (size_t)length);
  n += length;
  uint8_t count = (uint8_t)(n + 1);
  body[n] = srec_checksum(count, body, n);
  size_t needed = 4 + 2 * (size_t)count + 1;  // 'S', type, count pair, pairs, zero
  if (needed > size) return 0;
  int written = snprintf(out, size, "S%c%02X", type, count);
  for (int i = 0; i <= n; i++) written += snprintf(out + written, size - (size_t)written, "%02X", body[i]);
  return written;
}

const char *srec_status_text(SrecStatus status) {
  switch (status) {
    case SREC_OK: return "good";
    case SREC_NOT_A_RECORD: return "not a record";
    case SREC_BAD_TYPE: return "unknown record type";
    case SREC_BAD_DIGIT: return "bad hex digit";
    case SREC_TOO_SHORT: return "record too short";
    case SREC_TOO_LONG: return "record too long";
    case SREC_BAD_CHECKSUM: return "bad checksum";
  }
  return "?";
}
