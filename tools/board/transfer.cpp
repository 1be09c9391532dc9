// The file services the board asks of the host: load, verify, type and go (a download
// from the host, in text echo or binary records), and save (an upload paced by '+').
#include "board.h"

#include <stdio.h>
#include <string.h>

#include <string>

#include "memory.h"
#include "srec.h"

namespace {

enum : uint8_t { ENQ = 0x05, ACK = 0x06, EOT = 0x04, NAK = 0x15 };

// How the host sends files. Its /B switch is set at its start and holds for its whole
// run, so the first download that shows the mode tells it for good.
enum HostMode { MODE_UNKNOWN, MODE_TEXT, MODE_BINARY };

// All of this is the monitor thread's.
HostMode host_mode;
bool started;
uint32_t started_at;
bool have_entry;          // start address of the last load, offered again by a save
uint32_t entry_address;

// What one download found.
struct Download {
  TransferKind kind;
  long records, bad_records, other_lines, naks;
  long first_bad;                // line (text) or record (binary) number
  SrecStatus first_bad_status;
  long line_number;              // text: lines seen so far, from 1
  uint64_t bytes;                // data bytes stored or compared
  uint32_t low, high;
  long mismatches;
  uint32_t first_mismatch;
  uint8_t board_byte, file_byte;
  bool have_start;
  uint32_t start;
  long count_record;             // value of the last S5/S6, -1 when none
  long data_records;
  char header[80];
  bool memory_full;
  std::string line;              // text: the line being gathered
  std::string text;              // type: the file's text
  bool failed;                   // the exchange itself went wrong
};

const int TYPE_LIMIT = 64 * 1024;  // the most of a file `type` keeps for showing

const char *kind_name(TransferKind kind) {
  switch (kind) {
    case TRANSFER_LOAD: return "load";
    case TRANSFER_VERIFY: return "verify";
    case TRANSFER_TYPE: return "type";
    case TRANSFER_GO: return "go";
  }
  return "?";
}

// Takes bytes until `wanted` (true) or one of `other` (false stays, *got holds it),
// dropping the rest; false also on a time-out or a stop.
bool wait_for(uint8_t wanted, int timeout_ms, int *got) {
  for (;;) {
    int c = line_get(timeout_ms);
    *got = c;
    if (c < 0) return false;
    if (c == wanted) return true;
  }
}

// Sends ENQ and the request line; true when the host answered '*'.
bool send_request(char letter, const char *name) {
  line_put_byte(ENQ);
  int got;
  if (!wait_for('*', board_options.reply_ms, &got)) {
    if (got == LINE_TIMEOUT) line_say("no answer from the host to ENQ (is it tavo?)\n");
    return false;
  }
  char request[300];
  int n = snprintf(request, sizeof request, "%c %s\r", letter, name);
  line_put(request, (size_t)n);
  return true;
}

// After the host has refused a request with '>' and we have started a new one with
// ENQ and got its '*': end that one with a letter that asks for nothing.
void cancel_request(void) { line_put("X \r", 3); }

// --- what the records do ---

void store_or_compare(Download *d, const SrecRecord &r) {
  d->data_records++;
  for (int i = 0; i < r.data_length; i++) {
    uint32_t address = r.address + (uint32_t)i;
    if (d->kind == TRANSFER_VERIFY) {
      uint8_t have = memory_read(address);
      if (have != r.data[i] && d->mismatches++ == 0) {
        d->first_mismatch = address;
        d->board_byte = have;
        d->file_byte = r.data[i];
      }
    } else if (!memory_write(address, r.data[i])) {
      d->memory_full = true;
      return;
    }
    if (d->bytes == 0 || address < d->low) d->low = address;
    if (d->bytes == 0 || address > d->high) d->high = address;
    d->bytes++;
  }
}

void apply_record(Download *d, const SrecRecord &r) {
  d->records++;
  if (d->kind == TRANSFER_TYPE) return;
  if (srec_is_data(r.type)) {
    store_or_compare(d, r);
  } else if (r.type == '0') {
    int n = 0;
    for (int i = 0; i < r.data_length && n < (int)sizeof d->header - 1; i++)
      if (r.data[i] >= 0x20 && r.data[i] < 0x7F) d->header[n++] = (char)r.data[i];
    d->header[n] = 0;
  } else if (r.type == '5' || r.type == '6') {
    d->count_record = (long)r.address;
  } else if (srec_is_end(r.type)) {
    d->have_start = true;
    d->start = r.address;
  }
}

void note_bad(Download *d, long where, SrecStatus status) {
  if (d->bad_records++ == 0) {
    d->first_bad = where;
    d->first_bad_status = status;
  }
}

// --- text echo ---

void end_text_line(Download *d) {
  std::string &line = d->line;
  size_t first = line.find_first_not_of(" \t");
  if (first == std::string::npos) {
    line.clear();
    return;
  }
  if (line[first] != 'S') {
    d->other_lines++;
  } else {
    SrecRecord record;
    SrecStatus status = srec_parse_text(line.data() + first, line.size() - first, &record);
    if (status == SREC_OK) apply_record(d, record);
    else note_bad(d, d->line_number, status);
  }
  line.clear();
}

void text_char(Download *d, int c) {
  if (d->kind == TRANSFER_TYPE) {
    if ((int)d->text.size() < TYPE_LIMIT) d->text += (char)c;
    return;
  }
  if (c == '\n' || c == '\r') {
    end_text_line(d);
    if (c == '\n') d->line_number++;
  } else if (d->line.size() < 1024) {
    d->line += (char)c;
  }
}

// Ends a text download from our side: '>' instead of an echo; the host answers ACK.
void abort_text(void) {
  line_put_byte('>');
  int got;
  wait_for(ACK, board_options.reply_ms, &got);
}

enum GtOutcome { GT_END, GT_FILE_CHAR, GT_REFUSED, GT_LOST };

// A '>' from the host is its end of a text download, a '>' in the file waiting for
// its echo, or its refusal to open the file. An ENQ tells them apart: the end is
// answered with ACK, a refusal has left the host in its terminal loop, where the ENQ
// starts a new request and gets '*', and a file byte waiting for its echo gets nothing.
GtOutcome after_greater_than(void) {
  line_put_byte(ENQ);
  for (;;) {
    int c = line_get(board_options.quiet_ms);
    if (c == ACK) return GT_END;
    if (c == '*') {
      cancel_request();
      return GT_REFUSED;
    }
    if (c == LINE_TIMEOUT) {
      line_put_byte('>');
      return GT_FILE_CHAR;
    }
    if (c == LINE_STOPPED) return GT_LOST;
  }
}

// Text echo download from its first byte on; false when it could not be finished.
// Sets *refused when the host could not open the file.
bool receive_text(Download *d, int c, bool *refused) {
  bool first = true;
  for (;;) {
    if (c == '>') {
      GtOutcome outcome = after_greater_than();
      if (outcome == GT_REFUSED && first) *refused = true;
      if (outcome == GT_LOST) return false;
      if (outcome != GT_FILE_CHAR) break;
      text_char(d, c);
    } else if (d->kind == TRANSFER_GO || d->memory_full) {
      abort_text();
      break;
    } else {
      line_put_byte((uint8_t)c);
      text_char(d, c);
    }
    first = false;
    c = line_get(board_options.reply_ms);
    if (c < 0) {
      if (c == LINE_TIMEOUT) line_say("the host stopped sending in the middle of the file\n");
      return false;
    }
  }
  if (!d->line.empty()) end_text_line(d);
  if (!*refused) host_mode = MODE_TEXT;
  return true;
}

// --- binary records ---

// Reads the rest of a record after its 'R' (type, count, bytes) into `bytes`.
bool read_record(int type, uint8_t *bytes, size_t *length) {
  int c = type >= 0 ? type : line_get(board_options.reply_ms);
  if (c < 0) return false;
  bytes[0] = (uint8_t)c;
  if ((c = line_get(board_options.reply_ms)) < 0) return false;
  bytes[1] = (uint8_t)c;
  for (int i = 0; i < bytes[1]; i++) {
    if ((c = line_get(board_options.reply_ms)) < 0) return false;
    bytes[2 + i] = (uint8_t)c;
  }
  *length = 2 + (size_t)bytes[1];
  return true;
}

// Binary download from the byte after the first 'R'. Each record is answered: ACK when
// good, NAK when not (the host sends it again) up to the retry limit, after which it
// is taken as bad and skipped with ACK; EOT for the end record of `go`.
bool receive_binary(Download *d, int type) {
  host_mode = MODE_BINARY;
  long record_number = 0, naks_in_a_row = 0;
  for (;;) {
    uint8_t bytes[2 + 255];
    size_t length;
    if (!read_record(type, bytes, &length)) {
      if (!line_stopped()) line_say("the host stopped in the middle of a record\n");
      return false;
    }
    SrecRecord record;
    SrecStatus status = srec_parse_binary(bytes, length, &record);
    if (status == SREC_OK || d->kind == TRANSFER_TYPE) {
      naks_in_a_row = 0;
      record_number++;
      if (status == SREC_OK) apply_record(d, record);
      if (d->kind == TRANSFER_GO && status == SREC_OK && srec_is_end(record.type)) {
        started = true;
        started_at = record.address;
        line_log("go: program started at %08X, host ended with EOT\n", record.address);
        line_put_byte(EOT);
        return true;
      }
      line_put_byte(ACK);
    } else if (naks_in_a_row < board_options.retries) {
      naks_in_a_row++;
      d->naks++;
      line_put_byte(NAK);
    } else {
      naks_in_a_row = 0;
      note_bad(d, ++record_number, status);
      line_put_byte(ACK);
    }
    // The next record, or silence when the file has ended.
    int c;
    do c = line_get(board_options.quiet_ms);
    while (c >= 0 && c != 'R');
    if (c == LINE_TIMEOUT) return true;
    if (c == LINE_STOPPED) return false;
    type = -1;
  }
}

// --- reports ---

void report_download(const Download &d, const char *name) {
  if (d.kind == TRANSFER_TYPE) {
    line_say("----- %s (%zu bytes%s)\n", name, d.text.size(),
             (int)d.text.size() >= TYPE_LIMIT ? ", cut" : "");
    line_say("%s", d.text.c_str());
    if (!d.text.empty() && d.text.back() != '\n') line_say("\n");
    line_say("-----\n");
    return;
  }
  if (d.header[0]) line_say("header: %s\n", d.header);
  line_say("%ld records, %ld with data", d.records, d.data_records);
  if (d.bytes > 0)
    line_say(", %llu bytes at %08X-%08X", (unsigned long long)d.bytes, d.low, d.high);
  line_say("\n");
  if (d.other_lines) line_say("%ld lines that are not records skipped\n", d.other_lines);
  if (d.naks) line_say("%ld NAKs sent for bad records\n", d.naks);
  if (d.bad_records)
    line_say("%ld bad records, the first at %s %ld: %s\n", d.bad_records,
             host_mode == MODE_BINARY ? "record" : "line", d.first_bad,
             srec_status_text(d.first_bad_status));
  if (d.count_record >= 0 && d.count_record != d.data_records)
    line_say("the count record says %ld data records, %ld came\n", d.count_record, d.data_records);
  if (d.have_start) line_say("start address %08X\n", d.start);
  if (d.memory_full) line_say("memory full: the board holds at most 16 MiB\n");
  if (d.kind == TRANSFER_VERIFY) {
    if (d.mismatches == 0) line_say("verify: all %llu bytes match\n", (unsigned long long)d.bytes);
    else
      line_say("verify: %ld bytes differ, the first at %08X: board %02X, file %02X\n",
               d.mismatches, d.first_mismatch, d.board_byte, d.file_byte);
  }
}

bool download_ok(const Download &d) {
  if (d.failed || d.bad_records || d.memory_full) return false;
  if (d.kind == TRANSFER_VERIFY) return d.mismatches == 0;
  return true;
}

bool name_ok(const char *name) {
  size_t length = strlen(name);
  if (length == 0 || length > 255) {
    line_say("a file name has 1 to 255 characters\n");
    return false;
  }
  for (const char *c = name; *c; c++)
    if (*c <= 0x20 || *c >= 0x7F) {
      line_say("a file name is printable ASCII without blanks\n");
      return false;
    }
  return true;
}

// The first byte of a download tells its mode: 'R' starts a binary record (the host
// sends the type at once; in text mode it waits for our echo of the 'R' instead);
// nothing at all is a binary download of a file without records.
enum FirstByte { FIRST_TEXT, FIRST_BINARY, FIRST_NOTHING, FIRST_LOST };

FirstByte first_byte(int *c, int *type) {
  int wait = host_mode == MODE_TEXT ? board_options.reply_ms : 3 * board_options.quiet_ms;
  *c = line_get(wait);
  if (*c == LINE_TIMEOUT) return host_mode == MODE_TEXT ? FIRST_LOST : FIRST_NOTHING;
  if (*c == LINE_STOPPED) return FIRST_LOST;
  if (*c != 'R' || host_mode == MODE_TEXT) return FIRST_TEXT;
  if (host_mode == MODE_BINARY) {
    *type = -1;
    return FIRST_BINARY;
  }
  *type = line_get(board_options.quiet_ms);
  if (*type == LINE_STOPPED) return FIRST_LOST;
  return *type == LINE_TIMEOUT ? FIRST_TEXT : FIRST_BINARY;
}

}  // namespace

