// The board's ROM monitor: a command line read from the host, with echo and simple
// editing, and the commands that show and change memory or ask the host for files.
#include "board.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "memory.h"

namespace {

const char PROMPT[] = "board> ";
const int LINE_LIMIT = 300;

// The monitor thread's own.
uint32_t dump_next;  // where a dump without an address goes on

// Reads a hex number (an optional 0x or $ in front) up to `limit`; false if bad.
bool parse_number(const char *text, uint64_t limit, uint64_t *value) {
  if (!text) return false;
  if (text[0] == '$') text++;
  else if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text += 2;
  if (!*text || strlen(text) > 9) return false;
  char *end;
  unsigned long long v = strtoull(text, &end, 16);
  if (*end || v > limit) return false;
  *value = v;
  return true;
}

bool parse_address(const char *text, uint32_t *address) {
  uint64_t v;
  if (!parse_number(text, 0xFFFFFFFFull, &v)) {
    line_say("bad address: %s\n", text ? text : "(none)");
    return false;
  }
  *address = (uint32_t)v;
  return true;
}

// A length that stays inside the 32-bit address space from `start`.
bool parse_length(const char *text, uint32_t start, uint64_t *length) {
  if (!parse_number(text, 0x100000000ull - start, length) || *length == 0) {
    line_say("bad length: %s\n", text ? text : "(none)");
    return false;
  }
  return true;
}

bool need_words(int count, int least, int most) {
  if (count - 1 >= least && count - 1 <= most) return true;
  line_say("wrong number of arguments; see help\n");
  return false;
}

// --- commands; words[0] is the command ---

bool do_help(int, char **) {
  line_say(
      "Commands (numbers are hex):\n"
      "  load FILE          load an S-record file from the host into memory\n"
      "  verify FILE        compare memory with an S-record file on the host\n"
      "  type FILE          show a text file from the host (tavo without /B)\n"
      "  save FILE [A LEN]  save LEN bytes from A (or all loaded memory) as S-records\n"
      "  dump [A [LEN]]     show memory in hex and ASCII\n"
      "  fill A LEN BYTE    fill memory\n"
      "  set A BYTE...      write bytes into memory\n"
      "  map                list the parts of memory written so far\n"
      "  clear              forget all memory\n"
      "  go FILE            load FILE and run it: tavo ends with status 0\n"
      "                     (needs tavo /B; boot is the same)\n"
      "  help               this list\n"
      "Memory: 32-bit addresses, S1/S2/S3 records, up to 16 MiB in use.\n"
      "A load in text mode echoes every byte; with tavo /B records come in binary,\n"
      "each answered ACK, or NAK when its checksum is wrong.\n");
  return true;
}

bool do_load(int count, char **words) {
  if (!need_words(count, 1, 1)) return false;
  TransferKind kind = TRANSFER_LOAD;
  if (!strcmp(words[0], "verify")) kind = TRANSFER_VERIFY;
  else if (!strcmp(words[0], "type")) kind = TRANSFER_TYPE;
  else if (!strcmp(words[0], "go") || !strcmp(words[0], "boot")) kind = TRANSFER_GO;
  return transfer_download(words[1], kind);
}

bool do_save(int count, char **words) {
  if (count != 2 && !need_words(count, 3, 3)) return false;
  uint32_t start = 0;
  uint64_t length = 0;
  if (count == 4 && (!parse_address(words[2], &start) || !parse_length(words[3], start, &length)))
    return false;
  return transfer_save(words[1], start, length);
}

void dump_line(uint32_t address, int n) {
  char text[100];
  int at = snprintf(text, sizeof text, "%08X ", address);
  for (int i = 0; i < 16; i++) {
    if (i == 8) text[at++] = ' ';
    if (i < n) at += snprintf(text + at, sizeof text - at, " %02X", memory_read(address + i));
    else at += snprintf(text + at, sizeof text - at, "   ");
  }
  at += snprintf(text + at, sizeof text - at, "  |");
  for (int i = 0; i < n; i++) {
    uint8_t c = memory_read(address + i);
    text[at++] = c >= 0x20 && c < 0x7F ? (char)c : '.';
  }
  snprintf(text + at, sizeof text - at, "|\n");
  line_say("%s", text);
}

bool do_dump(int count, char **words) {
  if (!need_words(count, 0, 2)) return false;
  uint32_t start = dump_next;
  uint64_t length = 0x80;
  if (count > 1 && !parse_address(words[1], &start)) return false;
  if (count > 2 && !parse_length(words[2], start, &length)) return false;
  if (length > 0x10000) length = 0x10000;
  uint64_t end = (uint64_t)start + length;
  if (end > 0x100000000ull) end = 0x100000000ull;
  for (uint64_t at = start; at < end && !line_stopped(); at += 16)
    dump_line((uint32_t)at, end - at < 16 ? (int)(end - at) : 16);
  dump_next = (uint32_t)end;
  return true;
}

bool write_bytes(uint32_t start, uint64_t length, const uint8_t *bytes, bool repeat) {
  for (uint64_t i = 0; i < length; i++)
    if (!memory_write((uint32_t)(start + i), repeat ? bytes[0] : bytes[i])) {
      line_say("memory full: the board holds at most 16 MiB\n");
      return false;
    }
  return true;
}

bool do_fill(int count, char **words) {
  if (!need_words(count, 3, 3)) return false;
  uint32_t start;
  uint64_t length, value;
  if (!parse_address(words[1], &start) || !parse_length(words[2], start, &length)) return false;
  if (!parse_number(words[3], 0xFF, &value)) {
    line_say("bad byte: %s\n", words[3]);
    return false;
  }
  uint8_t byte = (uint8_t)value;
  return write_bytes(start, length, &byte, true);
}

bool do_set(int count, char **words) {
  if (!need_words(count, 2, 64)) return false;
  uint32_t start;
  if (!parse_address(words[1], &start)) return false;
  uint8_t bytes[64];
  for (int i = 2; i < count; i++) {
    uint64_t value;
    if (!parse_number(words[i], 0xFF, &value)) {
      line_say("bad byte: %s\n", words[i]);
      return false;
    }
    bytes[i - 2] = (uint8_t)value;
  }
  uint64_t length = (uint64_t)(count - 2);
  if (start + length - 1 > 0xFFFFFFFFull) length = 0x100000000ull - start;
  return write_bytes(start, length, bytes, false);
}

bool do_map(int count, char **) {
  if (!need_words(count, 0, 0)) return false;
  uint32_t start;
  uint64_t length;
  int shown = 0;
  for (uint64_t from = 0; memory_next_range(from, &start, &length) && !line_stopped();
       from = (uint64_t)start + length) {
    if (shown++ == 100) {
      line_say("... and more\n");
      break;
    }
    line_say("%08X-%08llX  %llu bytes\n", start, (unsigned long long)(start + length - 1),
             (unsigned long long)length);
  }
  line_say("%llu bytes written\n", (unsigned long long)memory_written_count());
  return true;
}

bool do_clear(int count, char **) {
  if (!need_words(count, 0, 0)) return false;
  memory_clear();
  line_say("memory cleared\n");
  return true;
}

struct Command {
  const char *name;
  bool (*run)(int count, char **words);
};

const Command COMMANDS[] = {
    {"help", do_help},   {"?", do_help},     {"load", do_load}, {"verify", do_load},
    {"type", do_load},   {"go", do_load},    {"boot", do_load}, {"save", do_save},
    {"dump", do_dump},   {"fill", do_fill},  {"set", do_set},   {"map", do_map},
    {"clear", do_clear},
};

// Reads one command line, echoing what is typed; false when the line has stopped.
// Backspace and DEL rub out, Ctrl-U clears; escape sequences and the two-code keys
// (0x00 or 0xE0 first) are dropped.
bool read_command(char *text) {
  int n = 0, skip = 0;
  bool escape = false;
  for (;;) {
    int c = line_get(-1);
    if (c < 0) return false;
    if (skip) { skip--; continue; }
    if (escape) {
      if (c == '[' || c == 'O' || (c >= '0' && c <= '9') || c == ';') continue;
      escape = false;
      continue;
    }
    if (c == '\r' || c == '\n') {
      text[n] = 0;
      line_say("\n");
      return true;
    }
    if (c == 0x00 || c == 0xE0) skip = 1;
    else if (c == 0x1B) escape = true;
    else if ((c == 0x08 || c == 0x7F) && n > 0) { n--; line_put("\b \b", 3); }
    else if (c == 0x15) { while (n > 0) { n--; line_put("\b \b", 3); } }
    else if (c >= 0x20 && c < 0x7F && n < LINE_LIMIT) { text[n++] = (char)c; line_put_byte((uint8_t)c); }
  }
}

}  // namespace

