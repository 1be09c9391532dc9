// libFuzzer target for the host's request framing, save, progress display and both
// downloads. The target's side of the line is played from the fuzz input; what the
// host sends is checked: every binary record goes out as 'R', type, count and exactly
// count bytes. Built by tools/fuzz with clang, apart from the test suite.
//
// Input: byte 0 picks the operation; for the downloads, bytes 1-2 give the length of
// the file's part, then the file, then the target's answers. The rest is the line.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "host/host.h"

int binary_mode = 0;

static const uint8_t *line_data;
static size_t line_size;
static size_t line_pos;
static size_t idle_reads;
static std::vector<uint8_t> sent;

// Once the input is used up the target keeps answering CR, '>', ENQ, ACK, 'Q' in
// turn, which ends every wait of the host within ten bytes. EOT would end the process,
// so it is read as ACK.
int rx_get(void) {
  static const uint8_t closing[] = {0x0D, 0x3E, 0x05, 0x06, 'Q'};
  uint8_t byte;
  if (line_pos < line_size) {
    byte = line_data[line_pos++];
    if (byte == 0x04) byte = 0x06;
  } else {
    byte = closing[idle_reads++ % sizeof closing];
    if (idle_reads > 100000) abort();  // the host is stuck in a wait
  }
  return (int8_t)byte;
}

void end_program(int) { abort(); }  // only EOT ends the program, and it never comes

int send_byte(int byte) {
  sent.push_back((uint8_t)byte);
  return 1;
}

// Unused by the code under test, but declared in the same header.
int rx_available(void) { return line_pos < line_size; }

static void check_records(void) {
  size_t pos = 0;
  while (pos < sent.size()) {
    if (sent[pos] != 'R' || pos + 3 > sent.size()) abort();
    pos += 3 + sent[pos + 2];
  }
  if (pos != sent.size()) abort();
}

static std::string work_dir;

static void empty_work_dir(void) {
  DIR *dir = opendir(".");
  if (dir == nullptr) return;
  while (struct dirent *entry = readdir(dir)) {
    if (entry->d_name[0] != '.' || (entry->d_name[1] != '\0' && entry->d_name[1] != '.'))
      unlink(entry->d_name);
  }
  closedir(dir);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  char pattern[] = "/tmp/tavo-fuzz-XXXXXX";
  if (mkdtemp(pattern) == nullptr || chdir(pattern) != 0) abort();
  work_dir = pattern;
  if (freopen("/dev/null", "w", stdout) == nullptr) abort();
  return 0;
}

// Names reach the file system only inside the fuzz directory: '/' never gets there.
static std::vector<uint8_t> line_without_slashes(const uint8_t *data, size_t size) {
  std::vector<uint8_t> line(data, data + size);
  for (uint8_t &byte : line) {
    if (byte == '/') byte = '_';
  }
  return line;
}

static void run_download(const uint8_t *data, size_t size, int binary) {
  if (size < 2) return;
  size_t file_size = ((size_t)data[0] << 8 | data[1]) % (size - 1);
  FILE *file = fopen("download.mot", "wb");
  if (file == nullptr) abort();
  fwrite(data + 2, 1, file_size, file);
  fclose(file);
  line_data = data + 2 + file_size;
  line_size = size - 2 - file_size;
  if (binary) {
    download_binary("download.mot", 0);
    check_records();
  } else {
    download_text("download.mot", 1);
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  sent.clear();
  line_pos = 0;
  idle_reads = 0;
  uint8_t op = data[0] % 4;
  std::vector<uint8_t> line = line_without_slashes(data + 1, size - 1);
  line_data = line.data();
  line_size = line.size();
  if (op == 0) {
    char name[256];
    read_token(name);
    if (strlen(name) > 255) abort();
  } else if (op == 1) {
    binary_mode = (size > 1 && (data[1] & 0x80)) ? 1 : 0;
    serve_request();
  } else {
    run_download(data + 1, size - 1, op == 2);
  }
  empty_work_dir();
  return 0;
}