bool transfer_download(const char *name, TransferKind kind) {
  if (!name_ok(name)) return false;
  char letter = kind == TRANSFER_VERIFY ? 'V' : 'L';
  if (!send_request(letter, name)) return false;
  Download d{};
  d.kind = kind;
  d.count_record = -1;
  d.line_number = 1;
  bool refused = false;
  int c, type;
  switch (first_byte(&c, &type)) {
    case FIRST_TEXT: d.failed = !receive_text(&d, c, &refused); break;
    case FIRST_BINARY: d.failed = !receive_binary(&d, type); break;
    case FIRST_NOTHING:
      host_mode = MODE_BINARY;
      line_say("no records came from the host\n");
      break;
    case FIRST_LOST:
      if (!line_stopped()) line_say("no data from the host\n");
      return false;
  }
  if (kind == TRANSFER_GO && started) return true;  // the host is ending
  if (line_stopped()) return false;
  if (refused) {
    line_say("%s: the host cannot open %s\n", kind_name(kind), name);
    return false;
  }
  if (kind == TRANSFER_GO && host_mode == MODE_TEXT) {
    line_say("go: needs tavo started with /B (binary records); nothing was run\n");
    return false;
  }
  if (kind == TRANSFER_TYPE && host_mode == MODE_BINARY) {
    line_say("type: tavo runs with /B and sends only records; start it without /B\n");
    return false;
  }
  report_download(d, name);
  if (d.have_start) {
    have_entry = true;
    entry_address = d.start;
  }
  if (kind == TRANSFER_GO) line_say("go: the file has no good end record; nothing was run\n");
  return kind != TRANSFER_GO && download_ok(d);
}