bool monitor_command(const char *line) {
  char text[LINE_LIMIT + 1];
  snprintf(text, sizeof text, "%s", line);
  char *words[70];
  int count = 0;
  char *rest = nullptr;
  for (char *word = strtok_r(text, " \t", &rest); word && count < 70; word = strtok_r(nullptr, " \t", &rest))
    words[count++] = word;
  if (count == 0) return true;
  for (char *c = words[0]; *c; c++) *c = (char)tolower((unsigned char)*c);
  for (const Command &command : COMMANDS)
    if (!strcmp(command.name, words[0])) {
      bool ok = command.run(count, words);
      line_log("result: %s: %s\n", words[0], ok ? "ok" : "failed");
      return ok;
    }
  line_say("unknown command %s; type help\n", words[0]);
  return false;
}

namespace {

// After `go` the host is ending: nothing more is said until the line stops.
bool handed_over(void) {
  uint32_t address;
  if (!transfer_started(&address)) return false;
  while (line_get(-1) != LINE_STOPPED) {
  }
  return true;
}

}  // namespace

bool monitor_run(void) {
  line_say("\nTAVO simulated board, ROM monitor 1.0. Type help for the commands.\n");
  bool all_ok = true;
  for (const std::string &command : board_options.script) {
    line_say("%s%s\n", PROMPT, command.c_str());
    if (!monitor_command(command.c_str())) all_ok = false;
    if (handed_over()) return all_ok;
    if (line_stopped()) return false;
  }
  if (!board_options.script.empty() && board_options.exit_when_done) return all_ok;
  char text[LINE_LIMIT + 1];
  for (;;) {
    line_say("%s", PROMPT);
    if (!read_command(text)) return all_ok;
    monitor_command(text);
    if (handed_over() || line_stopped()) return all_ok;
  }
}
