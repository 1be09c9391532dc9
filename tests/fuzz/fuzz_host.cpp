// libFuzzer target for the host's request framing, save, progress display and both
// downloads, built by tools/fuzz with clang apart from the test suite. The target's side
// of the line is played from the input; every binary record the host sends must go out
// as 'R', type, count and exactly count bytes.
// Input: byte 0 picks the operation; for the downloads, bytes 1-2 give the length of
// the file's part, then the file, then the target's answers. The rest is the line.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "host/host.h"

int binary_mode = 0;

static const uint8_t *line_data;
static size_t line_size, line_pos, idle_reads;
static std::vector<uint8_t> sent;

// Once the input is used up the target answers CR, '>', ENQ, ACK, 'Q' in turn, which
// ends every wait of the host within ten bytes. EOT would end the process: read as ACK.
int rx_get(void) {
  static const uint8_t closing[] = {0x0D, 0x3E, 0x05, 0x06, 'Q'};
  if (line_pos >= line_size && ++idle_reads > 100000) abort();  // the host is stuck
  uint8_t byte = line_pos < line_size ? line_data[line_pos++] : closing[(idle_reads - 1) % 5];
  return (int8_t)(byte == 0x04 ? 0x06 : byte);
}

void end_program(int) { abort(); }  // only EOT ends the program, and it never comes
int rx_available(void) { return line_pos < line_size; }  // declared in the same header

int send_byte(int byte) {
  sent.push_back((uint8_t)byte);
  return 1;
}
void send_bytes(const uint8_t *bytes, int length) {
  sent.insert(sent.end(), bytes, bytes + length);
}

static void check_records(void) {
  size_t pos = 0;
  while (pos < sent.size()) {
    if (sent[pos] != 'R' || pos + 3 > sent.size()) abort();
    pos += 3 + sent[pos + 2];
  }
  if (pos != sent.size()) abort();
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  char dir[] = "/tmp/tavo-fuzz-XXXXXX";
  if (mkdtemp(dir) == nullptr || chdir(dir) != 0) abort();
  if (freopen("/dev/null", "w", stdout) == nullptr) abort();
  return 0;
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
  if (binary) download_binary("download.mot", 0), check_records();
  else download_text("download.mot", 1);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  sent.clear();
  line_pos = idle_reads = 0;
  // Names reach the file system only inside the fuzz directory: '/' never gets there.
  std::vector<uint8_t> line(data + 1, data + size);
  for (uint8_t &byte : line) byte = byte == '/' ? '_' : byte;
  line_data = line.data();
  line_size = line.size();
  if (data[0] % 4 == 0) {
    char name[256];
    read_token(name);
    if (strlen(name) > 255) abort();
  } else if (data[0] % 4 == 1) {
    binary_mode = size > 1 && (data[1] & 0x80) ? 1 : 0;
    serve_request();
  } else {
    run_download(data + 1, size - 1, data[0] % 4 == 2);
  }
  DIR *dir = opendir(".");  // empties the fuzz directory
  while (struct dirent *entry = dir ? readdir(dir) : nullptr)
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) unlink(entry->d_name);
  if (dir) closedir(dir);
  return 0;
}