bool transfer_started(uint32_t *address) {
  *address = started_at;
  return started;
}

// --- save ---

namespace {

// Sends one record line and waits for the host's '+' that its carriage return earns.
bool send_paced(const char *text, int length) {
  line_put(text, (size_t)length);
  line_put("\r\n", 2);
  int got;
  if (wait_for('+', board_options.reply_ms, &got)) return true;
  if (got == LINE_TIMEOUT) line_say("\nsave: the host stopped answering '+'\n");
  return false;
}

char record_type_for(uint64_t highest) {
  return highest <= 0xFFFF ? '1' : highest <= 0xFFFFFF ? '2' : '3';
}

struct SaveRange {
  uint32_t start;
  uint64_t length;
};

std::vector<SaveRange> ranges_to_save(uint32_t start, uint64_t length) {
  std::vector<SaveRange> ranges;
  if (length > 0) {
    ranges.push_back({start, length});
    return ranges;
  }
  uint32_t at;
  uint64_t n;
  for (uint64_t from = 0; memory_next_range(from, &at, &n); from = (uint64_t)at + n)
    ranges.push_back({at, n});
  return ranges;
}

// The records of one range, 16 data bytes each; false when the host stopped.
bool save_range(const SaveRange &range, char type, long *records) {
  for (uint64_t done = 0; done < range.length;) {
    uint8_t data[16];
    int n = 0;
    uint32_t address = (uint32_t)(range.start + done);
    while (n < 16 && done < range.length) data[n++] = memory_read((uint32_t)(range.start + done++));
    char text[600];
    int length = srec_format(text, sizeof text, type, address, data, n);
    if (!send_paced(text, length)) return false;
    (*records)++;
  }
  return true;
}

}  // namespace

bool transfer_save(const char *name, uint32_t start, uint64_t length) {
  if (!name_ok(name)) return false;
  std::vector<SaveRange> ranges = ranges_to_save(start, length);
  if (ranges.empty()) {
    line_say("save: the memory is empty\n");
    return false;
  }
  const SaveRange &last = ranges.back();
  char type = record_type_for(last.start + last.length - 1);
  if (!send_request('S', name)) return false;
  int got;
  for (;;) {
    got = line_get(board_options.reply_ms);
    if (got == '+' || got < 0) break;
    if (got == '>') {
      line_say("save: the host cannot write %s\n", name);
      return false;
    }
  }
  if (got < 0) {
    if (got == LINE_TIMEOUT) line_say("save: no '+' from the host\n");
    return false;
  }
  char text[600];
  static const uint8_t header[] = "tavo-board";
  if (!send_paced(text, srec_format(text, sizeof text, '0', 0, header, sizeof header - 1)))
    return false;
  long records = 0;
  uint64_t bytes = 0;
  for (const SaveRange &range : ranges) {
    if (!save_range(range, type, &records)) return false;
    bytes += range.length;
  }
  if (records <= 0xFFFFFF &&
      !send_paced(text, srec_format(text, sizeof text, records <= 0xFFFF ? '5' : '6',
                                    (uint32_t)records, nullptr, 0)))
    return false;
  char end = type == '1' ? '9' : type == '2' ? '8' : '7';
  if (!send_paced(text, srec_format(text, sizeof text, end, have_entry ? entry_address : 0,
                                    nullptr, 0)))
    return false;
  line_put_byte('>');
  line_say("saved %llu bytes in %ld S%c records to %s\n", (unsigned long long)bytes, records,
           type, name);
  return true;
}
